// Operations on an agent as a whole, and the switches that touch only the handle.
#include "rpc.h"

#include <dlfcn.h>

namespace {

// Client-Library's debug switch; not every Client-Library provides it, so it is looked up
// when asked for.
using DebugFunc                = CS_RETCODE (*)(CS_CONTEXT *, CS_CONNECTION *, CS_INT, CS_INT, CS_CHAR *, CS_INT);
constexpr CS_INT kDebugSetFlag = 1700;
constexpr CS_INT kDebugAll     = 1;

// Layer and origin of a net-library error reported by the network packet layer.
constexpr CS_INT kNetworkLayer     = 5;
constexpr CS_INT kNetLibraryOrigin = 3;

// An operation without parameters, under the reconnecting convention.
int32_t CallWithoutParameters(PaConnection *handle, int32_t rpc, void *target)
{
    if (handle == nullptr) {
        return PaFAILURE;
    }
    pa::RpcParams params(0);
    return params.Ok() ? PaRpcCallReconnecting(handle, rpc, params.List(), target) : PaFAILURE;
}

}  // namespace

extern "C" {

int32_t PaStopPA(PaConnection *handle, int32_t stop_argument)
{
    if (handle == nullptr) {
        return PaFAILURE;
    }
    pa::RpcParams params(1);
    if (!params.Int(pa::Leading(pa::protocol::kStopPa), stop_argument).Ok()) {
        return PaFAILURE;
    }
    // An agent that goes away while stopping has done what was asked.
    int32_t result = PaRpcCall(handle, pa::protocol::kStopPa, params.List(), nullptr);
    return result == PaCONNECTION_LOST ? PaSUCCESS : result;
}

int32_t PaStopProcesses(PaConnection *handle)
{
    return CallWithoutParameters(handle, pa::protocol::kStopProcesses, nullptr);
}

int32_t PaStartProcesses(PaConnection *handle)
{
    return CallWithoutParameters(handle, pa::protocol::kStartProcesses, nullptr);
}

int32_t PaServerGenerateNotification(PaConnection *handle)
{
    return CallWithoutParameters(handle, pa::protocol::kGenerateNotification, nullptr);
}

int32_t PaServerChangeDebugLevel(PaConnection *handle, int32_t level)
{
    if (handle == nullptr) {
        return PaFAILURE;
    }
    pa::RpcParams params(1);
    if (!params.Int(pa::Leading(pa::protocol::kDebugLevelSet), level).Ok()) {
        return PaFAILURE;
    }
    return PaRpcCallReconnecting(handle, pa::protocol::kDebugLevelSet, params.List(), nullptr);
}

int32_t PaServerGetDebugLevel(PaConnection *handle, int32_t *level)
{
    if (level == nullptr) {
        return PaFAILURE;
    }
    return CallWithoutParameters(handle, pa::protocol::kDebugLevelGet, level);
}

int32_t PaServerGetVersionNo(PaConnection *handle, int32_t *major, int32_t *minor)
{
    int32_t pair[2] = {0, 0};
    int32_t result  = CallWithoutParameters(handle, pa::protocol::kVersionGet, pair);
    if (major != nullptr) {
        *major = pair[0];
    }
    if (minor != nullptr) {
        *minor = pair[1];
    }
    return result;
}

int32_t PaInstallDevLibDebug(PaConnection *handle)
{
    auto debug = reinterpret_cast<DebugFunc>(dlsym(RTLD_DEFAULT, "ct_debug"));
    if (handle == nullptr || debug == nullptr ||
        debug(handle->context, handle->connection, kDebugSetFlag, kDebugAll, nullptr, CS_UNUSED) != CS_SUCCEED) {
        PaMsgLog(PaMSG_ERROR, "Failed to start the sybase library debug support.");
        return PaFAILURE;
    }
    return PaSUCCESS;
}

void PaSetServerInternalMode(PaConnection *handle)
{
    if (handle != nullptr) {
        handle->internal_mode = 1;
    }
}

void PaEnableAdvancedDiag(PaConnection *handle)
{
    if (handle != nullptr) {
        handle->advanced_diag = 1;
    }
}

void PaDisableAdvancedDiag(PaConnection *handle)
{
    if (handle != nullptr) {
        handle->advanced_diag = 0;
    }
}

int32_t PaServerGetLastError(PaConnection *handle)
{
    if (handle == nullptr || handle->last_client_msg_number == 0) {
        return PaNO_ERROR;
    }
    CS_INT number = handle->last_client_msg_number;
    if (CS_LAYER(number) == kNetworkLayer && CS_ORIGIN(number) == kNetLibraryOrigin) {
        return PaNETWORK_ERROR;
    }
    return PaGENERAL_ERROR;
}

int32_t PaServerTimedOut(const PaConnection *handle)
{
    return handle != nullptr && handle->last_client_msg_number == kPaTimedOutNumber ? 1 : 0;
}

int32_t PaServerGetLastMessage(const PaConnection *handle, PaServerMessage *message)
{
    if (handle == nullptr || message == nullptr || !handle->last_server_message.present) {
        return PaNOT_FOUND;
    }
    const PaServerMessageRecord &record = handle->last_server_message;
    *message                            = PaServerMessage{record.number, record.severity, record.text};
    return PaSUCCESS;
}

}  // extern "C"
