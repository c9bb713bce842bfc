#include "core/event_log.h"

#include <algorithm>
#include <stdexcept>
#include <string>
#include <utility>

#include <protocol/rpc_table.h>

#include "core/request_user.h"

namespace paagent {

namespace {

std::int64_t NowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

}  // namespace

agentclient::Event NewEvent(EventKind kind)
{
    agentclient::Event event;
    event.kind = kind;
    event.user = RequestUser();
    return event;
}

EventLog::EventLog(std::size_t kept, std::int64_t first, std::function<void(const agentclient::Event &)> observe)
    : kept_(kept), first_(first), observe_(std::move(observe)), next_(first)
{
    if (kept < kMinEventsKept) {
        throw std::invalid_argument("the agent keeps at least " + std::to_string(kMinEventsKept) + " events");
    }
}

std::int64_t EventLog::FirstNumberNow() { return NowMs() * 1000; }

void EventLog::Emit(agentclient::Event event)
{
    {
        std::lock_guard lock(mutex_);
        event.cursor  = next_++;
        event.time_ms = NowMs();
        if (events_.size() == kept_) {
            events_.pop_front();
        }
        events_.push_back(std::move(event));
        if (observe_) {
            observe_(events_.back());
        }
    }
    arrived_.notify_all();
}

EventBatch EventLog::After(std::int64_t cursor, std::chrono::milliseconds wait, const std::atomic<bool> *given_up)
{
    std::unique_lock lock(mutex_);
    if (cursor == pa::protocol::kEndCursor) {
        cursor = next_ - 1;
    }
    // Another run numbered what this one has not: below its first number, or beyond its newest.
    const bool this_run = cursor >= first_ - 1 && cursor < next_;
    if (this_run) {
        arrived_.wait_for(lock, std::max(wait, std::chrono::milliseconds::zero()),
                          [&] { return closed_ || next_ - 1 > cursor || (given_up != nullptr && *given_up); });
    }
    const std::int64_t oldest = next_ - static_cast<std::int64_t>(events_.size());
    EventBatch page;
    auto from = events_.begin();
    if (!this_run || cursor < oldest - 1) {
        agentclient::Event lost;
        lost.kind    = EventKind::kLost;
        lost.cursor  = oldest - 1;
        lost.time_ms = NowMs();
        lost.lost    = this_run ? oldest - 1 - cursor : -1;
        page.events.push_back(lost);
    } else {
        from += cursor + 1 - oldest;
    }
    const auto room = static_cast<std::ptrdiff_t>(pa::protocol::kEventsPerReply - page.events.size());
    page.events.insert(page.events.end(), from, from + std::min(room, events_.end() - from));
    page.cursor = page.events.empty() ? cursor : page.events.back().cursor;
    return page;
}

void EventLog::Wake()
{
    // Under the lock, so that no waiter misses it between its look and its sleep.
    std::lock_guard lock(mutex_);
    arrived_.notify_all();
}

void EventLog::Close()
{
    {
        std::lock_guard lock(mutex_);
        closed_ = true;
    }
    arrived_.notify_all();
}

}  // namespace paagent
