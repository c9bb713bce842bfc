// The RPC engine: parameters on the wire, reply rows by RPC, the retry callback, allocation
// failures with reconnection, and the connection left usable after every failure.
#include "support/client_fixture.h"

#include <array>

using namespace client;
using fakect::agent;
using fakect::Outcome;
using fakect::Reply;
using fakect::ResultSet;
using testing::ElementsAre;
using testing::IsEmpty;

namespace {

using RpcTest = ConnectedTest;

int32_t Call(PaConnection *handle, int32_t rpc, const pa::RpcParams &params, void *target = nullptr)
{
    return PaRpcCall(handle, rpc, params.list(), target);
}

int32_t CallWithoutParameters(PaConnection *handle, int32_t rpc, void *target = nullptr)
{
    pa::RpcParams params(0);
    return Call(handle, rpc, params, target);
}

TEST_F(RpcTest, ParametersOfEveryDatatypeGoWithTheirLengths)
{
    char text[]       = "abc";
    CS_SMALLINT small = -7;
    CS_INT number     = 42;
    std::array<PaRpcParam, 5> params{};
    ASSERT_TRUE(PaRpcParamSet(&params[0], "textArg", CS_CHAR_TYPE, CS_INPUTVALUE, text));
    ASSERT_TRUE(PaRpcParamSet(&params[1], "longArg", CS_LONGCHAR_TYPE, CS_INPUTVALUE, "long"));
    ASSERT_TRUE(PaRpcParamSet(&params[2], "smallArg", CS_SMALLINT_TYPE, CS_INPUTVALUE, &small));
    ASSERT_TRUE(PaRpcParamSet(&params[3], "intArg", CS_INT_TYPE, CS_INPUTVALUE, &number));
    number  = 43;   // an integer is taken when the entry is built,
    text[0] = 'A';  // a text when the engine runs
    EXPECT_EQ(PaRpcCall(handle, pa::protocol::kProcessChange, params.data(), nullptr), PaSUCCESS);
    EXPECT_THAT(agent().Log({"ct_param"}),
                ElementsAre("ct_param(name=\"textArg\", namelen=7, datatype=0, status=256, maxlength=4, format=2, "
                            "value=\"Abc\\0\", datalen=4, indicator=0)",
                            "ct_param(name=\"longArg\", namelen=7, datatype=2, status=256, maxlength=5, format=2, "
                            "value=\"long\\0\", datalen=5, indicator=0)",
                            "ct_param(name=\"smallArg\", namelen=8, datatype=7, status=256, maxlength=2, format=2, "
                            "value=-7, datalen=2, indicator=0)",
                            "ct_param(name=\"intArg\", namelen=6, datatype=8, status=256, maxlength=4, format=2, "
                            "value=42, datalen=4, indicator=0)"));
    PaRpcParamListFree(params.data());
}

TEST_F(RpcTest, PlainTextLongerThan255BytesGoesAsLongText)
{
    struct Case {
        size_t characters;
        CS_INT datatype;
    } cases[] = {{254, CS_CHAR_TYPE}, {255, CS_LONGCHAR_TYPE}, {8192, CS_LONGCHAR_TYPE}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.characters);
        std::string text(c.characters, 'x');
        pa::RpcParams params(1);
        params.Text(std::string(131, 'n').c_str(), text.c_str());  // the longest name that fits
        EXPECT_EQ(Call(handle, pa::protocol::kProcessStart, params), PaSUCCESS);
        const fakect::SentParam &sent = agent().Sent().back().params.at(0);
        EXPECT_EQ(sent.name, std::string(131, 'n'));
        EXPECT_EQ(sent.datatype, c.datatype);
        EXPECT_EQ(sent.maxlength, static_cast<CS_INT>(c.characters + 1));
        EXPECT_EQ(sent.datalen, static_cast<CS_INT>(c.characters + 1));
    }
}

