// Operations on one process through an agent, the process parameter set and the decoding of
// process rows.
#include "process_ops.h"
#include "process.h"

#include <cstring>

namespace {

constexpr const char *kNoText = "NULL";
constexpr size_t kLongCommand = 255;  // commands of this many bytes go to the long-command RPC
constexpr size_t kProcessParameters = 10;

bool HasLongCommand(const PaProcess *process) { return std::strlen(process->command) >= kLongCommand; }

// The ten process parameters and one more, sent under the reconnecting convention. extra adds
// the last parameter.
template <class Extra>
int32_t SendWithProcess(PaConnection *handle, const PaProcess *process, int32_t rpc, Extra extra)
{
    if (handle == nullptr || process == nullptr) {
        return PaFAILURE;
    }
    pa::RpcParams params(kProcessParameters + 1);
    int32_t marshalled = PaProcessMarshal(process, params);
    if (marshalled != PaSUCCESS) {
        return marshalled;
    }
    extra(params);
    if (!params.ok()) {
        return PaFAILURE;
    }
    return PaRpcCallReconnecting(handle, rpc, params.list(), nullptr);
}

// Name and host name of a process for stop, signal and status; false (logged) without a host.
bool NameAndHost(const PaProcess *process, pa::RpcParams &params)
{
    if (process->hostName == nullptr) {
        PaMsgLog(PaMSG_ERROR, "Missing command argument in process.");
        return false;
    }
    params.Text("processNameArg", process->name).Text("processHostnameArg", process->hostName);
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

}  // namespace

const PaRowDecoder PaProcessRowDecoder = {PaProcessRowDecode, PaProcessFreeContents, "TTTIIITTII"};

int32_t PaProcessMarshal(const PaProcess *process, pa::RpcParams &params)
{
    params.Text("processNameArg", process->name);
    if (process->hostName == nullptr) {
        PaMsgLog(PaMSG_ERROR, "Attempt to send process with no hostname.");
        return PaMISSING_ARGUMENT;
    }
    params.Text("processHostnameArg", process->hostName);
    if (process->command == nullptr) {
        PaMsgLog(PaMSG_ERROR, "Attempt to send process with no command.");
        return PaMISSING_ARGUMENT;
    }
    // A command of 255 bytes or more travels as long text: the engine sends every text whose
    // value with its terminating zero exceeds 255 bytes so.
    params.Text("processCommandArg", process->command)
        .Int("processEUIDArg", process->euid)
        .Int("processManagedArg", process->managed)
        .Text("processRMesgArg", TextOrNull(process->restartMsg))
        .Text("processAMesgArg", TextOrNull(process->alertMsg))
        .Int("processPIDArg", process->pid)
        .Int("processProcessTypeArg", process->type)
        .Int("processRetryCountArg", process->retryCount);
    return params.ok() ? PaSUCCESS : PaFAILURE;
}

void PaProcessFromRow(PaProcess *process, const PaRpcColumn *columns)
{
    PaProcessSetAttribute(process, PaPROCESS_NAME, columns[0].text, PaPROCESS_HOSTNAME, columns[1].text,
                          PaPROCESS_COMMAND, columns[2].text, PaPROCESS_EUID, columns[3].intValue, PaPROCESS_MANAGED,
                          columns[4].intValue, PaPROCESS_PID, columns[5].intValue, PaPROCESS_RETRY_COUNT,
                          columns[8].intValue, PaPROCESS_TYPE, columns[9].intValue, 0);
    if (std::strcmp(columns[6].text, kNoText) != 0) {
        PaProcessSetAttribute(process, PaPROCESS_RESTART_MSG, columns[6].text, 0);
    }
    if (std::strcmp(columns[7].text, kNoText) != 0) {
        PaProcessSetAttribute(process, PaPROCESS_ALERT_MSG, columns[7].text, 0);
    }
}

extern "C" {

int32_t PaProcessStart(PaConnection *handle, const PaProcess *process)
{
    return PaProcessStartWithTimeOut(handle, process, 0);
}

int32_t PaProcessStartWithTimeOut(PaConnection *handle, const PaProcess *process, int32_t timeout)
{
    if (process == nullptr) {
        return PaFAILURE;
    }
    int32_t rpc = process->command != nullptr && HasLongCommand(process) ? PaRPC_PROCESS_START_LONG : PaRPC_PROCESS_START;
    return SendWithProcess(handle, process, rpc,
                           [timeout](pa::RpcParams &params) { params.Int("processTimeoutArg", timeout); });
}

int32_t PaProcessStartWithArgs(PaConnection *handle, const PaProcess *process, const char *arguments)
{
    if (arguments == nullptr) {
        return PaMISSING_ARGUMENT;
    }
    return SendWithProcess(handle, process, PaRPC_PROCESS_START_WITH_ARGS,
                           [arguments](pa::RpcParams &params) { params.Text("processAddArgsArg", arguments); });
}

int32_t PaProcessForwardStateRequest(PaConnection *handle, const PaProcess *process, int32_t state)
{
    return SendWithProcess(handle, process, PaRPC_PROCESS_STATE,
                           [state](pa::RpcParams &params) { params.Int("processStateArg", state); });
}

int32_t PaProcessChange(PaConnection *handle, const char *name, const PaProcess *process)
{
    if (name == nullptr) {
        return PaMISSING_ARGUMENT;
    }
    return SendWithProcess(handle, process, PaRPC_PROCESS_CHANGE,
                           [name](pa::RpcParams &params) { params.Text("processChangeArg", name); });
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
    return params.ok() ? PaRpcCallReconnecting(handle, PaRPC_PROCESS_STOP, params.list(), nullptr) : PaFAILURE;
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
    if (!params.Int("processSignalArg", signal).ok()) {
        return PaFAILURE;
    }
    return PaRpcCallReconnecting(handle, PaRPC_SIGNAL_PROCESS, params.list(), nullptr);
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
    if (!params.ok() || PaRpcCallReconnecting(handle, PaRPC_PROCESS_STATUS, params.list(), pair) != PaSUCCESS) {
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
    int32_t rpc = selector != 0 ? PaRPC_PROCESS_LIST : PaRPC_SINGLE_PROCESS_LIST;
    return params.ok() ? PaRpcFetchList(handle, rpc, params.list(), list) : PaFAILURE;
}

}  // extern "C"
