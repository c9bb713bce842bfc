#include "tds/login_throttle.h"

#include <algorithm>
#include <utility>

namespace paagent::tds {
namespace {
// Beyond this many doublings every delay is at its longest anyway; the count stops growing.
constexpr unsigned kMaxCountedFailures = 32;
}  // namespace

LoginThrottle::Check::Check(Check &&other) noexcept
    : throttle_(std::exchange(other.throttle_, nullptr)), address_(std::move(other.address_))
{
}

LoginThrottle::Check::~Check()
{
    if (throttle_ != nullptr) {
        throttle_->EndCheck(address_);
    }
}

LoginThrottle::Failure LoginThrottle::Check::Failed(TimePoint now)
{
    return std::exchange(throttle_, nullptr)->EndFailedCheck(address_, now);
}

LoginThrottle::Turn LoginThrottle::BeginCheck(const std::string &address, TimePoint now, TimePoint latest)
{
    std::lock_guard lock(mutex_);
    ForgetQuietAddresses(now);
    Record &record = records_[address];
    if (Forgotten(record, now)) {
        record.failures = 0;
    }
    TimePoint turn = record.checking ? now + kBusyRetry : std::max(now, record.next_check);
    if (turn > latest) {
        return TooLate{};
    }
    if (turn > now) {
        return Wait{turn};
    }
    record.checking = true;
    return Check(*this, address);
}

void LoginThrottle::EndCheck(const std::string &address)
{
    std::lock_guard lock(mutex_);
    records_[address].checking = false;
}

LoginThrottle::Failure LoginThrottle::EndFailedCheck(const std::string &address, TimePoint now)
{
    std::lock_guard lock(mutex_);
    Record &record                  = records_[address];
    record.checking                 = false;
    record.failures                 = std::min(record.failures + 1, kMaxCountedFailures);
    record.last_failure             = now;
    std::chrono::milliseconds delay = DelayAfter(record.failures);
    record.next_check               = now + delay;
    return {record.failures, delay};
}

std::chrono::milliseconds LoginThrottle::DelayAfter(unsigned failures) const
{
    std::chrono::milliseconds delay{0};
    for (unsigned k = 0; k < failures && delay < delays_.longest; ++k) {
        delay = k == 0 ? delays_.first : delay * 2;
    }
    return std::min(delay, delays_.longest);
}

// An address that checks no password now and has had no failure for a while starts afresh.
bool LoginThrottle::Forgotten(const Record &record, TimePoint now) const
{
    return !record.checking && now - record.last_failure >= delays_.forget_after && record.next_check <= now;
}

// Sweeps at most once per forget period, so that a stream of logins from many addresses does
// not pay for a walk over all of them each time.
void LoginThrottle::ForgetQuietAddresses(TimePoint now)
{
    if (now < next_sweep_) {
        return;
    }
    std::erase_if(records_, [&](const auto &entry) { return Forgotten(entry.second, now); });
    next_sweep_ = now + delays_.forget_after;
}

}  // namespace paagent::tds
