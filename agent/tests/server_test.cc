// The server on loopback: failed commands, malformed input, connection pools and the slowing
// down of password guessing, each kept to the connection or address that caused it.
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "tests/ctlib_client.h"
#include "tests/raw_client.h"
#include "tests/server_fixture.h"

namespace paagent::tds::testing {
namespace {

using std::chrono::milliseconds;

const LoginFields kRightPassword{kUser, kPassword};
const LoginFields kWrongPassword{kUser, "guess"};

using ServerErrors = ServerTest;

// A failed command reaches the client as its message and leaves the session usable.
TEST_F(ServerErrors, FailedCommandsCarryTheirMessageAndTheSessionGoesOn)
{
    const std::pair<const char *, CS_INT> cases[] = {
        {"fail", 20001}, {"no_such_rpc", server_error::UnknownRpc}, {"misuse_reply", server_error::HandlerFailed}};
    CtClient client;
    ASSERT_EQ(client.connect(kServerName, kUser, kPassword), CS_SUCCEED);
    for (const auto &[rpc, number] : cases) {
        SCOPED_TRACE(rpc);
        client.server_messages.clear();
        RpcOutcome outcome = client.call(rpc);
        EXPECT_TRUE(outcome.failed);
        EXPECT_EQ(outcome.last, CS_END_RESULTS);
        ASSERT_EQ(client.server_messages.size(), 1u);
        EXPECT_EQ(client.server_messages[0].number, number);
        EXPECT_TRUE(client.call("echo").succeeded);
    }
}

std::vector<std::uint8_t> packet(std::uint8_t type, std::uint8_t status, std::size_t payload_size)
{
    std::size_t length = payload_size + 8;
    std::vector<std::uint8_t> bytes(length, 0x41);
    const std::uint8_t header[8] = {type, status, static_cast<std::uint8_t>(length >> 8),
                                    static_cast<std::uint8_t>(length)};
    std::copy(std::begin(header), std::end(header), bytes.begin());
    return bytes;
}

std::vector<std::uint8_t> endless_message()
{
    std::vector<std::uint8_t> bytes;
    for (int i = 0; i < 20; ++i) {
        auto more = packet(0x02, 0x00, 4088);
        bytes.insert(bytes.end(), more.begin(), more.end());
    }
    return bytes;
}

TEST_F(ServerErrors, BadInputClosesOnlyItsConnection)
{
    const std::pair<std::vector<std::uint8_t>, const char *> cases[] = {
        {{0x02, 0x01, 0x00, 0x04, 0, 0, 0, 0}, "below the header size"},
        {packet(0x02, 0x01, 100), "is truncated"},
        {packet(0x0F, 0x01, 10), "expected a login"},
        {packet(0x12, 0x01, 50), "TDS 7 connection attempt"},
        {endless_message(), "message exceeds 65536 bytes"},
    };
    CtClient session;
    ASSERT_EQ(session.connect(kServerName, kUser, kPassword), CS_SUCCEED);
    for (const auto &[bytes, logged] : cases) {
        SCOPED_TRACE(logged);
        RawClient raw(port());
        raw.send(bytes);
        EXPECT_TRUE(raw.closed_by_server(kWaitLimit));
        EXPECT_TRUE(log_.wait_for(logged));
    }
    EXPECT_TRUE(session.call("echo").succeeded);
}

class OneSession : public ServerTest {
    void configure(ServerConfig &config) override
    {
        config.max_sessions  = 1;
        config.login_timeout = milliseconds(200);
    }
};

// A full pool refuses the login with a message and a freed place is taken again; a connection
// that does not log in and an idle single-RPC session are closed at the login time-out, an idle
// session is not.
TEST_F(OneSession, FullPoolRefusesLoginsAndOnlySessionsMayIdle)
{
    auto first = std::make_unique<RawClient>(port());
    ASSERT_TRUE(first->log_in(kRightPassword, kWaitLimit).accepted);
    RawClient refused(port());
    EXPECT_EQ(refused.log_in(kRightPassword, kWaitLimit).message,
              "Login failed: every session of this server is in use.");
    first.reset();
    ASSERT_TRUE(log_.wait_for("connection 1 closed"));

    CtClient idle;
    ASSERT_EQ(idle.connect(kServerName, kUser, kPassword), CS_SUCCEED);
    RawClient silent(port());
    RawClient single_rpc(port());
    ASSERT_TRUE(single_rpc.log_in({kSingleRpcUser, kSingleRpcPassword}, kWaitLimit).accepted);
    EXPECT_TRUE(silent.closed_by_server(kWaitLimit));
    EXPECT_TRUE(single_rpc.closed_by_server(kWaitLimit));
    EXPECT_TRUE(idle.call("echo").succeeded);
}

// Two connections may be logging in; password checks are held until the test releases them.
class TwoLoggingIn : public ServerTest {
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

TEST_F(TwoLoggingIn, NewConnectionDisplacesTheOldestSilentOne)
{
    release();
    RawClient oldest(port());
    RawClient second(port());
    RawClient newest(port());
    EXPECT_TRUE(oldest.closed_by_server(kWaitLimit));
    EXPECT_TRUE(second.log_in(kRightPassword, kWaitLimit).accepted);
    EXPECT_TRUE(newest.log_in(kRightPassword, kWaitLimit).accepted);
}

// The oldest connection has sent its whole login, so the silent one behind it makes room.
TEST_F(TwoLoggingIn, NewConnectionDisplacesASilentOneBeforeOneWhoseLoginArrived)
{
    RawClient checked(port());
    checked.send(login_message(kRightPassword));
    ASSERT_TRUE(wait_for_check());
    RawClient silent(port());
    RawClient newest(port());
    EXPECT_TRUE(silent.closed_by_server(kWaitLimit));
    release();
    EXPECT_TRUE(checked.login_answer(kWaitLimit).accepted);
}

// Checks that take as long as a slow password hash, so that guesses sent at once would overlap,
// and a delay after a failure longer than the login time-out.
class SlowChecks : public ServerTest {
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

// Guesses sent at once from one address: one is checked, the others are refused unchecked, and
// so is a right password from there; another address logs in.
TEST_F(SlowChecks, GuessesAreCheckedOneAtATimeAndHoldOnlyTheirAddress)
{
    std::vector<std::unique_ptr<RawClient>> guessers;
    for (int k = 0; k < 4; ++k) {
        guessers.push_back(std::make_unique<RawClient>(port()));
        guessers.back()->send(login_message(kWrongPassword));
    }
    int checked = 0;
    for (auto &guesser : guessers)
        checked += guesser->login_answer(kWaitLimit).message == "Login failed." ? 1 : 0;
    EXPECT_EQ(checked, 1);
    RawClient same_address(port());
    EXPECT_EQ(same_address.log_in(kRightPassword, kWaitLimit).message,
              "Login failed: too many failed logins from this address; try again later.");
    RawClient elsewhere(port(), "127.0.0.2");
    EXPECT_TRUE(elsewhere.log_in(kRightPassword, kWaitLimit).accepted);
}

}  // namespace
}  // namespace paagent::tds::testing
