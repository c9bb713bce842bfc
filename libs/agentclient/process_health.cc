// The readiness and health of processes as their agent sees them: the record, its attributes,
// and the request for one process's or every process's.
#include "records.h"
#include "rpc.h"

#include <protocol/rpc_table.h>

struct PaHealth {
    char *name;
    char *host;
    char *state;
    char *output;
    char *status_text;
};

namespace {

namespace protocol = pa::protocol;

void PaHealthFreeContents(void *payload)
{
    auto *health = static_cast<PaHealth *>(payload);
    for (char *text : {health->name, health->host, health->state, health->output, health->status_text}) {
        pa::Release(text);
    }
}

// Appends the health of one row; a row that memory cannot hold is left out.
void PaHealthRowDecode(const PaRpcColumn *columns, PaList *list, void **)
{
    auto *health = static_cast<PaHealth *>(pa::AllocUnlinkedElement(sizeof(PaHealth)));
    if (health == nullptr) {
        return;
    }
    *health = PaHealth{};
    PaListAddToTail(list, health);
    const bool ok = pa::CopyColumnText(columns[protocol::kColHealthName], &health->name) &&
                    pa::CopyColumnText(columns[protocol::kColHealthHost], &health->host) &&
                    pa::CopyColumnText(columns[protocol::kColHealthState], &health->state) &&
                    pa::CopyColumnText(columns[protocol::kColHealthOutput], &health->output) &&
                    pa::CopyColumnText(columns[protocol::kColHealthStatusText], &health->status_text);
    if (!ok) {
        PaListDeleteElement(list, health, PaHealthFreeContents);
    }
}

const PaRowDecoder kHealthRowDecoder = {PaHealthRowDecode, PaHealthFreeContents};

int32_t PaHealthGetAttributeV(const PaHealth *health, int32_t id, va_list *args)
{
    switch (id) {
    case PaHEALTH_NAME: return pa::StoreCopy(va_arg(*args, char **), health->name);
    case PaHEALTH_HOST: return pa::StoreCopy(va_arg(*args, char **), health->host);
    case PaHEALTH_STATE: return pa::StoreCopy(va_arg(*args, char **), health->state);
    case PaHEALTH_OUTPUT: return pa::StoreCopy(va_arg(*args, char **), health->output);
    case PaHEALTH_STATUS_TEXT: return pa::StoreCopy(va_arg(*args, char **), health->status_text);
    default: break;
    }
    PaMsgLog(PaMSG_ERROR, "Attempt to get unknown health attribute.");
    return PaUNKNOWN_ATTRIBUTE;
}

}  // namespace

extern "C" {

int32_t PaProcessGetHealth(PaConnection *handle, const char *name, const char *host, PaList **health)
{
    return pa::FetchProcessRows(handle, protocol::kProcessHealth, name, host, &kHealthRowDecoder, health);
}

int32_t PaHealthGetAttribute(const PaHealth *health, ...)
{
    if (health == nullptr) {
        return PaFAILURE;
    }
    va_list args;
    va_start(args, health);
    int32_t result = pa::ApplyPairs(health, &args, PaHealthGetAttributeV);
    va_end(args);
    return result;
}

int32_t PaHealthListFree(PaList *list)
{
    if (list == nullptr) {
        return PaFAILURE;
    }
    PaListDestroy(list, PaHealthFreeContents);
    return PaSUCCESS;
}

}  // extern "C"
