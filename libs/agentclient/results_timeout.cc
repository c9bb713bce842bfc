// How long a reply from the agent may take, per handle.
#include "connection.h"

bool PaApplyResultsTimeOut(PaConnection *handle, int32_t seconds)
{
    if (handle->connection == nullptr) {
        return true;
    }
    CS_INT timeout = seconds;
    return ct_con_props(handle->connection, CS_SET, CS_TIMEOUT, &timeout, CS_UNUSED, nullptr) == CS_SUCCEED;
}

extern "C" {

int32_t PaSetResultsTimeOut(PaConnection *handle, int32_t seconds)
{
    if (handle == nullptr) {
        return PaFAILURE;
    }
    if (seconds < 1) {
        PaMsgLog(PaMSG_ERROR, "A results time-out of %d seconds was refused; it must be at least 1 second.",
                 static_cast<int>(seconds));
        return PaFAILURE;
    }
    // The context's setting reaches the connections opened later, the connection's the open one.
    CS_INT timeout = seconds;
    if (ct_config(handle->context, CS_SET, CS_TIMEOUT, &timeout, CS_UNUSED, nullptr) != CS_SUCCEED ||
        !PaApplyResultsTimeOut(handle, seconds)) {
        PaMsgLog(PaMSG_ERROR, "Failed to set the results time-out setting.");
        return PaFAILURE;
    }
    handle->resultsTimeOut = seconds;
    return PaSUCCESS;
}

int32_t PaGetResultsTimeOut(const PaConnection *handle) { return handle != nullptr ? handle->resultsTimeOut : 0; }

}  // extern "C"
