// Connection pools: connections that never log in, single-RPC sessions and a full session pool
// keep no client out.
#include <chrono>
#include <condition_variable>
#include <functional>
#include <iostream>
#include <memory>
#include <mutex>

#include "tests/ctlib_client.h"
#include "tests/raw_client.h"
#include "tests/server_fixture.h"

namespace paagent::tds::testing {
namespace {

using Clock = std::chrono::steady_clock;

// More than the whole connection limit the server had before it kept pools.
constexpr int kFloodSize = 100;
// A client under a flood is served within a second; asserted with a margin for loaded machines.
constexpr auto kServedWithin = std::chrono::seconds(3);

const LoginFields kSingleRpcLogin{kSingleRpcUser, kSingleRpcPassword};

struct Flood {
    const char *name;
    // Opens one connection of the flood and leaves it idle.
    std::function<std::unique_ptr<RawClient>(std::uint16_t port)> open;
};

void PrintTo(const Flood &flood, std::ostream *out) { *out << flood.name; }

class FloodTest : public ServerTest, public ::testing::WithParamInterface<Flood> {};

TEST_P(FloodTest, LoginIsServedPromptly)
{
    std::vector<std::unique_ptr<RawClient>> flood;
    for (int i = 0; i < kFloodSize; ++i) {
        flood.push_back(GetParam().open(port()));
        ASSERT_TRUE(flood.back()->connected());
    }
    auto start = Clock::now();
    CtClient client;
    ASSERT_EQ(client.connect(kServerName, kUser, kPassword), CS_SUCCEED);
    ASSERT_TRUE(client.call("echo", {}).has(CS_CMD_SUCCEED));
    auto served = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
    std::cout << "served in " << served.count() << " ms beside " << kFloodSize << " idle connections ("
              << GetParam().name << ")\n";
    EXPECT_LT(served, kServedWithin);
    EXPECT_TRUE(flood.front()->closed_by_server(kWaitLimit)) << "the oldest connection was not displaced";
}

INSTANTIATE_TEST_SUITE_P(
    Server, FloodTest,
    ::testing::Values(Flood{"Silent", [](std::uint16_t port) { return std::make_unique<RawClient>(port); }},
                      Flood{"HalfLogin",
                            [](std::uint16_t port) {
                                auto raw   = std::make_unique<RawClient>(port);
                                auto login = login_message({kUser, kPassword});
                                raw->send({login.begin(), login.begin() + 512});
                                return raw;
                            }},
                      Flood{"SingleRpcSessions",
                            [](std::uint16_t port) {
                                auto raw = std::make_unique<RawClient>(port);
                                EXPECT_TRUE(raw->log_in(kSingleRpcLogin, kWaitLimit).accepted);
                                return raw;
                            }}),
    [](const ::testing::TestParamInfo<Flood> &case_info) { return std::string(case_info.param.name); });

class TwoLoggingIn : public ServerTest {
    void configure(ServerConfig &config) override { config.max_logging_in = 2; }
};

TEST_F(TwoLoggingIn, NewConnectionDisplacesTheOldestNotLoggedIn)
{
    RawClient oldest(port());
    RawClient second(port());
    RawClient newest(port());
    EXPECT_TRUE(oldest.closed_by_server(kWaitLimit));
    EXPECT_TRUE(second.log_in({kUser, kPassword}, kWaitLimit).accepted);
    EXPECT_TRUE(newest.log_in({kUser, kPassword}, kWaitLimit).accepted);
    EXPECT_TRUE(log_.wait_for("to make room: 2 connections are logging in"));
}

// Holds every password check until the test releases it.
class HeldCheck : public ServerTest {
protected:
    void configure(ServerConfig &config) override
    {
        config.max_logging_in = 2;
        config.check_login    = [this, quick = config.check_login](std::string_view user, std::string_view password) {
            std::unique_lock lock(mutex_);
            checking_ = true;
            changed_.notify_all();
            changed_.wait_for(lock, kWaitLimit, [this] { return released_; });
            return quick(user, password);
        };
    }
    bool wait_for_check()
    {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, kWaitLimit, [this] { return checking_; });
    }
    void release()
    {
        std::lock_guard lock(mutex_);
        released_ = true;
        changed_.notify_all();
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool checking_ = false;
    bool released_ = false;
};

// The oldest connection has sent its whole login, so the idle one behind it makes room.
TEST_F(HeldCheck, NewConnectionDisplacesAnIdleOneBeforeOneWhoseLoginArrived)
{
    RawClient checked(port());
    checked.send(login_message({kUser, kPassword}));
    ASSERT_TRUE(wait_for_check());
    RawClient idle(port());
    RawClient newest(port());
    EXPECT_TRUE(idle.closed_by_server(kWaitLimit));
    release();
    EXPECT_TRUE(checked.login_answer(kWaitLimit).accepted);
}

using SingleRpcTest = ServerTest;

TEST_F(SingleRpcTest, SessionEndsAfterItsRpc)
{
    CtClient client;
    ASSERT_EQ(client.connect(kServerName, kSingleRpcUser, kSingleRpcPassword), CS_SUCCEED);
    EXPECT_TRUE(client.call("echo", {}).has(CS_CMD_SUCCEED));
    EXPECT_TRUE(log_.wait_for("single-RPC session ends after its RPC"));
    EXPECT_FALSE(client.call("echo", {}).has(CS_CMD_SUCCEED));
}

class ShortLoginTimeOut : public ServerTest {
    void configure(ServerConfig &config) override { config.login_timeout = std::chrono::milliseconds(200); }
};

// The single-RPC session is closed for idling past the login time-out; the session that idled
// as long is still served.
TEST_F(ShortLoginTimeOut, ClosesIdleSingleRpcSessionsOnly)
{
    CtClient idle;
    ASSERT_EQ(idle.connect(kServerName, kUser, kPassword), CS_SUCCEED);
    RawClient single_rpc(port());
    ASSERT_TRUE(single_rpc.log_in(kSingleRpcLogin, kWaitLimit).accepted);
    EXPECT_TRUE(single_rpc.closed_by_server(kWaitLimit));
    EXPECT_TRUE(idle.call("echo", {}).has(CS_CMD_SUCCEED));
}

class OneSession : public ServerTest {
    void configure(ServerConfig &config) override { config.max_sessions = 1; }
};

TEST_F(OneSession, FullPoolRefusesTheLoginWithAMessageAndFreedSlotIsReused)
{
    auto first = std::make_unique<CtClient>();
    ASSERT_EQ(first->connect(kServerName, kUser, kPassword), CS_SUCCEED);
    RawClient refused(port());
    EXPECT_EQ(refused.log_in({kUser, kPassword}, kWaitLimit).message,
              "Login failed: every session of this server is in use.");
    EXPECT_TRUE(log_.wait_for("all 1 sessions are in use"));

    first.reset();
    ASSERT_TRUE(log_.wait_for("connection 1 closed"));
    RawClient next(port());
    EXPECT_TRUE(next.log_in({kUser, kPassword}, kWaitLimit).accepted);
}

}  // namespace
}  // namespace paagent::tds::testing