TEST_F(RpcTest, RefusedParametersAreLoggedAndNothingIsSent)
{
    const std::string limit(8193, 'a');
    const std::string below(8192, 'b');
    const std::string longName(132, 'n');
    const std::string oversize =
        "Parameter set failure was due to paramter exceeding the maximum size of 8193. Please contact support for "
        "assistance.";
    struct Case {
        const char *name;
        bool integer;  // an integer of 42, else the text
        const char *text;
        bool refusedByClientLibrary;  // else refused before the Client-Library sees it
        std::vector<std::string> errors;
    } cases[] = {
        {"textArg",
         false,
         limit.c_str(),
         false,
         {"Failed to set parameter - textArg. (Value=[" + std::string(300, 'a') + "...][8194])", oversize}},
        {"textArg",
         false,
         below.c_str(),
         true,
         {"Failed to set parameter - textArg. (Value=[" + std::string(300, 'b') + "...][8193])"}},
        {"levelArg", true, nullptr, true, {"Failed to set parameter - levelArg. (Value=[42][4])"}},
        {longName.c_str(), true, nullptr, false, {"Failed to set parameter - " + longName + ". (Value=[42][4])"}},
        {"textArg", false, nullptr, false, {"Failed to set parameter - textArg. (Value=[...][0])"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.errors.front().substr(0, 40));
        Forget();
        if (c.refusedByClientLibrary) {
            agent().On("ct_param").Returns(CS_FAIL);
        }
        pa::RpcParams params(2);
        c.integer ? params.Int(c.name, 42) : params.Text(c.name, c.text);
        params.Int("afterArg", 1);
        EXPECT_EQ(Call(handle, pa::protocol::kProcessStart, params), PaFAILURE);
        EXPECT_EQ(Errors(), c.errors);
        EXPECT_EQ(agent().Log({"ct_param"}).size(), c.refusedByClientLibrary ? 1u : 0u);
        EXPECT_THAT(agent().Log({"ct_send"}), IsEmpty());
        EXPECT_THAT(agent().Log({"ct_cmd_drop"}), ElementsAre("ct_cmd_drop()"));
    }
    EXPECT_THAT(agent().Sent(), IsEmpty());
}

TEST_F(RpcTest, IntegerRowsGoToTheTargetOfTheirRpc)
{
    using fakect::Null;
    struct Case {
        const char *name;
        int32_t rpc;
        std::string rpcName;
        Reply reply;
        std::array<int32_t, 2> expected;
    } cases[] = {
        {"pair, last row wins",
         pa::protocol::kProcessStatus,
         RpcName(pa::protocol::kProcessStatus),
         IntRows({{1, 2}, {3, 4}}),
         {3, 4}},
        {"pair from return parameters",
         pa::protocol::kVersionGet,
         RpcName(pa::protocol::kVersionGet),
         IntRows({{5, 6}}, 2, CS_PARAM_RESULT),
         {5, 6}},
        {"one column stores only the first",
         pa::protocol::kServiceStatus,
         RpcName(pa::protocol::kServiceStatus),
         IntRows({{5}}, 1),
         {5, -1}},
        {"one integer",
         pa::protocol::kDebugLevelGet,
         RpcName(pa::protocol::kDebugLevelGet),
         IntRows({{7, 8}}),
         {7, -1}},
        {"no row", pa::protocol::kProcessStatus, RpcName(pa::protocol::kProcessStatus), IntRows({}), {-1, -1}},
        {"no result set", pa::protocol::kProcessStatus, RpcName(pa::protocol::kProcessStatus), Reply{}, {-1, -1}},
        {"no columns", pa::protocol::kProcessStatus, RpcName(pa::protocol::kProcessStatus), IntRows({}, 0), {-1, -1}},
        {"null integer after a row reads 0",
         pa::protocol::kProcessStatus,
         RpcName(pa::protocol::kProcessStatus),
         IntRows({{1, 2}, {Null, 4}}),
         {0, 4}},
    };
    for (const Case &c : cases) {
        agent().Script(c.rpcName, c.reply);  // the replies to one RPC are used in order
    }
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Forget();
        std::array<int32_t, 2> target{-1, -1};
        EXPECT_EQ(CallWithoutParameters(handle, c.rpc, target.data()), PaSUCCESS);
        EXPECT_EQ(target, c.expected);
        EXPECT_THAT(Warnings(), IsEmpty());
        EXPECT_EQ(Count(Debugs(), "No Results to fetch."), std::string(c.name) == "no columns" ? 1 : 0);
    }
}

TEST_F(RpcTest, ARowThatCannotBeReadWholeFailsTheCall)
{
    for (size_t failing : {0u, 1u}) {
        SCOPED_TRACE(failing);
        Forget();
        Reply reply                 = IntRows({{1, 2}, {3, 4}});
        reply.results[0].failingRow = failing;
        agent().Script(RpcName(pa::protocol::kProcessStatus), reply);
        std::array<int32_t, 2> target{-1, -1};
        EXPECT_EQ(CallWithoutParameters(handle, pa::protocol::kProcessStatus, target.data()), PaFAILURE);
        EXPECT_THAT(Errors(), ElementsAre("A row from RPC 5 could not be read whole; the results are refused."));
        EXPECT_EQ(CallWithoutParameters(handle, pa::protocol::kProcessStatus, target.data()), PaFAILURE);
    }
}

