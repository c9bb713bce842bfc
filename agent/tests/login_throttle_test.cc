// Slowing down password guessing per source address, on a clock the test sets.
#include <gtest/gtest.h>

#include "tds/login_throttle.h"

namespace paagent::tds {
namespace {

using std::chrono::milliseconds;
using TimePoint = LoginThrottle::TimePoint;

const LoginDelays kDelays{milliseconds(100), milliseconds(3'200), milliseconds(60'000)};
const TimePoint kStart = TimePoint{} + std::chrono::hours(1);
const TimePoint kNever = TimePoint::max();

TEST(LoginThrottle, DelayDoublesWithEachFailureUpToTheLongest)
{
    LoginThrottle throttle(kDelays);
    const long expected[] = {100, 200, 400, 800, 1'600, 3'200, 3'200, 3'200};
    for (unsigned k = 0; k < std::size(expected); ++k) {
        LoginThrottle::Failure failure = throttle.record_failure("10.0.0.1", kStart);
        EXPECT_EQ(failure.count, k + 1);
        EXPECT_EQ(failure.delay, milliseconds(expected[k])) << "failure " << k + 1;
    }
}

TEST(LoginThrottle, ChecksFromAnAddressTakeTurnsSpacedByItsDelay)
{
    LoginThrottle throttle(kDelays);
    EXPECT_EQ(throttle.reserve_check("10.0.0.1", kStart, kNever), kStart);
    throttle.record_failure("10.0.0.1", kStart);
    throttle.record_failure("10.0.0.1", kStart);  // a delay of 200 ms from now on
    const TimePoint turns[] = {kStart + milliseconds(200), kStart + milliseconds(400), kStart + milliseconds(600)};
    for (TimePoint turn : turns) {
        EXPECT_EQ(throttle.reserve_check("10.0.0.1", kStart, kNever), turn);
    }
}

TEST(LoginThrottle, OtherAddressesAndSuccessesAreNotSlowed)
{
    LoginThrottle throttle(kDelays);
    throttle.record_failure("10.0.0.1", kStart);
    EXPECT_EQ(throttle.reserve_check("10.0.0.2", kStart, kNever), kStart);
    EXPECT_EQ(throttle.reserve_check("10.0.0.2", kStart, kNever), kStart);
}

TEST(LoginThrottle, ReservesNothingForATurnAfterTheLatest)
{
    LoginThrottle throttle(kDelays);
    throttle.record_failure("10.0.0.1", kStart);
    EXPECT_EQ(throttle.reserve_check("10.0.0.1", kStart, kStart + milliseconds(99)), std::nullopt);
    EXPECT_EQ(throttle.reserve_check("10.0.0.1", kStart, kStart + milliseconds(100)), kStart + milliseconds(100));
}

TEST(LoginThrottle, ForgetsAnAddressAfterAQuietWhile)
{
    LoginThrottle throttle(kDelays);
    for (int k = 0; k < 6; ++k)
        throttle.record_failure("10.0.0.1", kStart);
    TimePoint later = kStart + kDelays.forget_after;
    EXPECT_EQ(throttle.reserve_check("10.0.0.1", later - milliseconds(1), kNever), later - milliseconds(1))
        << "the longest delay is over long before";
    EXPECT_EQ(throttle.record_failure("10.0.0.1", later - milliseconds(1)).count, 7u);
    TimePoint quiet = later - milliseconds(1) + kDelays.forget_after;
    EXPECT_EQ(throttle.reserve_check("10.0.0.1", quiet, kNever), quiet);
    EXPECT_EQ(throttle.record_failure("10.0.0.1", quiet).delay, kDelays.first);
}

}  // namespace
}  // namespace paagent::tds
