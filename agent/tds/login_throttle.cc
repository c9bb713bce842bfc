#include "tds/login_throttle.h"

#include <algorithm>

namespace paagent::tds {
namespace {
// Beyond this many doublings every delay is at its longest anyway; the count stops growing.
constexpr unsigned kMaxCountedFailures = 32;
}  // namespace

std::optional<LoginThrottle::TimePoint> LoginThrottle::reserve_check(const std::string &address, TimePoint now,
                                                                     TimePoint latest)
{
    std::lock_guard lock(mutex_);
    forget_quiet_addresses(now);
    auto found = records_.find(address);
    if (found == records_.end() || forgotten(found->second, now))
        return now;
    Record &record = found->second;
    TimePoint turn = std::max(now, record.next_check);
    if (turn > latest)
        return std::nullopt;
    record.next_check = turn + delay_after(record.failures);
    return turn;
}

LoginThrottle::Failure LoginThrottle::record_failure(const std::string &address, TimePoint now)
{
    std::lock_guard lock(mutex_);
    Record &record = records_[address];
    if (forgotten(record, now))
        record.failures = 0;
    record.failures                 = std::min(record.failures + 1, kMaxCountedFailures);
    record.last_failure             = now;
    std::chrono::milliseconds delay = delay_after(record.failures);
    record.next_check               = std::max(record.next_check, now + delay);
    return {record.failures, delay};
}

std::chrono::milliseconds LoginThrottle::delay_after(unsigned failures) const
{
    std::chrono::milliseconds delay{0};
    for (unsigned k = 0; k < failures && delay < delays_.longest; ++k)
        delay = k == 0 ? delays_.first : delay * 2;
    return std::min(delay, delays_.longest);
}

bool LoginThrottle::forgotten(const Record &record, TimePoint now) const
{
    return now - record.last_failure >= delays_.forget_after && record.next_check <= now;
}

// Sweeps at most once per forget period, so that a stream of attempts from many addresses does
// not pay for a walk over all of them each time.
void LoginThrottle::forget_quiet_addresses(TimePoint now)
{
    if (now < next_sweep_)
        return;
    std::erase_if(records_, [&](const auto &entry) { return forgotten(entry.second, now); });
    next_sweep_ = now + delays_.forget_after;
}

}  // namespace paagent::tds