TEST_F(RpcTest, RowsForAnRpcWithoutDecoderFailTheCallAndLeaveTheConnectionUsable)
{
    agent().Script(RpcName(pa::protocol::kStopPa), IntRows({{1, 2}}));
    EXPECT_EQ(CallWithoutParameters(handle, pa::protocol::kStopPa), PaFAILURE);
    EXPECT_EQ(Count(Debugs(), "Fetch row data failed"), 1);
    EXPECT_THAT(Warnings(), ElementsAre("Results retrieval failure."));
    EXPECT_THAT(agent().Log({"ct_cancel", "ct_cmd_drop"}),
                ElementsAre("ct_cancel(NULL, cmd, CS_CANCEL_ALL)", "ct_cmd_drop()"));
    EXPECT_EQ(CallWithoutParameters(handle, pa::protocol::kStartProcesses), PaSUCCESS);
    EXPECT_THAT(agent().Deliveries(), IsEmpty());
}

TEST_F(RpcTest, TextColumnsAreBoundAtMost8193Bytes)
{
    ResultSet set{.columns = {{"wide", CS_CHAR_TYPE, 20000}, {"narrow", CS_LONGCHAR_TYPE, 10}, {"c", CS_INT_TYPE, 4}},
                  .rows    = {{"some text", "short", 9}}};
    agent().Script(RpcName(pa::protocol::kProcessStatus), Reply{.results = {set}});
    std::array<int32_t, 2> target{-1, -1};
    EXPECT_EQ(CallWithoutParameters(handle, pa::protocol::kProcessStatus, target.data()), PaSUCCESS);
    std::vector<std::string> binds = agent().Log({"ct_bind"});
    ASSERT_EQ(binds.size(), 3u);
    EXPECT_THAT(binds[0], testing::StartsWith("ct_bind(1, datatype=0, maxlength=8193,"));
    EXPECT_THAT(binds[1], testing::StartsWith("ct_bind(2, datatype=2, maxlength=10,"));
    EXPECT_THAT(binds[2], testing::StartsWith("ct_bind(3, datatype=8, maxlength=4,"));
    EXPECT_EQ(target, (std::array<int32_t, 2>{-1, -1}));
}

TEST_F(RpcTest, FailedDescribeBindOrResultInfoFailsTheCallOnly)
{
    struct Case {
        const char *call;
        const char *error;
    } cases[] = {{"ct_res_info", "ct_res_info() Failed to get parameter returns."},
                 {"ct_describe", "Failed to describe parameter."},
                 {"ct_bind", "Failed to bind to variable."}};
    agent().Script(RpcName(pa::protocol::kProcessStatus), IntRows({{1, 2}}));
    for (const Case &c : cases) {
        SCOPED_TRACE(c.call);
        Forget();
        agent().On(c.call).Returns(CS_FAIL);
        std::array<int32_t, 2> target{-1, -1};
        EXPECT_EQ(CallWithoutParameters(handle, pa::protocol::kProcessStatus, target.data()), PaFAILURE);
        EXPECT_THAT(Errors(), ElementsAre(c.error));
        EXPECT_EQ(Count(Debugs(), "Fetch row data failed"), 1);
        EXPECT_THAT(Warnings(), ElementsAre("Results retrieval failure."));
        EXPECT_EQ(CallWithoutParameters(handle, pa::protocol::kProcessStatus, target.data()), PaSUCCESS);
        EXPECT_EQ(target, (std::array<int32_t, 2>{1, 2}));
    }
    EXPECT_THAT(agent().Deliveries(), IsEmpty());
}

