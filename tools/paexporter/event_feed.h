// The agents' events as the status page's streams read them: the latest few kept in order, each
// reader waking when one comes and taking those it has not seen.
#ifndef PAEXPORTER_EVENT_FEED_H
#define PAEXPORTER_EVENT_FEED_H

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

namespace paexporter {

class EventFeed {
public:
    // Adds an event (its JSON text) and wakes the readers.
    void Publish(std::string event);
    // The number of the next event to come, for a reader that starts now.
    std::uint64_t Next() const;
    // The events from number next on, waiting up to wait for one; next is moved past them. A
    // reader that fell more than the kept events behind skips what is gone.
    std::vector<std::string> Take(std::uint64_t &next, std::chrono::milliseconds wait);

private:
    static constexpr std::size_t kKept = 256;

    mutable std::mutex mutex_;
    std::condition_variable published_;
    std::deque<std::string> events_;
    std::uint64_t next_ = 0;  // the number the next event published gets
};

}  // namespace paexporter

#endif  // PAEXPORTER_EVENT_FEED_H
