// Operations on one process through an agent, the process parameter set and the decoding of
// process rows.
#include "process_ops.h"
#include "process.h"

#include <cstring>

namespace {

namespace protocol = pa::protocol;
using protocol::kProcessParams;

// The protocol's no-value text as a C string.
const char *const kNoText = protocol::kNoValue.data();

bool HasLongCommand(const PaProcess *process) { return std::strlen(process->command) >= protocol::kLongCommandBytes; }

void AddValue(pa::RpcParams &params, const protocol::Field &field, int32_t value) { params.Int(field, value); }
void AddValue(pa::RpcParams &params, const protocol::Field &field, const char *value) { params.Text(field, value); }

// The ten process parameters and the RPC's one trailing parameter, extra, sent under the
// reconnecting convention.
template <class Extra>
int32_t SendWithProcess(PaConnection *handle, const PaProcess *process, int32_t rpc, Extra extra)
{
    if (handle == nullptr || process == nullptr) {
        return PaFAILURE;
    }
    pa::RpcParams params(std::size(kProcessParams) + 1);
    int32_t marshalled = PaProcessMarshal(process, params);
    if (marshalled != PaSUCCESS) {
        return marshalled;
    }
    AddValue(params, pa::Trailing(rpc), extra);
    if (!params.Ok()) {
        return PaFAILURE;
    }
    return PaRpcCallReconnecting(handle, rpc, params.List(), nullptr);
}

// Name and host name of a process for stop, signal and status; false (logged) without a host.
bool NameAndHost(const PaProcess *process, pa::RpcParams &params)
{
    if (process->host_name == nullptr) {
        PaMsgLog(PaMSG_ERROR, "Missing command argument in process.");
        return false;
    }
    params.Text(kProcessParams[protocol::kProcessName], process->name)
        .Text(kProcessParams[protocol::kProcessHost], process->host_name);
    return true;
}

const char *TextOrNull(const char *text) { return text != nullptr ? text : kNoText; }

void PaProcessRowDecode(const PaRpcColumn *columns, PaList *list, void **)
{
    PaProcess *process = PaProcessAllocElement();
    if (process == nullptr) {
        return;
    }
    PaProcessFromRow(process, columns);
    PaListAddToTail(list, process);
}

const PaRowDecoder kProcessRowDecoder = {PaProcessRowDecode, PaProcessFreeContents};

}  // namespace

int32_t PaProcessMarshal(const PaProcess *process, pa::RpcParams &params)
{
    params.Text(kProcessParams[protocol::kProcessName], process->name);
    if (process->host_name == nullptr) {
        PaMsgLog(PaMSG_ERROR, "Attempt to send process with no hostname.");
        return PaMISSING_ARGUMENT;
    }
    params.Text(kProcessParams[protocol::kProcessHost], process->host_name);
    if (process->command == nullptr) {
        PaMsgLog(PaMSG_ERROR, "Attempt to send process with no command.");
        return PaMISSING_ARGUMENT;
    }
    // A command of 255 bytes or more travels as long text: the engine sends every text whose
    // value with its terminating zero exceeds 255 bytes so.
    params.Text(kProcessParams[protocol::kProcessCommand], process->command)
        .Int(kProcessParams[protocol::kProcessEuid], process->euid)
        .Int(kProcessParams[protocol::kProcessManaged], process->managed)
        .Text(kProcessParams[protocol::kProcessRestartMsg], TextOrNull(process->restart_msg))
        .Text(kProcessParams[protocol::kProcessAlertMsg], TextOrNull(process->alert_msg))
        .Int(kProcessParams[protocol::kProcessPid], process->pid)
        .Int(kProcessParams[protocol::kProcessType], process->type)
        .Int(kProcessParams[protocol::kProcessRetryCount], process->retry_count);
    return params.Ok() ? PaSUCCESS : PaFAILURE;
}