TEST_F(RpcTest, EndCodesOtherThanTheNormalEndFailTheCall)
{
    struct Case {
        int32_t rpc;
        std::string name;
        CS_RETCODE end;
        int32_t level;
        const char *message;
    } cases[] = {
        {pa::protocol::kGenerateNotification, RpcName(pa::protocol::kGenerateNotification), CS_CANCELED,
         PaMSG_INFORMATION, "Sybase RPC Command cancelled."},
        {pa::protocol::kStopProcesses, RpcName(pa::protocol::kStopProcesses), CS_FAIL, PaMSG_WARNING,
         "Results retrieval failure."},
        {pa::protocol::kStartProcesses, RpcName(pa::protocol::kStartProcesses), CS_END_DATA, PaMSG_WARNING,
         "Results returned unexpected return value."},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.message);
        Forget();
        agent().Script(c.name, Reply{.endCode = c.end});
        EXPECT_EQ(CallWithoutParameters(handle, c.rpc), PaFAILURE);
        EXPECT_THAT(log.texts(c.level), ElementsAre(c.message));
    }
}

class RetryTest : public RpcTest, public testing::WithParamInterface<bool> {
protected:
    void SetUp() override
    {
        RpcTest::SetUp();
        agent().behaviour.vendor = GetParam();
        PaInstallRetryCB(handle, &RetryProbe::Answer, &probe);
    }
    RetryProbe probe;
};

TEST_P(RetryTest, CallbackAnswering1RepeatsUpTo11SendsThenReportsTheConnectionLost)
{
    agent().Script(RpcName(pa::protocol::kStopProcesses), Reply{.outcome = Outcome::CommandFails});
    pa::RpcParams params(1);
    params.Int("levelArg", 3);
    EXPECT_EQ(Call(handle, pa::protocol::kStopProcesses, params), PaCONNECTION_LOST);
    EXPECT_EQ(agent().SendCount(RpcName(pa::protocol::kStopProcesses)), 11);
    EXPECT_EQ(probe.calls, 11);
    EXPECT_EQ(Count(Errors(), "Command failed."), 11);
    EXPECT_THAT(probe.handles, testing::Each(handle));
    EXPECT_THAT(probe.data, testing::Each(&probe));
    std::vector<std::string> expected;
    for (int i = 0; i < 11; ++i) {
        expected.insert(expected.end(), {"ct_command(CS_RPC_CMD, \"pa_StopProcessesRPC\", CS_NULLTERM, CS_UNUSED)",
                                         agent().Log({"ct_param"}).at(0), "ct_send()"});
    }
    EXPECT_EQ(agent().Log({"ct_command", "ct_param", "ct_send"}), expected);
    EXPECT_EQ(Count(agent().Log({"ct_cancel"}), "ct_cancel(conn, NULL, CS_CANCEL_ALL)"), 11);
}

TEST_P(RetryTest, UnderTheCallerConventionTheOperationReconnectsOnceAndSends11More)
{
    agent().Script(RpcName(pa::protocol::kStopProcesses), Reply{.outcome = Outcome::CommandFails});
    CS_CONNECTION *connection = handle->connection;
    EXPECT_EQ(PaStopProcesses(handle), PaCONNECTION_LOST);
    EXPECT_EQ(agent().SendCount(RpcName(pa::protocol::kStopProcesses)), 22);
    EXPECT_EQ(Count(Debugs(), "Attempting to re-establish connection to server"), 1);
    EXPECT_EQ(Count(Debugs(), "Connection already established."), 1);
    EXPECT_EQ(handle->connection, connection);
}

TEST_P(RetryTest, OnlyAnAnswerOf1Repeats)
{
    for (int32_t answer : {0, 2, -1}) {
        SCOPED_TRACE(answer);
        Forget();
        probe = RetryProbe{.answers = {answer}};
        agent().Script(RpcName(pa::protocol::kServiceStop), Reply{.outcome = Outcome::CommandFails});
        EXPECT_EQ(CallWithoutParameters(handle, pa::protocol::kServiceStop), PaFAILURE);
        EXPECT_EQ(probe.calls, 1);
        EXPECT_EQ(agent().Log({"ct_send"}).size(), 1u);
    }
}

TEST_P(RetryTest, FailThenSucceedEndsInSuccessAfterTwoSends)
{
    agent().Script(RpcName(pa::protocol::kServiceStop), Reply{.outcome = Outcome::CommandFails});
    agent().Script(RpcName(pa::protocol::kServiceStop), Reply{});
    EXPECT_EQ(CallWithoutParameters(handle, pa::protocol::kServiceStop), PaSUCCESS);
    EXPECT_EQ(agent().SendCount(RpcName(pa::protocol::kServiceStop)), 2);
    EXPECT_EQ(probe.calls, 1);
    EXPECT_THAT(agent().Log({"ct_command", "ct_send"}), ElementsAre(testing::StartsWith("ct_command("), "ct_send()",
                                                                    testing::StartsWith("ct_command("), "ct_send()"));
}

