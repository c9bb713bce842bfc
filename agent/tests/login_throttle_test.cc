// Slowing down password guessing per source address, on a clock the test sets.
#include <gtest/gtest.h>

#include "tds/login_throttle.h"

namespace paagent::tds {
namespace {

using std::chrono::milliseconds;
using TimePoint = LoginThrottle::TimePoint;
using Check     = LoginThrottle::Check;
using Wait      = LoginThrottle::Wait;

const LoginDelays kDelays{milliseconds(100), milliseconds(3'200), milliseconds(60'000)};
const TimePoint kStart = TimePoint{} + std::chrono::hours(1);
const TimePoint kNever = TimePoint::max();

// When the address may have its next check: now, or when to ask again; kNever for too late.
TimePoint turn_of(LoginThrottle &throttle, const std::string &address, TimePoint now, TimePoint latest = kNever)
{
    LoginThrottle::Turn turn = throttle.begin_check(address, now, latest);
    if (std::holds_alternative<Check>(turn))
        return now;
    if (const auto *wait = std::get_if<Wait>(&turn))
        return wait->until;
    return kNever;
}

// Fails one check of the address at `now`, which must be its turn.
LoginThrottle::Failure fail(LoginThrottle &throttle, const std::string &address, TimePoint now)
{
    LoginThrottle::Turn turn = throttle.begin_check(address, now, kNever);
    return std::get<Check>(turn).failed(now);
}

TEST(LoginThrottle, DelayDoublesWithEachFailureUpToTheLongest)
{
    LoginThrottle throttle(kDelays);
    const long expected[] = {100, 200, 400, 800, 1'600, 3'200, 3'200, 3'200};
    TimePoint now         = kStart;
    for (unsigned k = 0; k < std::size(expected); ++k) {
        LoginThrottle::Failure failure = fail(throttle, "10.0.0.1", now);
        EXPECT_EQ(failure.count, k + 1);
        EXPECT_EQ(failure.delay, milliseconds(expected[k])) << "failure " << k + 1;
        EXPECT_EQ(turn_of(throttle, "10.0.0.1", now), now + failure.delay);
        now += failure.delay;
    }
}

// One check at a time per address; a right password adds no delay; a turn after the latest
// the caller can wait for is too late.
TEST(LoginThrottle, AnAddressHasOneCheckAtATime)
{
    LoginThrottle throttle(kDelays);
    LoginThrottle::Turn first = throttle.begin_check("10.0.0.1", kStart, kNever);
    ASSERT_TRUE(std::holds_alternative<Check>(first));
    EXPECT_EQ(turn_of(throttle, "10.0.0.1", kStart), kStart + LoginThrottle::kBusyRetry);
    EXPECT_EQ(turn_of(throttle, "10.0.0.2", kStart), kStart) << "another address";
    std::get<Check>(first).failed(kStart);
    EXPECT_EQ(turn_of(throttle, "10.0.0.1", kStart, kStart + milliseconds(99)), kNever);
    EXPECT_EQ(turn_of(throttle, "10.0.0.1", kStart, kStart + milliseconds(100)), kStart + kDelays.first);
    for (int k = 0; k < 3; ++k)
        EXPECT_TRUE(std::holds_alternative<Check>(throttle.begin_check("10.0.0.2", kStart, kNever)));
}

TEST(LoginThrottle, ForgetsAnAddressAfterAQuietWhile)
{
    LoginThrottle throttle(kDelays);
    TimePoint now = kStart;
    for (int k = 0; k < 6; ++k)
        now += fail(throttle, "10.0.0.1", now).delay;
    TimePoint last = now - milliseconds(3'200);
    EXPECT_EQ(fail(throttle, "10.0.0.1", last + kDelays.forget_after - milliseconds(1)).count, 7u);
    TimePoint quiet = last + kDelays.forget_after - milliseconds(1) + kDelays.forget_after;
    EXPECT_EQ(fail(throttle, "10.0.0.1", quiet).delay, kDelays.first);
}

}  // namespace
}  // namespace paagent::tds
