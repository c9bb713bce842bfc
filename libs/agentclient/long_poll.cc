#include "long_poll.h"
#include "connection.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>

namespace pa {

bool WaitFits(const PaConnection *handle, int32_t wait_seconds)
{
    if (wait_seconds < 0 || wait_seconds > handle->results_time_out) {
        PaMsgLog(PaMSG_ERROR,
                 "A wait of %d seconds was refused; it must be from 0 to the results time-out, %d seconds.",
                 static_cast<int>(wait_seconds), static_cast<int>(handle->results_time_out));
        return false;
    }
    return true;
}

DecimalText::DecimalText(int64_t value) { std::snprintf(text, sizeof text, "%" PRId64, value); }

bool ParseDecimal(const char *text, int64_t *value)
{
    char *end        = nullptr;
    errno            = 0;
    long long parsed = text != nullptr ? std::strtoll(text, &end, 10) : 0;
    if (text == nullptr || *text == '\0' || *end != '\0' || errno != 0) {
        PaMsgLog(PaMSG_ERROR, "The agent sent '%s' where a number belongs.", text != nullptr ? text : "(none)");
        return false;
    }
    *value = parsed;
    return true;
}

}  // namespace pa
