// RPC calls, result sets and failures through FreeTDS ct-lib.
#include "tests/ctlib_client.h"
#include "tests/server_fixture.h"

namespace paagent::tds::testing {
namespace {

class RpcTest : public ServerTest {
protected:
    void SetUp() override
    {
        ServerTest::SetUp();
        ASSERT_EQ(client_.connect(kServerName, kUser, kPassword), CS_SUCCEED);
    }

    CtClient client_;
};

const std::vector<CS_INT> kSuccessWithoutRows = {CS_STATUS_RESULT, CS_CMD_SUCCEED, CS_CMD_DONE};

TEST_F(RpcTest, ParametersArriveWithExactNamesTypesAndValues)
{
    std::string long_text(299, 'L');
    RpcOutcome outcome = client_.call("echo", {CtParam::integer("@id", 4711), CtParam::smallint("@small", -2),
                                               CtParam::chars("@name", "abc"), CtParam::longchars("@cmd", long_text),
                                               CtParam::null_chars("@nothing")});
    EXPECT_EQ(outcome.result_types, kSuccessWithoutRows);
    EXPECT_EQ(outcome.last, CS_END_RESULTS);
    EXPECT_EQ(outcome.statuses, std::vector<CS_INT>{0});

    auto request = last_echo();
    ASSERT_TRUE(request.has_value());
    EXPECT_EQ(request->name, "echo");
    ASSERT_EQ(request->params.size(), 5u);
    const auto &p = request->params;
    EXPECT_EQ(p[0].name, "@id");
    EXPECT_EQ(p[0].type, WireType::IntN);
    EXPECT_EQ(p[0].declared_length, 4u);
    EXPECT_EQ(p[0].value, Value(4711));
    EXPECT_EQ(p[1].type, WireType::IntN);
    EXPECT_EQ(p[1].declared_length, 2u);
    EXPECT_EQ(p[1].value, Value(-2));
    EXPECT_EQ(p[2].type, WireType::Char);
    EXPECT_EQ(p[2].value, Value("abc"));
    EXPECT_EQ(p[3].type, WireType::LongChar);
    EXPECT_EQ(p[3].declared_length, 300u);
    EXPECT_EQ(p[3].value, Value(long_text));
    EXPECT_TRUE(p[4].value.is_null());
    EXPECT_EQ(request->find("@cmd"), &p[3]);
    EXPECT_FALSE(p[0].is_output);
}

TEST_F(RpcTest, WithoutParametersSucceeds)
{
    RpcOutcome outcome = client_.call("echo", {});
    EXPECT_EQ(outcome.result_types, kSuccessWithoutRows);
    ASSERT_TRUE(last_echo().has_value());
    EXPECT_TRUE(last_echo()->params.empty());
}

TEST_F(RpcTest, RowsOfIntAndCharColumnsReadBack)
{
    RpcOutcome outcome = client_.call("list_rows", {});
    EXPECT_EQ(outcome.result_types,
              (std::vector<CS_INT>{CS_ROW_RESULT, CS_CMD_DONE, CS_STATUS_RESULT, CS_CMD_SUCCEED, CS_CMD_DONE}));
    EXPECT_EQ(outcome.last, CS_END_RESULTS);
    ASSERT_EQ(outcome.columns.size(), 4u);
    EXPECT_EQ(outcome.columns[0].name, "pid");
    EXPECT_EQ(outcome.columns[0].datatype, CS_INT_TYPE);
    EXPECT_EQ(outcome.columns[0].status & CS_CANBENULL, 0);
    EXPECT_EQ(outcome.columns[1].datatype, CS_INT_TYPE);
    EXPECT_NE(outcome.columns[1].status & CS_CANBENULL, 0);
    EXPECT_EQ(outcome.columns[2].datatype, CS_CHAR_TYPE);
    EXPECT_EQ(outcome.columns[2].maxlength, 30);
    EXPECT_EQ(outcome.columns[3].datatype, CS_CHAR_TYPE);
    EXPECT_EQ(outcome.columns[3].maxlength, 8192);
    ASSERT_EQ(outcome.rows.size(), 2u);
    EXPECT_EQ(outcome.rows[0], (std::vector<std::string>{"101", "4", "proc-one", std::string(5000, 'c')}));
    EXPECT_EQ(outcome.rows[1], (std::vector<std::string>{"102", kNull, "proc-two", kNull}));
}

TEST_F(RpcTest, FailedCommandDeliversMessageAndCmdFail)
{
    RpcOutcome outcome = client_.call("fail", {});
    EXPECT_EQ(outcome.result_types, (std::vector<CS_INT>{CS_STATUS_RESULT, CS_CMD_FAIL, CS_CMD_DONE}));
    EXPECT_EQ(outcome.statuses, std::vector<CS_INT>{-6});
    ASSERT_EQ(client_.server_messages.size(), 1u);
    const SeenMessage &m = client_.server_messages[0];
    EXPECT_EQ(m.number, 20001);
    EXPECT_EQ(m.severity, 16);
    EXPECT_EQ(m.state, 3);
    EXPECT_EQ(m.line, 42);
    EXPECT_EQ(m.text, "Process not found: xyz");
    EXPECT_EQ(m.server, "PASRV");
    EXPECT_EQ(m.procedure, "fail");
    EXPECT_EQ(client_.call("echo", {}).result_types, kSuccessWithoutRows);
}

TEST_F(RpcTest, UnknownRpcFailsWithMessageNamingIt)
{
    RpcOutcome outcome = client_.call("no_such_rpc", {CtParam::integer("@x", 1)});
    EXPECT_TRUE(outcome.has(CS_CMD_FAIL));
    EXPECT_EQ(outcome.last, CS_END_RESULTS);
    ASSERT_EQ(client_.server_messages.size(), 1u);
    EXPECT_EQ(client_.server_messages[0].number, server_error::UnknownRpc);
    EXPECT_NE(client_.server_messages[0].text.find("'no_such_rpc'"), std::string::npos);
    EXPECT_EQ(client_.call("echo", {}).result_types, kSuccessWithoutRows);
}

TEST_F(RpcTest, HandlerExceptionFailsCommandAndIsLogged)
{
    RpcOutcome outcome = client_.call("misuse_reply", {});
    EXPECT_EQ(outcome.result_types, (std::vector<CS_INT>{CS_CMD_FAIL, CS_CMD_DONE}));
    ASSERT_EQ(client_.server_messages.size(), 1u);
    EXPECT_EQ(client_.server_messages[0].number, server_error::HandlerFailed);
    EXPECT_TRUE(log_.wait_for("RPC 'misuse_reply' handler failed: add_row called before begin_rows"));
    EXPECT_EQ(client_.call("echo", {}).result_types, kSuccessWithoutRows);
}

TEST_F(RpcTest, UnsupportedParameterTypeFailsOnlyThatCommand)
{
    RpcOutcome outcome = client_.call("echo", {CtParam::floating("@ratio", 0.5)});
    EXPECT_EQ(outcome.result_types, (std::vector<CS_INT>{CS_CMD_FAIL, CS_CMD_DONE}));
    ASSERT_EQ(client_.server_messages.size(), 1u);
    EXPECT_EQ(client_.server_messages[0].number, server_error::UnsupportedRequest);
    EXPECT_FALSE(last_echo().has_value());
    EXPECT_EQ(client_.call("echo", {}).result_types, kSuccessWithoutRows);
}

TEST_F(RpcTest, LanguageCommandsAreRefused)
{
    RpcOutcome outcome = client_.language("select name from sysobjects");
    EXPECT_EQ(outcome.result_types, (std::vector<CS_INT>{CS_CMD_FAIL, CS_CMD_DONE}));
    EXPECT_EQ(outcome.last, CS_END_RESULTS);
    ASSERT_EQ(client_.server_messages.size(), 1u);
    EXPECT_EQ(client_.server_messages[0].number, server_error::LanguageNotSupported);
    EXPECT_EQ(client_.call("echo", {}).result_types, kSuccessWithoutRows);
}

}  // namespace
}  // namespace paagent::tds::testing
