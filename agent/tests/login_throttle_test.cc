// Slowing down password guessing per source address, on a clock the test sets.
#include <gtest/gtest.h>

#include "tds/login_throttle.h"

namespace paagent::tds {
namespace {

using std::chrono::milliseconds;
using TimePoint = LoginThrottle::TimePoint;
using Check     = LoginThrottle::Check;

const LoginDelays kDelays{milliseconds(100), milliseconds(3'200), milliseconds(60'000)};
const TimePoint kStart = TimePoint{} + std::chrono::hours(1);
const TimePoint kNever = TimePoint::max();

// When the address may have its next check: now, or when to ask again; kNever for too late.
TimePoint TurnOf(LoginThrottle &throttle, const std::string &address, TimePoint now, TimePoint latest = kNever)
{
    LoginThrottle::Turn turn = throttle.BeginCheck(address, now, latest);
    if (std::holds_alternative<Check>(turn)) {
        return now;
    }
    const auto *wait = std::get_if<LoginThrottle::Wait>(&turn);
    return wait != nullptr ? wait->until : kNever;
}

// Fails one check of the address at `now`, which must be its turn.
LoginThrottle::Failure Fail(LoginThrottle &throttle, const std::string &address, TimePoint now)
{
    return std::get<Check>(throttle.BeginCheck(address, now, kNever)).Failed(now);
}

// The delay doubles with each failure up to the longest, and is forgotten after a quiet while.
TEST(LoginThrottle, DelayDoublesWithEachFailureUntilForgotten)
{
    LoginThrottle throttle(kDelays);
    TimePoint now = kStart;
    for (long expected : {100, 200, 400, 800, 1'600, 3'200, 3'200}) {
        LoginThrottle::Failure failure = Fail(throttle, "10.0.0.1", now);
        EXPECT_EQ(failure.delay, milliseconds(expected));
        EXPECT_EQ(TurnOf(throttle, "10.0.0.1", now), now + failure.delay);
        now += failure.delay;
    }
    now += kDelays.forget_after - milliseconds(3'201);
    EXPECT_EQ(Fail(throttle, "10.0.0.1", now).count, 8u);
    EXPECT_EQ(Fail(throttle, "10.0.0.1", now + kDelays.forget_after).delay, kDelays.first);
}

// One check at a time per address; a right password adds no delay; a turn after the latest
// the caller can wait for is too late.
TEST(LoginThrottle, AnAddressHasOneCheckAtATime)
{
    LoginThrottle throttle(kDelays);
    LoginThrottle::Turn first = throttle.BeginCheck("10.0.0.1", kStart, kNever);
    ASSERT_TRUE(std::holds_alternative<Check>(first));
    EXPECT_EQ(TurnOf(throttle, "10.0.0.1", kStart), kStart + LoginThrottle::kBusyRetry);
    EXPECT_EQ(TurnOf(throttle, "10.0.0.2", kStart), kStart) << "another address";
    std::get<Check>(first).Failed(kStart);
    EXPECT_EQ(TurnOf(throttle, "10.0.0.1", kStart, kStart + milliseconds(99)), kNever);
    EXPECT_EQ(TurnOf(throttle, "10.0.0.1", kStart, kStart + milliseconds(100)), kStart + kDelays.first);
    for (int k = 0; k < 3; ++k) {
        EXPECT_TRUE(std::holds_alternative<Check>(throttle.BeginCheck("10.0.0.2", kStart, kNever)));
    }
}

}  // namespace
}  // namespace paagent::tds
