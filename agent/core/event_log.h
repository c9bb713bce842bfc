// The agent's last events, numbered, for clients that wait for what happens next by cursor.
#ifndef PAAGENT_CORE_EVENT_LOG_H
#define PAAGENT_CORE_EVENT_LOG_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>

#include "core/records.h"

namespace paagent {

// The fewest events the agent keeps: a client must be able to catch up with a short burst.
inline constexpr std::size_t kMinEventsKept = 10;

// An event of kind about to happen, in the name of the request this thread carries out.
agentclient::Event NewEvent(EventKind kind);

// Keeps the last events, numbered one by one from the agent's start time in milliseconds times
// 1000, so that every cursor of an earlier run is below the numbers of this one (unless it
// numbered a thousand events a millisecond). Safe to use from any thread.
class EventLog {
public:
    // Keeps the last kept events, the first numbered first; throws std::invalid_argument when kept
    // is below kMinEventsKept. Each
    // event kept is handed to observe, in order, with the log's lock held: it must not block.
    EventLog(std::size_t kept, std::int64_t first, std::function<void(const agentclient::Event &)> observe = {});
    EventLog(const EventLog &)            = delete;
    EventLog &operator=(const EventLog &) = delete;

    // The first number of an agent that starts now.
    static std::int64_t FirstNumberNow();

    // Numbers and stamps the event, keeps it, and wakes the waits.
    void Emit(agentclient::Event event);
    // The events after cursor, at most protocol::kEventsPerReply, waiting up to wait for one
    // when none is there yet; kEndCursor asks for the events from now on. A cursor older than
    // the events kept brings an event of kind kLost first, with the number skipped; a cursor of
    // another run one with an unknown number (-1), then every event kept.
    // The wait ends early, with what there is, once *given_up holds (see Wake).
    EventBatch After(std::int64_t cursor, std::chrono::milliseconds wait, const std::atomic<bool> *given_up = nullptr);
    // Makes the waits look at their given_up again.
    void Wake();
    // Ends every wait, now and later: they return what there is.
    void Close();

private:
    const std::size_t kept_;
    const std::int64_t first_;
    const std::function<void(const agentclient::Event &)> observe_;
    std::mutex mutex_;
    std::condition_variable arrived_;
    std::deque<agentclient::Event> events_;
    std::int64_t next_;
    bool closed_ = false;
};

}  // namespace paagent

#endif  // PAAGENT_CORE_EVENT_LOG_H
