// The server on loopback: failed commands, an attention, malformed input, connection pools and
// encrypted passwords, each kept to the connection that caused it.
#include <chrono>
#include <memory>

#include "tds/encrypted_login.h"
#include "tds/login_key.h"
#include "tests/raw_client.h"
#include "tests/server_fixture.h"

namespace paagent::tds::testing {
namespace {

using std::chrono::milliseconds;

const LoginFields kRightPassword{kUser, kPassword};

using ServerErrors = ServerTest;

// A failed command reaches the client as its message, and an attention that comes before the
// reply replaces it with its acknowledgement; either way the session goes on.
TEST_F(ServerErrors, FailedCommandsAndAttentionsLeaveTheSessionUsable)
{
    const std::pair<const char *, int> cases[] = {
        {"fail", 20001}, {"no_such_rpc", server_error::kUnknownRpc}, {"misuse_reply", server_error::kHandlerFailed}};
    RawClient client(Port());
    ASSERT_TRUE(client.LogIn(kRightPassword).accepted);
    for (const auto &[rpc, number] : cases) {
        EXPECT_EQ(client.Call(rpc).number, number) << rpc;
        EXPECT_TRUE(client.Call("echo").replied);
    }
    std::vector<std::uint8_t> cancelled = RpcMessage("echo");
    cancelled.insert(cancelled.end(), {0x06, 0x01, 0x00, 0x08, 0, 0, 0, 0});
    client.Send(cancelled);
    EXPECT_EQ(client.Reply(), (std::vector<std::uint8_t>{0xfd, 0x20, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_TRUE(client.Call("echo").replied);
}

TEST_F(ServerErrors, BadInputClosesOnlyItsConnection)
{
    using Bytes                                  = std::vector<std::uint8_t>;
    const std::pair<Bytes, const char *> cases[] = {
        {{0x02, 0x01, 0x00, 0x04, 0, 0, 0, 0}, "below the header size"},
        {Packets(0x02, Bytes(100)), "is truncated"},
        {Packets(0x0F, Bytes(10)), "expected a login"},
        {Packets(0x12, Bytes(50)), "TDS 7 connection attempt"},
        {Packets(0x02, Bytes(80'000)), "message exceeds 65536 bytes"},
    };
    RawClient session(Port());
    ASSERT_TRUE(session.LogIn(kRightPassword).accepted);
    for (const auto &[bytes, logged] : cases) {
        SCOPED_TRACE(logged);
        RawClient raw(Port());
        raw.Send(bytes);
        EXPECT_TRUE(raw.ClosedByServer());
        EXPECT_TRUE(log_.WaitFor(logged));
    }
    EXPECT_TRUE(session.Call("echo").replied);
}

class OneSession : public ServerTest {
    void Configure(ServerConfig &config) override
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
    auto first = std::make_unique<RawClient>(Port());
    ASSERT_TRUE(first->LogIn(kRightPassword).accepted);
    RawClient refused(Port());
    EXPECT_EQ(refused.LogIn(kRightPassword).message, "Login failed: every session of this server is in use.");
    first.reset();
    ASSERT_TRUE(log_.WaitFor("connection 1 closed"));

    RawClient idle(Port());
    ASSERT_TRUE(idle.LogIn(kRightPassword).accepted);
    RawClient silent(Port());
    RawClient single_rpc(Port());
    ASSERT_TRUE(single_rpc.LogIn({kSingleRpcUser, kSingleRpcPassword}).accepted);
    EXPECT_TRUE(silent.ClosedByServer());
    EXPECT_TRUE(single_rpc.ClosedByServer());
    EXPECT_TRUE(idle.Call("echo").replied);
}

// Two connections may be logging in; a refusal waits out the delay its failure earned among
// them, until the login time-out.
class TwoLoggingIn : public ServerTest {
    void Configure(ServerConfig &config) override
    {
        config.max_logging_in = 2;
        config.login_timeout  = milliseconds(1'000);
        config.login_delays   = {milliseconds(60'000), milliseconds(60'000), milliseconds(60'000)};
    }
};

// The oldest connection has sent its whole login, so the silent one behind it makes room.
TEST_F(TwoLoggingIn, NewConnectionDisplacesASilentOneBeforeOneWhoseLoginArrived)
{
    RawClient refused(Port());
    refused.Send(LoginMessage({kUser, "guess"}));
    ASSERT_TRUE(log_.WaitFor("failure 1 from"));
    RawClient silent(Port());
    RawClient newest(Port());
    EXPECT_TRUE(silent.ClosedByServer());
    EXPECT_EQ(refused.ReadAnswer().message, "Login failed.");
}

// One key for every test: generating one takes about a second.
std::shared_ptr<const LoginKey> TestKey()
{
    static const auto kEy = std::make_shared<const LoginKey>(LoginKey::LoadOrCreate(PAAGENT_TEST_LOGIN_KEY));
    return kEy;
}

class EncryptedOnly : public ServerTest {
    void Configure(ServerConfig &config) override
    {
        config.login_key               = TestKey();
        config.require_encrypted_login = true;
    }
};

// A password in clear is refused with the way out; a login asking to encrypt gets the key with a
// nonce of its own, so that a recorded encrypted password is worth nothing in another login.
TEST_F(EncryptedOnly, ClearPasswordsAreRefusedAndEachLoginGetsItsOwnNonce)
{
    EXPECT_EQ(RawClient(Port()).LogIn(kRightPassword).message,
              "Login failed: this server accepts only encrypted passwords; set \"encryption = require\" for it in "
              "the client's freetds.conf.");
    LoginFields encrypting{kUser, ""};
    encrypting.encrypt = true;
    RawClient first(Port()), second(Port());
    first.Send(LoginMessage(encrypting));
    second.Send(LoginMessage(encrypting));
    const auto key_message = first.Reply();
    ASSERT_GT(key_message.size(), kNonceSize);
    EXPECT_NE(key_message, second.Reply());
}

// Clear passwords accepted too; one failure delays the address's next check past the login
// time-out.
class EncryptedSlowFailures : public ServerTest {
    void Configure(ServerConfig &config) override
    {
        config.login_key     = TestKey();
        config.login_timeout = milliseconds(1'000);
        config.login_delays  = {milliseconds(60'000), milliseconds(60'000), milliseconds(60'000)};
    }
};

// An answer that does not decrypt costs the server a decryption, as a password's check does: it
// is a failed login, which slows the address down like a wrong password.
TEST_F(EncryptedSlowFailures, AForgedEncryptedPasswordIsAFailedLogin)
{
    LoginFields encrypting{kUser, ""};
    encrypting.encrypt = true;
    RawClient forger(Port());
    forger.Send(LoginMessage(encrypting));
    ASSERT_FALSE(forger.Reply().empty());
    forger.Send(EncryptedPasswordMessage(std::string(256, 'x')));
    EXPECT_EQ(forger.ReadAnswer().message, "Login failed.");
    EXPECT_TRUE(log_.WaitFor("failure 1 from 127.0.0.1"));
    EXPECT_EQ(RawClient(Port()).LogIn(kRightPassword).message,
              "Login failed: too many failed logins from this address; try again later.");
}

TEST(EncryptedLogin, ThePasswordFollowsOnlyThisLoginsNonce)
{
    const std::string nonce(kNonceSize, 'n');
    EXPECT_EQ(PasswordAfterNonce(nonce + "secret", nonce), "secret");
    EXPECT_EQ(PasswordAfterNonce(std::string(kNonceSize, 'o') + "secret", nonce), std::nullopt);
    EXPECT_EQ(PasswordAfterNonce(nonce.substr(1), nonce), std::nullopt);
}

}  // namespace
}  // namespace paagent::tds::testing
