// The agent's events: the event record, its attributes, and the wait for new ones.
#include "long_poll.h"
#include "records.h"

#include <protocol/rpc_table.h>

struct PaEvent {
    int64_t cursor;
    int64_t time_ms;
    int64_t lost;
    int32_t kind;
    int32_t pid;
    int32_t status;
    int32_t signal;
    char *process;
    char *service;
    char *host;
    char *message;
    char *user;
};

namespace {

namespace protocol = pa::protocol;

void PaEventFreeContents(void *payload)
{
    auto *event = static_cast<PaEvent *>(payload);
    for (char *text : {event->process, event->service, event->host, event->message, event->user}) {
        pa::Release(text);
    }
}

// Appends the event of one row, the closing row (kind 0, the next cursor) included; a row the
// agent garbled, or that memory cannot hold, is left out and logged.
void PaEventRowDecode(const PaRpcColumn *columns, PaList *list, void **)
{
    auto *event = static_cast<PaEvent *>(pa::AllocUnlinkedElement(sizeof(PaEvent)));
    if (event == nullptr) {
        return;
    }
    *event = PaEvent{};
    PaListAddToTail(list, event);
    event->kind   = columns[protocol::kColEventKind].int_value;
    event->pid    = columns[protocol::kColEventPid].int_value;
    event->status = columns[protocol::kColEventStatus].int_value;
    event->signal = columns[protocol::kColEventSignal].int_value;
    const bool ok = pa::ParseDecimal(columns[protocol::kColEventCursor].text, &event->cursor) &&
                    pa::ParseDecimal(columns[protocol::kColEventTime].text, &event->time_ms) &&
                    pa::ParseDecimal(columns[protocol::kColEventLost].text, &event->lost) &&
                    pa::CopyColumnText(columns[protocol::kColEventProcess], &event->process) &&
                    pa::CopyColumnText(columns[protocol::kColEventService], &event->service) &&
                    pa::CopyColumnText(columns[protocol::kColEventHost], &event->host) &&
                    pa::CopyColumnText(columns[protocol::kColEventMessage], &event->message) &&
                    pa::CopyColumnText(columns[protocol::kColEventUser], &event->user);
    if (!ok) {
        PaListDeleteElement(list, event, PaEventFreeContents);
    }
}

const PaRowDecoder kEventRowDecoder = {PaEventRowDecode, PaEventFreeContents};

int32_t PaEventGetAttributeV(const PaEvent *event, int32_t id, va_list *args)
{
    switch (id) {
    case PaEVENT_CURSOR: return pa::Store(va_arg(*args, int64_t *), event->cursor);
    case PaEVENT_TIME_MS: return pa::Store(va_arg(*args, int64_t *), event->time_ms);
    case PaEVENT_LOST: return pa::Store(va_arg(*args, int64_t *), event->lost);
    case PaEVENT_KIND: return pa::Store(va_arg(*args, int32_t *), event->kind);
    case PaEVENT_PID: return pa::Store(va_arg(*args, int32_t *), event->pid);
    case PaEVENT_STATUS: return pa::Store(va_arg(*args, int32_t *), event->status);
    case PaEVENT_SIGNAL: return pa::Store(va_arg(*args, int32_t *), event->signal);
    case PaEVENT_PROCESS: return pa::StoreCopy(va_arg(*args, char **), event->process);
    case PaEVENT_SERVICE: return pa::StoreCopy(va_arg(*args, char **), event->service);
    case PaEVENT_HOST: return pa::StoreCopy(va_arg(*args, char **), event->host);
    case PaEVENT_MESSAGE: return pa::StoreCopy(va_arg(*args, char **), event->message);
    case PaEVENT_USER: return pa::StoreCopy(va_arg(*args, char **), event->user);
    default: break;
    }
    PaMsgLog(PaMSG_ERROR, "Attempt to get unknown event attribute.");
    return PaUNKNOWN_ATTRIBUTE;
}

}  // namespace

extern "C" {

int32_t PaEventWait(PaConnection *handle, int64_t *cursor, int32_t wait_seconds, PaList **events)
{
    return PaEventWaitForHost(handle, nullptr, cursor, wait_seconds, events);
}

int32_t PaEventWaitForHost(PaConnection *handle, const char *host, int64_t *cursor, int32_t wait_seconds,
                           PaList **events)
{
    if (events != nullptr) {
        *events = nullptr;
    }
    if (handle == nullptr || cursor == nullptr || events == nullptr || !pa::WaitFits(handle, wait_seconds)) {
        return PaFAILURE;
    }
    const int32_t rpc = protocol::kEventWait;
    pa::DecimalText from(*cursor);
    pa::RpcParams params(3);
    params.Text(pa::Leading(rpc, 0), host != nullptr && *host != '\0' ? host : protocol::kNoValue.data())
        .Text(pa::Leading(rpc, 1), from.text)
        .Int(pa::Leading(rpc, 2), wait_seconds);
    if (!params.Ok()) {
        return PaFAILURE;
    }
    pa::Operation operation(handle, pa::WaitBudget(wait_seconds));
    PaList *fetched = nullptr;
    int32_t result  = PaRpcFetchList(handle, rpc, params.List(), &kEventRowDecoder, &fetched);
    if (result != PaSUCCESS) {
        return result;
    }
    // The closing row is no event: it carries the cursor to pass next.
    auto *closing = static_cast<PaEvent *>(PaListGetTail(fetched));
    if (closing == nullptr || closing->kind != PaEVENT_KIND_NONE) {
        PaMsgLog(PaMSG_ERROR, "The agent's events from %s ended without their closing row.", handle->server_name);
        PaEventListFree(fetched);
        return PaFAILURE;
    }
    *cursor = closing->cursor;
    PaListDeleteElement(fetched, closing, PaEventFreeContents);
    *events = fetched;
    return PaSUCCESS;
}

int32_t PaEventGetAttribute(const PaEvent *event, ...)
{
    if (event == nullptr) {
        return PaFAILURE;
    }
    va_list args;
    va_start(args, event);
    int32_t result = pa::ApplyPairs(event, &args, PaEventGetAttributeV);
    va_end(args);
    return result;
}

int32_t PaEventListFree(PaList *list)
{
    if (list == nullptr) {
        return PaFAILURE;
    }
    PaListDestroy(list, PaEventFreeContents);
    return PaSUCCESS;
}

}  // extern "C"
