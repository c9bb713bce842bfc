// How long a call on a handle may take.
#include "connection.h"

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
    // The library keeps the time-out itself: each call draws its deadline from it, while the
    // Client-Library only ever waits one slice at a time.
    handle->results_time_out = seconds;
    return PaSUCCESS;
}

int32_t PaGetResultsTimeOut(const PaConnection *handle) { return handle != nullptr ? handle->results_time_out : 0; }

}  // extern "C"
