// Failed logins slow down their own address only, and only through connections still logging in.
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

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

// Checks that take as long as a slow password hash, so that guesses sent at once would overlap.
class OneCheckAtATime : public ServerTest {
    void configure(ServerConfig &config) override
    {
        config.login_timeout = milliseconds(1'000);
        config.login_delays  = {milliseconds(60'000), milliseconds(60'000), milliseconds(60'000)};
        config.check_login   = [quick = config.check_login](std::string_view user, std::string_view password) {
            std::this_thread::sleep_for(milliseconds(100));
            return quick(user, password);
        };
    }
};

// Guesses sent at once from one address: one is checked; the others, whose turn comes after the
// first's delay, are refused unchecked.
TEST_F(OneCheckAtATime, ParallelGuessesFromOneAddressAreCheckedOneAtATime)
{
    constexpr int kGuessers = 4;
    std::vector<std::unique_ptr<RawClient>> guessers;
    for (int k = 0; k < kGuessers; ++k) {
        guessers.push_back(std::make_unique<RawClient>(port()));
        guessers.back()->send(login_message(kWrongPassword));
    }
    int checked = 0;
    for (auto &guesser : guessers) {
        checked += guesser->login_answer(kWaitLimit).message == "Login failed." ? 1 : 0;
    }
    EXPECT_EQ(checked, 1);
}

}  // namespace
}  // namespace paagent::tds::testing
