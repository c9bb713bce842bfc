// Slows password guessing from one source address, however many connections it opens.
#ifndef PAAGENT_TDS_LOGIN_THROTTLE_H
#define PAAGENT_TDS_LOGIN_THROTTLE_H

#include <chrono>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "tds/server_config.h"

namespace paagent::tds {

// After a failed login, the address's refusal and its next password check wait a delay that
// doubles with each failure (LoginDelays). Checks from one address take turns spaced by that
// delay, so parallel connections do not multiply its guesses. Addresses without recent failures
// are not slowed at all. Thread-safe.
class LoginThrottle {
public:
    using Clock     = std::chrono::steady_clock;
    using TimePoint = Clock::time_point;

    explicit LoginThrottle(LoginDelays delays) : delays_(delays) {}

    // Reserves the address's next turn to check a password and returns when it comes: `now` for
    // an address without recent failures. Reserves nothing and returns nullopt when the turn
    // would come after `latest`.
    std::optional<TimePoint> reserve_check(const std::string &address, TimePoint now, TimePoint latest);

    struct Failure {
        unsigned count;                   // failures from the address since it was last forgotten
        std::chrono::milliseconds delay;  // how long the refusal, and the address's next check, wait
    };
    Failure record_failure(const std::string &address, TimePoint now);

private:
    struct Record {
        unsigned failures = 0;
        TimePoint last_failure;
        TimePoint next_check;
    };

    std::chrono::milliseconds delay_after(unsigned failures) const;
    bool forgotten(const Record &record, TimePoint now) const;
    void forget_quiet_addresses(TimePoint now);

    const LoginDelays delays_;
    std::mutex mutex_;
    std::map<std::string, Record, std::less<>> records_;
    TimePoint next_sweep_;
};

}  // namespace paagent::tds

#endif  // PAAGENT_TDS_LOGIN_THROTTLE_H