INSTANTIATE_TEST_SUITE_P(FreeTdsAndVendor, RetryTest, testing::Bool());

TEST_F(RpcTest, FailedCommandWithoutRetryFailsEvenWhenResultsEndNormally)
{
    agent().Script(RpcName(pa::protocol::kServiceStop), Reply{.outcome = Outcome::CommandFails});
    agent().On("ct_cancel").Returns(CS_SUCCEED);  // a cancel that leaves the results to be read
    EXPECT_EQ(CallWithoutParameters(handle, pa::protocol::kServiceStop), PaFAILURE);
    EXPECT_THAT(Errors(), ElementsAre("Command failed."));
    EXPECT_THAT(Warnings(), ElementsAre("Results retrieval failure."));
    EXPECT_EQ(agent().Log({"ct_results"}).back(), "ct_results -> CS_END_RESULTS");
}

TEST_F(RpcTest, FailedCancelEndsTheAttemptAndCancelsTheCommandBeforeItIsDropped)
{
    RetryProbe probe;
    PaInstallRetryCB(handle, &RetryProbe::Answer, &probe);
    agent().Script(RpcName(pa::protocol::kServiceStop), Reply{.outcome = Outcome::CommandFails});
    agent().On("ct_cancel").OnlyFor(CS_CANCEL_ALL).Returns(CS_FAIL);
    EXPECT_EQ(CallWithoutParameters(handle, pa::protocol::kServiceStop), PaFAILURE);
    EXPECT_THAT(Errors(), ElementsAre("Command failed.", "Failed to cancel the errored command."));
    EXPECT_THAT(Warnings(), ElementsAre("Results retrieval failure."));
    EXPECT_EQ(probe.calls, 0);
    EXPECT_THAT(
        agent().Log({"ct_cancel", "ct_cmd_drop"}),
        ElementsAre("ct_cancel(conn, NULL, CS_CANCEL_ALL)", "ct_cancel(NULL, cmd, CS_CANCEL_ALL)", "ct_cmd_drop()"));
    EXPECT_EQ(CallWithoutParameters(handle, pa::protocol::kProcessStop), PaSUCCESS);
    EXPECT_THAT(agent().Deliveries(), IsEmpty());
}

TEST_F(RpcTest, AllocationRefusedAfterAReconnectionMarksTheHandleBusy)
{
    struct Case {
        CS_RETCODE code;
        const char *line;
        int32_t busy;
    } cases[] = {{CS_FAIL, "CS_FAIL returned from ct_cmd_alloc.", 0},
                 {CS_PENDING, "-2 returned from ct_cmd_alloc.", 0},
                 {CS_BUSY, "CS_BUSY returned from ct_cmd_alloc.", 1}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.line);
        Forget();
        agent().On("ct_cmd_alloc").Returns(c.code).Times(2);
        EXPECT_EQ(CallWithoutParameters(handle, pa::protocol::kProcessStop), PaFAILURE);
        EXPECT_THAT(Errors(), ElementsAre("Complete failure of connection agent1."));
        EXPECT_EQ(Count(Debugs(), "Connection already established."), 1);
        EXPECT_EQ(Count(Debugs(), c.line), 1);
        EXPECT_EQ(handle->busy, c.busy);
        EXPECT_THAT(agent().Log({"ct_send", "ct_cmd_drop"}), IsEmpty());
    }
    // A busy connection still takes commands; the next reconnection replaces it.
    Forget();
    CS_CONNECTION *old = handle->connection;
    EXPECT_EQ(CallWithoutParameters(handle, pa::protocol::kProcessStop), PaSUCCESS);
    EXPECT_EQ(PaReconnect(handle), PaSUCCESS);
    EXPECT_NE(handle->connection, old);
    EXPECT_EQ(handle->busy, 0);
    EXPECT_THAT(agent().Log({"ct_cancel", "ct_close", "ct_con_drop", "ct_connect"}),
                ElementsAre("ct_cancel(conn, NULL, CS_CANCEL_ALL)", "ct_close(CS_FORCE_CLOSE)", "ct_con_drop()",
                            "ct_connect(\"agent1\", CS_NULLTERM)"));
}