void PaProcessFromRow(PaProcess *process, const PaRpcColumn *columns)
{
    using namespace pa::protocol;
    PaProcessSetAttribute(process, PaPROCESS_NAME, columns[kColName].text, PaPROCESS_HOSTNAME, columns[kColHost].text,
                          PaPROCESS_COMMAND, columns[kColCommand].text, PaPROCESS_EUID, columns[kColEuid].int_value,
                          PaPROCESS_MANAGED, columns[kColManaged].int_value, PaPROCESS_PID, columns[kColPid].int_value,
                          PaPROCESS_RETRY_COUNT, columns[kColRetryCount].int_value, PaPROCESS_TYPE,
                          columns[kColProcessType].int_value, 0);
    if (columns[kColRestartMsg].text != kNoValue) {
        PaProcessSetAttribute(process, PaPROCESS_RESTART_MSG, columns[kColRestartMsg].text, 0);
    }
    if (columns[kColAlertMsg].text != kNoValue) {
        PaProcessSetAttribute(process, PaPROCESS_ALERT_MSG, columns[kColAlertMsg].text, 0);
    }
}

extern "C" {

int32_t PaProcessStart(PaConnection *handle, const PaProcess *process)
{
    return PaProcessStartWithTimeOut(handle, process, 0);
}

int32_t PaProcessStartWithTimeOut(PaConnection *handle, const PaProcess *process, int32_t timeout)
{
    if (handle == nullptr || process == nullptr) {
        return PaFAILURE;
    }
    int32_t rpc =
        process->command != nullptr && HasLongCommand(process) ? protocol::kProcessStartLong : protocol::kProcessStart;
    // The agent may wait the time-out before it answers.
    pa::Operation operation(handle, timeout > 0 ? int64_t{timeout} + protocol::kReplyMarginSeconds : 0);
    return SendWithProcess(handle, process, rpc, timeout);
}

int32_t PaProcessStartWithArgs(PaConnection *handle, const PaProcess *process, const char *arguments)
{
    if (arguments == nullptr) {
        return PaMISSING_ARGUMENT;
    }
    return SendWithProcess(handle, process, protocol::kProcessStartWithArgs, arguments);
}

int32_t PaProcessForwardStateRequest(PaConnection *handle, const PaProcess *process, int32_t state)
{
    return SendWithProcess(handle, process, protocol::kProcessState, state);
}

int32_t PaProcessChange(PaConnection *handle, const char *name, const PaProcess *process)
{
    if (name == nullptr) {
        return PaMISSING_ARGUMENT;
    }
    return SendWithProcess(handle, process, protocol::kProcessChange, name);
}

int32_t PaProcessStop(PaConnection *handle, const PaProcess *process)
{
    if (handle == nullptr || process == nullptr) {
        return PaFAILURE;
    }
    pa::RpcParams params(2);
    if (!NameAndHost(process, params)) {
        return PaMISSING_ARGUMENT;
    }
    return params.Ok() ? PaRpcCallReconnecting(handle, protocol::kProcessStop, params.List(), nullptr) : PaFAILURE;
}

int32_t PaProcessSignal(PaConnection *handle, const PaProcess *process, int32_t signal)
{
    if (handle == nullptr || process == nullptr) {
        return PaFAILURE;
    }
    pa::RpcParams params(3);
    if (!NameAndHost(process, params)) {
        return PaMISSING_ARGUMENT;
    }
    if (!params.Int(pa::Leading(protocol::kSignalProcess, 2), signal).Ok()) {
        return PaFAILURE;
    }
    return PaRpcCallReconnecting(handle, protocol::kSignalProcess, params.List(), nullptr);
}

int32_t PaProcessStatus(PaConnection *handle, const PaProcess *process, int32_t *status)
{
    if (handle == nullptr || process == nullptr) {
        return PaPROCESS_STATUS_FAILED;
    }
    pa::RpcParams params(2);
    if (!NameAndHost(process, params)) {
        return PaSTATUS_UNKNOWN;
    }
    int32_t pair[2] = {PaSTATUS_UNKNOWN, 0};
    if (!params.Ok() || PaRpcCallReconnecting(handle, protocol::kProcessStatus, params.List(), pair) != PaSUCCESS) {
        return PaPROCESS_STATUS_FAILED;
    }
    if (status != nullptr) {
        *status = pair[1];
    }
    return pair[0];
}

int32_t PaProcessGetList(PaConnection *handle, PaList **list, int32_t selector)
{
    if (handle == nullptr || list == nullptr) {
        return PaFAILURE;
    }
    *list = nullptr;
    pa::RpcParams params(0);
    int32_t rpc = selector != 0 ? protocol::kProcessList : protocol::kSingleProcessList;
    return params.Ok() ? PaRpcFetchList(handle, rpc, params.List(), &kProcessRowDecoder, list) : PaFAILURE;
}

}  // extern "C"
