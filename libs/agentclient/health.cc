// Connection health: the open check, reconnection, disconnection and the retry callback.
#include "connection.h"
#include "operation.h"

namespace {

// FreeTDS waits this long for the agent to acknowledge a logout, whatever the close option.
constexpr auto kLogoutWait = std::chrono::seconds(5);

// Whether the call has time left to wait for a logout's acknowledgement; otherwise a
// connection is dropped unclosed, which ends its socket at once.
bool TimeToLogOut(const PaConnection *handle)
{
    const pa::Operation *operation = pa::Operation::Current(handle);
    return operation == nullptr || operation->Deadline() - pa::Operation::Clock::now() > kLogoutWait;
}

bool IsOpen(CS_INT status) { return (status & CS_CONSTAT_DEAD) == 0 && (status & CS_CONSTAT_CONNECTED) != 0; }

// Closes (ordinary or forced) and drops the handle's connection. A connection that refuses
// the ordinary close is still closed by force and dropped, so that it never leaks; one the call
// has no time to log out of is dropped unclosed.
int32_t PaConnectClose(PaConnection *handle, bool orderly)
{
    if (!TimeToLogOut(handle)) {
        return PaDiscardConnection(handle).dropped ? PaSUCCESS : PaFAILURE;
    }
    if (ct_close(handle->connection, orderly ? CS_UNUSED : CS_FORCE_CLOSE) != CS_SUCCEED) {
        PaDiscardConnection(handle);
        return PaFAILURE;
    }
    CS_RETCODE dropped = ct_con_drop(handle->connection);
    handle->connection = nullptr;
    return dropped == CS_SUCCEED ? PaSUCCESS : PaFAILURE;
}

}  // namespace

bool PaReadConnectionStatus(const PaConnection *handle, CS_INT *status)
{
    *status = 0;
    return handle->connection != nullptr &&
           ct_con_props(handle->connection, CS_GET, CS_CON_STATUS, status, CS_UNUSED, nullptr) == CS_SUCCEED;
}

PaDiscardResult PaDiscardConnection(PaConnection *handle)
{
    PaDiscardResult result{!TimeToLogOut(handle) || ct_close(handle->connection, CS_FORCE_CLOSE) == CS_SUCCEED,
                           ct_con_drop(handle->connection) == CS_SUCCEED};
    handle->connection = nullptr;
    return result;
}

extern "C" {

int32_t PaConnectValidAndOpen(PaConnection *handle)
{
    if (handle == nullptr || handle->connection == nullptr) {
        return PaFAILURE;
    }
    CS_INT status = 0;
    if (!PaReadConnectionStatus(handle, &status)) {
        PaMsgLog(PaMSG_ERROR, "Failed to retrieve connection status property.");
        return PaFAILURE;
    }
    if ((status & CS_CONSTAT_DEAD) != 0) {
        PaMsgLog(PaMSG_ERROR, "Connection marked as dead during vaild, open connection check.");
        return PaFAILURE;
    }
    return IsOpen(status) ? PaSUCCESS : PaFAILURE;
}

int32_t PaReconnect(PaConnection *handle)
{
    if (handle == nullptr) {
        return PaCONNECT_FAILED;
    }
    pa::Operation operation(handle);
    PaMsgLog(PaMSG_DEBUG, "Attempting to re-establish connection to server");
    // With no connection there is nothing to check, cancel or close: connect afresh.
    if (handle->connection != nullptr) {
        CS_INT status = 0;
        if (!PaReadConnectionStatus(handle, &status)) {
            PaMsgLog(PaMSG_WARNING, "Failed to retrieve connection status.");
            status = CS_CONSTAT_DEAD;
        }
        if (status == CS_CONSTAT_CONNECTED && handle->busy == 0) {
            PaMsgLog(PaMSG_DEBUG, "Connection already established.");
            return PaSUCCESS;
        }
        if (handle->busy == 1) {
            handle->busy = 0;
            PaMsgLog(PaMSG_WARNING, "Connection found in busy state in RPC call. Closing.");
            if (ct_cancel(handle->connection, nullptr, CS_CANCEL_ALL) != CS_SUCCEED) {
                PaMsgLog(PaMSG_ERROR, "Failed to cancel pending command that left connection in busy state.");
            }
        }
        PaDiscardResult discarded = PaDiscardConnection(handle);
        if (!discarded.closed) {
            PaMsgLog(PaMSG_ERROR, "Failed to close connection to %s, dropping connection anyway", handle->server_name);
        }
        if (!discarded.dropped) {
            PaMsgLog(PaMSG_ERROR, "Failed to drop connection to %s", handle->server_name);
        }
    }
    handle->busy = 0;
    if (PaConnect(handle) != PaSUCCESS) {
        PaMsgLog(PaMSG_ERROR, "Unable to re-establish connection to server %s", handle->server_name);
        return PaCONNECT_FAILED;
    }
    return PaSUCCESS;
}

int32_t PaDisconnect(PaConnection *handle, int32_t force)
{
    if (handle == nullptr || handle->connection == nullptr) {
        return PaFAILURE;
    }
    pa::Operation operation(handle);
    return PaConnectClose(handle, force != 1);
}

void PaInstallRetryCB(PaConnection *handle, PaRetryFunc retry_func, void *retry_data)
{
    if (handle == nullptr) {
        return;
    }
    handle->retry_func = retry_func;
    handle->retry_data = retry_data;
}

}  // extern "C"
