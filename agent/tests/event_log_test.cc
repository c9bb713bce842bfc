// The ring of events: what a cursor brings at each edge of what is kept, and the waits.
#include <gtest/gtest.h>

#include <future>
#include <optional>
#include <vector>

#include <protocol/rpc_table.h>

#include "core/event_log.h"

namespace paagent {
namespace {

using namespace std::chrono_literals;

constexpr std::int64_t kFirst      = 5'000'000;  // this run's first number
constexpr std::int64_t kEarlierRun = 4'000'123;

struct Ask {
    std::size_t kept;
    std::int64_t emitted;
    std::int64_t cursor;
    std::optional<std::int64_t> lost;  // the kLost event's count, none without one
    std::int64_t first_returned;       // the number of the first event after kLost
    std::size_t returned;              // events after kLost
    std::int64_t next_cursor;
};

// With 25 emitted and 10 kept, 5'000'015 is the oldest kept and 5'000'024 the newest.
const std::vector<Ask> kAsks = {
    {10, 25, kFirst + 14, std::nullopt, kFirst + 15, 10, kFirst + 24},  // oldest - 1: nothing lost
    {10, 25, kFirst + 15, std::nullopt, kFirst + 16, 9, kFirst + 24},   // oldest
    {10, 25, kFirst + 13, 1, kFirst + 15, 10, kFirst + 24},             // oldest - 2: one lost
    {10, 25, kFirst - 1, 15, kFirst + 15, 10, kFirst + 24},             // from the run's start
    {10, 25, kFirst + 24, std::nullopt, 0, 0, kFirst + 24},             // newest: nothing new
    {10, 25, kFirst + 25, -1, kFirst + 15, 10, kFirst + 24},            // beyond the newest
    {10, 25, pa::protocol::kEndCursor, std::nullopt, 0, 0, kFirst + 24},
    {10, 25, kEarlierRun, -1, kFirst + 15, 10, kFirst + 24},
    {10, 25, kFirst - 2, -1, kFirst + 15, 10, kFirst + 24},
    {10, 5, kFirst - 1, std::nullopt, kFirst, 5, kFirst + 4},
    {10, 0, kFirst - 1, std::nullopt, 0, 0, kFirst - 1},
    {10, 0, pa::protocol::kEndCursor, std::nullopt, 0, 0, kFirst - 1},
    {10, 0, kEarlierRun, -1, 0, 0, kFirst - 1},
    // A reply carries at most kEventsPerReply, the kLost event among them.
    {2000, 1500, kFirst - 1, std::nullopt, kFirst, 1000, kFirst + 999},
    {1200, 1500, kFirst - 1, 300, kFirst + 300, 999, kFirst + 1298},
};

TEST(EventLogTest, CursorBringsWhatFollowsItAndSaysWhatWasLost)
{
    for (const Ask &ask : kAsks) {
        SCOPED_TRACE(testing::Message() << "kept " << ask.kept << ", emitted " << ask.emitted << ", cursor "
                                        << ask.cursor);
        EventLog log(ask.kept, kFirst);
        for (std::int64_t i = 0; i < ask.emitted; ++i) {
            log.Emit(NewEvent(EventKind::kStarted));
        }
        EventBatch page = log.After(ask.cursor, 0ms);
        if (ask.lost) {
            ASSERT_FALSE(page.events.empty());
            EXPECT_EQ(page.events.front().kind, EventKind::kLost);
            EXPECT_EQ(page.events.front().lost, *ask.lost);
            page.events.erase(page.events.begin());
        }
        ASSERT_EQ(page.events.size(), ask.returned);
        for (std::size_t i = 0; i < page.events.size(); ++i) {
            EXPECT_EQ(page.events[i].cursor, ask.first_returned + static_cast<std::int64_t>(i));
            EXPECT_EQ(page.events[i].kind, EventKind::kStarted);
        }
        EXPECT_EQ(page.cursor, ask.next_cursor);
    }
}

TEST(EventLogTest, WaitEndsWithTheNextEventOrTheClose)
{
    EventLog log(10, kFirst);
    // The event may come before the wait starts or after.
    auto waiting = std::async(std::launch::async, [&log] { return log.After(kFirst - 1, 60s); });
    log.Emit(NewEvent(EventKind::kReloaded));
    ASSERT_EQ(waiting.wait_for(20s), std::future_status::ready);
    const EventBatch page = waiting.get();
    ASSERT_EQ(page.events.size(), 1U);
    EXPECT_EQ(page.events[0].kind, EventKind::kReloaded);
    EXPECT_EQ(page.cursor, kFirst);

    auto closed = std::async(std::launch::async, [&log] { return log.After(kFirst, 60s); });
    log.Close();
    ASSERT_EQ(closed.wait_for(20s), std::future_status::ready);
    EXPECT_TRUE(closed.get().events.empty());
}

}  // namespace
}  // namespace paagent
