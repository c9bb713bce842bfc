// Failed logins slow down their own address only, and only through connections still logging in.
#include <chrono>

#include "tests/ctlib_client.h"
#include "tests/raw_client.h"
#include "tests/server_fixture.h"

namespace paagent::tds::testing {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

const LoginFields kWrongPassword{kUser, "guess"};
const LoginFields kRightPassword{kUser, kPassword};

class QuickDelays : public ServerTest {
    void configure(ServerConfig &config) override
    {
        config.login_delays = {milliseconds(50), milliseconds(200), milliseconds(60'000)};
    }
};

// A refusal comes no sooner than the delay its failure earned (50, 100, 200, 200 ms).
TEST_F(QuickDelays, RefusalsOfAnAddressComeLaterWithEachFailure)
{
    const milliseconds delays[] = {milliseconds(50), milliseconds(100), milliseconds(200), milliseconds(200)};
    for (milliseconds delay : delays) {
        RawClient guesser(port());
        auto start          = Clock::now();
        LoginAnswer refused = guesser.log_in(kWrongPassword, kWaitLimit);
        EXPECT_EQ(refused.message, "Login failed.");
        EXPECT_GE(Clock::now() - start, delay);
    }
    EXPECT_TRUE(log_.wait_for("failure 4 from 127.0.0.1, refused after 200 ms"));
}

class LongDelays : public ServerTest {
    void configure(ServerConfig &config) override
    {
        config.max_sessions = 2;
        config.login_delays = {milliseconds(60'000), milliseconds(60'000), milliseconds(60'000)};
    }
};

// While a refusal waits out a delay longer than the login time-out, the address that earned it
// cannot have another password checked, not even a right one; other addresses log in, the
// refusal takes no session's place, and sessions are served.
TEST_F(LongDelays, DelayedRefusalHoldsOnlyItsOwnAddress)
{
    CtClient session;
    ASSERT_EQ(session.connect(kServerName, kUser, kPassword), CS_SUCCEED);
    RawClient guesser(port());
    guesser.send(login_message(kWrongPassword));
    ASSERT_TRUE(log_.wait_for("failure 1 from 127.0.0.1"));

    RawClient elsewhere(port(), "127.0.0.2");
    EXPECT_TRUE(elsewhere.log_in(kRightPassword, kWaitLimit).accepted);
    EXPECT_TRUE(session.call("echo", {}).has(CS_CMD_SUCCEED));
    RawClient same_address(port());
    EXPECT_EQ(same_address.log_in(kRightPassword, kWaitLimit).message,
              "Login failed: too many failed logins from this address; try again later.");
    EXPECT_TRUE(log_.wait_for("login refused unchecked for user 'agent'"));
}

}  // namespace
}  // namespace paagent::tds::testing