TEST_F(RpcTest, DeadConnectionIsReplacedBeforeTheCommandIsAllocated)
{
    CS_CONNECTION *old = handle->connection;
    agent().SetStatus(old, CS_CONSTAT_DEAD);
    EXPECT_EQ(CallWithoutParameters(handle, pa::protocol::kProcessStop), PaSUCCESS);
    EXPECT_NE(handle->connection, old);
    EXPECT_THAT(agent().Log({"ct_close", "ct_con_drop", "ct_connect", "ct_cmd_alloc", "ct_send"}),
                ElementsAre("ct_close(CS_FORCE_CLOSE)", "ct_con_drop()", "ct_connect(\"agent1\", CS_NULLTERM)",
                            "ct_cmd_alloc()", "ct_send()"));

    Forget();
    agent().SetStatus(handle->connection, CS_CONSTAT_DEAD);
    agent().On("ct_connect").Returns(CS_FAIL);
    EXPECT_EQ(CallWithoutParameters(handle, pa::protocol::kProcessStop), PaCONNECTION_LOST);
    EXPECT_THAT(Errors(), ElementsAre("Failed to make a connection to agent1.",
                                      "Unable to re-establish connection to server agent1",
                                      "Failed to allocate command context and reconnect."));
    EXPECT_EQ(handle->connection, nullptr);
    EXPECT_THAT(agent().Log({"ct_cmd_alloc"}), IsEmpty());
    EXPECT_EQ(agent().Sent().size(), 1u);
}

TEST_F(RpcTest, RpcNumbersOutsideTheTableFailWithoutACommand)
{
    for (int32_t rpc : {static_cast<int32_t>(pa::protocol::kRpcCount), -1}) {
        Forget();
        EXPECT_EQ(CallWithoutParameters(handle, rpc), PaFAILURE);
        EXPECT_THAT(Debugs(), ElementsAre("Call to RPC " + std::to_string(rpc) + " made to connection agent1."));
        EXPECT_THAT(agent().Log(), IsEmpty());
    }
}

TEST_F(RpcTest, SendFailuresAreLoggedAndBusyIsSetOnPendingResults)
{
    agent().On("ct_send").Returns(CS_FAIL);
    EXPECT_EQ(CallWithoutParameters(handle, pa::protocol::kProcessStop), PaFAILURE);
    EXPECT_THAT(Errors(), ElementsAre("Failed to send RPC command to agent1"));
    EXPECT_THAT(Warnings(), ElementsAre("Results retrieval failure."));
    EXPECT_EQ(handle->busy, 0);

    agent().On("ct_send").Raises(fakect::ClientMessage(20019, 7, "results pending")).Returns(CS_FAIL);
    EXPECT_EQ(CallWithoutParameters(handle, pa::protocol::kProcessStop), PaFAILURE);
    EXPECT_EQ(handle->busy, 1);
}

TEST_F(RpcTest, FailedCommandDropIsOnlyLogged)
{
    agent().On("ct_cmd_drop").Returns(CS_FAIL);
    EXPECT_EQ(CallWithoutParameters(handle, pa::protocol::kProcessStop), PaSUCCESS);
    EXPECT_THAT(Warnings(), ElementsAre("Failed to drop command structure."));
    expectedLeaks = {"command #1 not dropped"};
}

}  // namespace

TEST_F(RpcTest, AReadIsSentAgainWhenTheConnectionBrokeUnderItAndAChangeFailsAsANetworkError)
{
    // FreeTDS fails the results of a socket the agent closed without a client message.
    agent().Script(RpcName(pa::protocol::kVersionGet), Reply{.outcome = Outcome::ConnectionClosed});
    agent().Script(RpcName(pa::protocol::kVersionGet), IntRows({{3, 1}}));
    int32_t major = 0, minor = 0;
    EXPECT_EQ(PaServerGetVersionNo(handle, &major, &minor), PaSUCCESS);
    EXPECT_EQ(major, 3);
    EXPECT_EQ(agent().SendCount(RpcName(pa::protocol::kVersionGet)), 2);
    EXPECT_EQ(PaServerGetLastError(handle), PaNETWORK_ERROR);

    agent().Script(RpcName(pa::protocol::kStopProcesses), Reply{.outcome = Outcome::ConnectionClosed});
    EXPECT_EQ(PaStopProcesses(handle), PaFAILURE);  // it may have run: not sent again
    EXPECT_EQ(agent().SendCount(RpcName(pa::protocol::kStopProcesses)), 1);
    EXPECT_EQ(PaServerGetLastError(handle), PaNETWORK_ERROR);
}
