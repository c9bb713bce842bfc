#include "event_feed.h"

#include <algorithm>

namespace paexporter {

void EventFeed::Publish(std::string event)
{
    {
        std::lock_guard lock(mutex_);
        events_.push_back(std::move(event));
        if (events_.size() > kKept) {
            events_.pop_front();
        }
        ++next_;
    }
    published_.notify_all();
}

std::uint64_t EventFeed::Next() const
{
    std::lock_guard lock(mutex_);
    return next_;
}

std::vector<std::string> EventFeed::Take(std::uint64_t &next, std::chrono::milliseconds wait)
{
    std::unique_lock lock(mutex_);
    published_.wait_for(lock, wait, [&] { return next_ > next; });
    const std::uint64_t oldest = next_ - events_.size();
    next                       = std::max(next, oldest);
    std::vector<std::string> taken(events_.begin() + static_cast<std::ptrdiff_t>(next - oldest), events_.end());
    next = next_;
    return taken;
}

}  // namespace paexporter
