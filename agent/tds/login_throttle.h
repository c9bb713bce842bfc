// Slows password guessing from one source address, however many connections it opens.
#ifndef PAAGENT_TDS_LOGIN_THROTTLE_H
#define PAAGENT_TDS_LOGIN_THROTTLE_H

#include <chrono>
#include <map>
#include <mutex>
#include <string>
#include <variant>

#include "tds/server_config.h"

namespace paagent::tds {

// An address has one password checked at a time. After a failed check, its refusal and the
// address's next check wait a delay that doubles with each failure (LoginDelays), so that
// parallel connections do not multiply its guesses. A right password adds no delay, and
// addresses without recent failures wait for nothing but a check of theirs in progress.
// Thread-safe.
class LoginThrottle {
public:
    using Clock     = std::chrono::steady_clock;
    using TimePoint = Clock::time_point;

    // How often a login asks again while another check of its address is in progress.
    static constexpr std::chrono::milliseconds kBusyRetry{5};

    struct Failure {
        unsigned count;                   // failures from the address since it was last forgotten
        std::chrono::milliseconds delay;  // how long the refusal, and the address's next check, wait
    };

    // The password check of an address in progress; it ends when this is destroyed, and counts
    // as failed only when failed() was called.
    class Check {
    public:
        Check(LoginThrottle &throttle, std::string address) : throttle_(&throttle), address_(std::move(address)) {}
        Check(Check &&other) noexcept;
        Check &operator=(Check &&) = delete;
        ~Check();

        Failure Failed(TimePoint now);

    private:
        LoginThrottle *throttle_;
        std::string address_;
    };
    struct Wait {
        TimePoint until;  // when to ask again
    };
    struct TooLate {};  // the address's turn would come after the caller's latest
    using Turn = std::variant<Check, Wait, TooLate>;

    explicit LoginThrottle(LoginDelays delays) : delays_(delays) {}

    // Starts a check of a password from `address`, when it may have one now.
    Turn BeginCheck(const std::string &address, TimePoint now, TimePoint latest);

private:
    struct Record {
        unsigned failures = 0;
        TimePoint last_failure;
        TimePoint next_check;
        bool checking = false;
    };

    void EndCheck(const std::string &address);
    Failure EndFailedCheck(const std::string &address, TimePoint now);
    std::chrono::milliseconds DelayAfter(unsigned failures) const;
    bool Forgotten(const Record &record, TimePoint now) const;
    void ForgetQuietAddresses(TimePoint now);

    const LoginDelays delays_;
    std::mutex mutex_;
    std::map<std::string, Record, std::less<>> records_;
    TimePoint next_sweep_;
};

}  // namespace paagent::tds

#endif  // PAAGENT_TDS_LOGIN_THROTTLE_H
