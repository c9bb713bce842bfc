// The resource figures of processes as their agent measures them: the record, its attributes,
// and the request for one process's or every process's.
#include "long_poll.h"
#include "records.h"
#include "rpc.h"

#include <protocol/rpc_table.h>

struct PaStats {
    char *name;
    char *host;
    int32_t state;
    int32_t pid;
    int64_t started_at;
    int64_t uptime_ms;
    int32_t restarts;
    int32_t exit_status;
    int32_t exit_signal;
    int64_t cpu_user_ms;
    int64_t cpu_system_ms;
    int64_t memory_bytes;
    int32_t threads;
    int32_t descriptors;
};

namespace {

namespace protocol = pa::protocol;

void PaStatsFreeContents(void *payload)
{
    auto *stats = static_cast<PaStats *>(payload);
    pa::Release(stats->name);
    pa::Release(stats->host);
}

// Appends the figures of one row; a row the agent garbled, or that memory cannot hold, is left
// out and logged.
void PaStatsRowDecode(const PaRpcColumn *columns, PaList *list, void **)
{
    auto *stats = static_cast<PaStats *>(pa::AllocUnlinkedElement(sizeof(PaStats)));
    if (stats == nullptr) {
        return;
    }
    *stats = PaStats{};
    PaListAddToTail(list, stats);
    stats->state       = columns[protocol::kColStatsState].int_value;
    stats->pid         = columns[protocol::kColStatsPid].int_value;
    stats->restarts    = columns[protocol::kColStatsRestarts].int_value;
    stats->exit_status = columns[protocol::kColStatsExitStatus].int_value;
    stats->exit_signal = columns[protocol::kColStatsExitSignal].int_value;
    stats->threads     = columns[protocol::kColStatsThreads].int_value;
    stats->descriptors = columns[protocol::kColStatsDescriptors].int_value;
    const bool ok      = pa::ParseDecimal(columns[protocol::kColStatsStartedAt].text, &stats->started_at) &&
                    pa::ParseDecimal(columns[protocol::kColStatsUptimeMs].text, &stats->uptime_ms) &&
                    pa::ParseDecimal(columns[protocol::kColStatsCpuUserMs].text, &stats->cpu_user_ms) &&
                    pa::ParseDecimal(columns[protocol::kColStatsCpuSystemMs].text, &stats->cpu_system_ms) &&
                    pa::ParseDecimal(columns[protocol::kColStatsMemoryBytes].text, &stats->memory_bytes) &&
                    pa::CopyColumnText(columns[protocol::kColStatsName], &stats->name) &&
                    pa::CopyColumnText(columns[protocol::kColStatsHost], &stats->host);
    if (!ok) {
        PaListDeleteElement(list, stats, PaStatsFreeContents);
    }
}

const PaRowDecoder kStatsRowDecoder = {PaStatsRowDecode, PaStatsFreeContents};

double Seconds(int64_t milliseconds) { return static_cast<double>(milliseconds) / 1000; }

int32_t PaStatsGetAttributeV(const PaStats *stats, int32_t id, va_list *args)
{
    switch (id) {
    case PaSTATS_NAME: return pa::StoreCopy(va_arg(*args, char **), stats->name);
    case PaSTATS_HOST: return pa::StoreCopy(va_arg(*args, char **), stats->host);
    case PaSTATS_STATE: return pa::Store(va_arg(*args, int32_t *), stats->state);
    case PaSTATS_PID: return pa::Store(va_arg(*args, int32_t *), stats->pid);
    case PaSTATS_STARTED_AT: return pa::Store(va_arg(*args, int64_t *), stats->started_at);
    case PaSTATS_UPTIME: return pa::Store(va_arg(*args, double *), Seconds(stats->uptime_ms));
    case PaSTATS_RESTARTS: return pa::Store(va_arg(*args, int32_t *), stats->restarts);
    case PaSTATS_LAST_EXIT_STATUS: return pa::Store(va_arg(*args, int32_t *), stats->exit_status);
    case PaSTATS_LAST_EXIT_SIGNAL: return pa::Store(va_arg(*args, int32_t *), stats->exit_signal);
    case PaSTATS_CPU_USER: return pa::Store(va_arg(*args, double *), Seconds(stats->cpu_user_ms));
    case PaSTATS_CPU_SYSTEM: return pa::Store(va_arg(*args, double *), Seconds(stats->cpu_system_ms));
    case PaSTATS_MEMORY: return pa::Store(va_arg(*args, int64_t *), stats->memory_bytes);
    case PaSTATS_THREADS: return pa::Store(va_arg(*args, int32_t *), stats->threads);
    case PaSTATS_DESCRIPTORS: return pa::Store(va_arg(*args, int32_t *), stats->descriptors);
    default: break;
    }
    PaMsgLog(PaMSG_ERROR, "Attempt to get unknown stats attribute.");
    return PaUNKNOWN_ATTRIBUTE;
}

}  // namespace

extern "C" {

int32_t PaProcessGetStats(PaConnection *handle, const char *name, const char *host, PaList **stats)
{
    return pa::FetchProcessRows(handle, protocol::kProcessStats, name, host, &kStatsRowDecoder, stats);
}

int32_t PaStatsGetAttribute(const PaStats *stats, ...)
{
    if (stats == nullptr) {
        return PaFAILURE;
    }
    va_list args;
    va_start(args, stats);
    int32_t result = pa::ApplyPairs(stats, &args, PaStatsGetAttributeV);
    va_end(args);
    return result;
}

int32_t PaStatsListFree(PaList *list)
{
    if (list == nullptr) {
        return PaFAILURE;
    }
    PaListDestroy(list, PaStatsFreeContents);
    return PaSUCCESS;
}

}  // extern "C"
