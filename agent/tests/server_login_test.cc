// Logging in and out through FreeTDS ct-lib.
#include "tests/ctlib_client.h"
#include "tests/server_fixture.h"

namespace paagent::tds::testing {
namespace {

using LoginTest = ServerTest;

TEST_F(LoginTest, AcceptsValidUserAndAnswersThePostLoginQuery)
{
    CtClient client;
    ASSERT_EQ(client.connect(kServerName, kUser, kPassword), CS_SUCCEED);
    CS_INT status = 0;
    ct_con_props(client.connection(), CS_GET, CS_CON_STATUS, &status, CS_UNUSED, nullptr);
    EXPECT_EQ(status, CS_CONSTAT_CONNECTED);
    EXPECT_TRUE(client.server_messages.empty());
    EXPECT_TRUE(client.client_messages.empty());

    ASSERT_TRUE(client.call("echo", {}).has(CS_CMD_SUCCEED));
    auto session = last_session();
    ASSERT_TRUE(session.has_value());
    EXPECT_EQ(session->user, kUser);
    EXPECT_EQ(session->application, "tds-tests");
    EXPECT_EQ(session->packet_size, 512u);
    EXPECT_TRUE(log_.wait_for("login accepted: user 'agent'"));
}

// In automatic version mode FreeTDS first tries TDS 7; the server closes and the client retries with 5.0.
TEST_F(LoginTest, ClientInAutomaticVersionModeFallsBackToTds50)
{
    CtClient client;
    ASSERT_EQ(client.connect(kAutoVersionServerName, kUser, kPassword, 0, false), CS_SUCCEED);
    CS_INT version = 0;
    ct_con_props(client.connection(), CS_GET, CS_TDS_VERSION, &version, CS_UNUSED, nullptr);
    EXPECT_EQ(version, CS_TDS_50);
    EXPECT_TRUE(log_.wait_for("closing TDS 7 connection attempt"));
    EXPECT_TRUE(client.call("echo", {}).has(CS_CMD_SUCCEED));
}

TEST_F(LoginTest, RejectsWrongPasswordWithLoginFailedMessage)
{
    CtClient client;
    EXPECT_EQ(client.connect(kServerName, kUser, "wrong"), CS_FAIL);
    ASSERT_EQ(client.server_messages.size(), 1u);
    EXPECT_EQ(client.server_messages[0].number, 4002);
    EXPECT_EQ(client.server_messages[0].severity, 14);
    EXPECT_EQ(client.server_messages[0].text, "Login failed.");
    EXPECT_EQ(client.server_messages[0].server, "PASRV");
    EXPECT_TRUE(log_.wait_for("login rejected for user 'agent'"));
}

TEST_F(LoginTest, ChecksPasswordsLongerThanTheThirtyByteField)
{
    CtClient accepted;
    EXPECT_EQ(accepted.connect(kServerName, "longpw", kLongPassword), CS_SUCCEED);
    CtClient rejected;
    EXPECT_EQ(rejected.connect(kServerName, "longpw", kLongPassword.substr(0, 30)), CS_FAIL);
}

TEST_F(LoginTest, GrantsRequestedPacketSizeAndReassemblesLargeRequests)
{
    CtClient client;
    ASSERT_EQ(client.connect(kServerName, kUser, kPassword, 2048), CS_SUCCEED);
    std::string long_text(3000, 'x');
    ASSERT_TRUE(client.call("echo", {CtParam::longchars("@text", long_text)}).has(CS_CMD_SUCCEED));
    auto request = last_echo();
    ASSERT_TRUE(request.has_value());
    ASSERT_EQ(request->params.size(), 1u);
    EXPECT_EQ(request->params[0].value, Value(long_text));
    EXPECT_EQ(last_session()->packet_size, 2048u);
}

TEST_F(LoginTest, CloseIsAnsweredAndLogged)
{
    CtClient client;
    ASSERT_EQ(client.connect(kServerName, kUser, kPassword), CS_SUCCEED);
    EXPECT_EQ(client.close(), CS_SUCCEED);
    EXPECT_TRUE(log_.wait_for("logged out"));
    EXPECT_TRUE(client.client_messages.empty());
}

}  // namespace
}  // namespace paagent::tds::testing
