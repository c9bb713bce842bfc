// The stand-in driven through ct_* calls the way the agent client drives FreeTDS.
#include "fakect.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <dlfcn.h>

#include <cstring>

using namespace fakect;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

std::vector<CS_MSGNUM> clientNumbers;
CS_RETCODE clientAnswer = CS_SUCCEED;

CS_RETCODE OnClientMessage(CS_CONTEXT *, CS_CONNECTION *, CS_CLIENTMSG *message) {
    clientNumbers.push_back(message->msgnumber);
    return clientAnswer;
}

std::vector<CS_SERVERMSG> serverMessages;

CS_RETCODE OnServerMessage(CS_CONTEXT *, CS_CONNECTION *, CS_SERVERMSG *message) {
    serverMessages.push_back(*message);
    return CS_SUCCEED;
}

CS_RETCODE OnConnectionClientMessage(CS_CONTEXT *, CS_CONNECTION *, CS_CLIENTMSG *) {
    return CS_FAIL;
}

std::string challengeInput;

CS_RETCODE AnswerChallenge(CS_CONNECTION *, CS_INT receivedId, CS_INT *sendId, CS_DATAFMT *inputFormat,
                           CS_BYTE *input, CS_DATAFMT *, CS_BYTE *output, CS_INT *outputLength) {
    challengeInput.assign(reinterpret_cast<char *>(input), static_cast<std::size_t>(inputFormat->maxlength));
    *sendId = receivedId + 1;
    std::memcpy(output, "answer", 6);
    *outputLength = 6;
    return challengeInput == "refuse" ? CS_FAIL : CS_SUCCEED;
}

CS_VOID *AsVoid(auto function) {
    return reinterpret_cast<CS_VOID *>(function);
}

class FakeCtTest : public ::testing::Test {
protected:
    void SetUp() override {
        agent().Reset();
        clientNumbers.clear();
        clientAnswer = CS_SUCCEED;
        serverMessages.clear();
        ASSERT_EQ(cs_ctx_alloc(CS_VERSION_150, &context), CS_SUCCEED);
        ASSERT_EQ(ct_init(context, CS_VERSION_150), CS_SUCCEED);
        ct_callback(context, nullptr, CS_SET, CS_CLIENTMSG_CB, AsVoid(&OnClientMessage));
        ct_callback(context, nullptr, CS_SET, CS_SERVERMSG_CB, AsVoid(&OnServerMessage));
    }

    CS_CONNECTION *Connect() {
        CS_CONNECTION *connection = nullptr;
        EXPECT_EQ(ct_con_alloc(context, &connection), CS_SUCCEED);
        EXPECT_EQ(ct_connect(connection, const_cast<CS_CHAR *>("agent1"), CS_NULLTERM), CS_SUCCEED);
        return connection;
    }

    // Allocates a command and sends the RPC with one text and one integer parameter.
    CS_COMMAND *Send(CS_CONNECTION *connection, const char *rpc) {
        CS_COMMAND *command = nullptr;
        EXPECT_EQ(ct_cmd_alloc(connection, &command), CS_SUCCEED);
        ct_command(command, CS_RPC_CMD, rpc, CS_NULLTERM, CS_UNUSED);
        CS_DATAFMT format{};
        std::strcpy(format.name, "processNameArg");
        format.namelen = 14;
        format.datatype = CS_CHAR_TYPE;
        format.status = CS_INPUTVALUE;
        format.format = CS_FMT_PADNULL;
        format.maxlength = 4;
        char text[] = "abc";
        EXPECT_EQ(ct_param(command, &format, text, 4, 0), CS_SUCCEED);
        std::strcpy(format.name, "level");
        format.namelen = 5;
        format.datatype = CS_INT_TYPE;
        CS_INT level = 7;
        EXPECT_EQ(ct_param(command, &format, &level, 4, 0), CS_SUCCEED);
        EXPECT_EQ(ct_send(command), CS_SUCCEED);
        return command;
    }

    // Every ct_results answer until the first that is not CS_SUCCEED.
    static std::vector<std::string> Results(CS_COMMAND *command) {
        agent().ClearLog();
        CS_INT type;
        while (ct_results(command, &type) == CS_SUCCEED) {}
        return agent().Log({"ct_results"});
    }

    void TearDown() override {
        cs_ctx_drop(context);
    }

    CS_CONTEXT *context = nullptr;
};

TEST_F(FakeCtTest, LogsLoginPropertiesAndKeepsThemByteForByte) {
    CS_CONNECTION *connection = nullptr;
    ASSERT_EQ(ct_con_alloc(context, &connection), CS_SUCCEED);
    void *handle = &handle;
    void *readBack = nullptr;
    CS_INT length = -1;
    EXPECT_EQ(ct_con_props(connection, CS_GET, CS_USERDATA, &readBack, sizeof readBack, &length), CS_SUCCEED);
    EXPECT_EQ(length, 0);
    EXPECT_EQ(readBack, nullptr);

    ct_con_props(connection, CS_SET, CS_USERNAME, const_cast<char *>("fred"), CS_NULLTERM, nullptr);
    ct_con_props(connection, CS_SET, CS_PASSWORD, const_cast<char *>("secret"), CS_NULLTERM, nullptr);
    ct_con_props(connection, CS_SET, CS_USERDATA, &handle, sizeof handle, nullptr);
    CS_INT version = CS_TDS_50;
    ct_con_props(connection, CS_SET, CS_TDS_VERSION, &version, CS_UNUSED, nullptr);
    EXPECT_EQ(ct_con_props(connection, CS_GET, CS_USERDATA, &readBack, sizeof readBack, &length), CS_SUCCEED);
    EXPECT_EQ(readBack, handle);
    EXPECT_EQ(length, static_cast<CS_INT>(sizeof handle));
    EXPECT_EQ(agent().Property(connection, CS_PASSWORD), "secret");
    EXPECT_EQ(agent().IntProperty(connection, CS_TDS_VERSION), CS_TDS_50);

    CS_INT status = -1;
    ct_con_props(connection, CS_GET, CS_CON_STATUS, &status, CS_UNUSED, nullptr);
    EXPECT_EQ(status, 0);
    ct_connect(connection, const_cast<CS_CHAR *>("agent1"), CS_NULLTERM);
    ct_con_props(connection, CS_GET, CS_CON_STATUS, &status, CS_UNUSED, nullptr);
    EXPECT_EQ(status, CS_CONSTAT_CONNECTED);
    ct_close(connection, CS_UNUSED);
    EXPECT_EQ(agent().Status(connection), 0);
    ct_con_drop(connection);

    EXPECT_THAT(agent().Log({"ct_con_props", "ct_connect", "ct_close"}),
                ElementsAre("ct_con_props(CS_GET, CS_USERDATA, 8)", "ct_con_props(CS_SET, CS_USERNAME, \"fred\", CS_NULLTERM)",
                            "ct_con_props(CS_SET, CS_PASSWORD, \"secret\", CS_NULLTERM)",
                            "ct_con_props(CS_SET, CS_USERDATA, <8 bytes>, 8)",
                            "ct_con_props(CS_SET, CS_TDS_VERSION, CS_TDS_50, CS_UNUSED)",
                            "ct_con_props(CS_GET, CS_USERDATA, 8)", "ct_con_props(CS_GET, CS_CON_STATUS, CS_UNUSED)",
                            "ct_connect(\"agent1\", CS_NULLTERM)", "ct_con_props(CS_GET, CS_CON_STATUS, CS_UNUSED)",
                            "ct_close(CS_UNUSED)"));
    EXPECT_THAT(agent().Log({"ct_init", "ct_callback"}),
                ElementsAre("ct_init(CS_VERSION_150)", "ct_callback(ctx, NULL, CS_SET, CS_CLIENTMSG_CB)",
                            "ct_callback(ctx, NULL, CS_SET, CS_SERVERMSG_CB)"));
}

TEST_F(FakeCtTest, AnswersAScriptedRpcLikeFreeTds) {
    agent().Script("pa_ProcessListRPC",
                   Reply{.results = {ResultSet{.columns = {{"name", CS_CHAR_TYPE, 30}, {"pid", CS_INT_TYPE, 4},
                                                           {"kind", CS_SMALLINT_TYPE, 2}, {"note", CS_CHAR_TYPE, 4}},
                                               .rows = {{"sleeper", 42, 3, Null}, {"abcd", 7, 1, "wxyz"}}}}});
    CS_CONNECTION *connection = Connect();
    CS_COMMAND *command = Send(connection, "pa_ProcessListRPC");

    CS_INT type;
    ASSERT_EQ(ct_results(command, &type), CS_SUCCEED);
    EXPECT_EQ(type, CS_ROW_RESULT);
    CS_INT columns = 0;
    ASSERT_EQ(ct_res_info(command, CS_NUMDATA, &columns, sizeof columns, nullptr), CS_SUCCEED);
    EXPECT_EQ(columns, 4);
    CS_DATAFMT formats[4]{};
    for (CS_INT item = 1; item <= 4; ++item) ASSERT_EQ(ct_describe(command, item, &formats[item - 1]), CS_SUCCEED);
    EXPECT_STREQ(formats[1].name, "pid");
    EXPECT_EQ(formats[1].datatype, CS_INT_TYPE);
    EXPECT_EQ(formats[0].maxlength, 30);
    EXPECT_EQ(formats[0].count, 1);
    char name[31] = {};
    char note[4];
    CS_INT pid = 0;
    CS_INT copied[4];
    CS_SMALLINT indicators[4];
    ct_bind(command, 1, &formats[0], name, &copied[0], &indicators[0]);
    ct_bind(command, 2, &formats[1], &pid, &copied[1], &indicators[1]);
    ct_bind(command, 3, &formats[2], nullptr, &copied[2], &indicators[2]);
    ct_bind(command, 4, &formats[3], note, &copied[3], &indicators[3]);

    ASSERT_EQ(ct_fetch(command, CS_UNUSED, CS_UNUSED, CS_UNUSED, nullptr), CS_SUCCEED);
    EXPECT_STREQ(name, "sleeper");
    EXPECT_EQ(pid, 42);
    EXPECT_EQ(copied[2], 0);
    EXPECT_EQ(indicators[3], -1);
    std::memset(name, 0, sizeof name);
    ASSERT_EQ(ct_fetch(command, CS_UNUSED, CS_UNUSED, CS_UNUSED, nullptr), CS_SUCCEED);
    EXPECT_EQ(std::string(note, 4), "wxyz");  // fills the buffer: no terminator
    EXPECT_EQ(copied[3], 4);
    EXPECT_EQ(ct_fetch(command, CS_UNUSED, CS_UNUSED, CS_UNUSED, nullptr), CS_END_DATA);

    EXPECT_THAT(agent().Log({"ct_param"}),
                ElementsAre("ct_param(name=\"processNameArg\", namelen=14, datatype=0, status=256, maxlength=4, "
                            "format=2, value=\"abc\\0\", datalen=4, indicator=0)",
                            "ct_param(name=\"level\", namelen=5, datatype=8, status=256, maxlength=4, format=2, "
                            "value=7, datalen=4, indicator=0)"));
    EXPECT_THAT(Results(command), ElementsAre("ct_results -> CS_CMD_DONE", "ct_results -> CS_STATUS_RESULT",
                                              "ct_results -> CS_CMD_SUCCEED", "ct_results -> CS_CMD_DONE",
                                              "ct_results -> CS_END_RESULTS"));
    ASSERT_EQ(agent().Sent().size(), 1u);
    const SentRpc &sent = agent().Sent()[0];
    EXPECT_EQ(sent.name, "pa_ProcessListRPC");
    ASSERT_EQ(sent.params.size(), 2u);
    EXPECT_EQ(sent.params[0].name, "processNameArg");
    EXPECT_EQ(sent.params[0].value, std::string("abc\0", 4));
    EXPECT_EQ(sent.params[1].datatype, CS_INT_TYPE);

    ct_cmd_drop(command);
    ct_close(connection, CS_FORCE_CLOSE);
    ct_con_drop(connection);
}

TEST_F(FakeCtTest, RowsTooLongOrMarkedFailingFetchAsRowFail) {
    agent().Script("pa_HostListRPC",
                   Reply{.results = {ResultSet{.columns = {{"host", CS_CHAR_TYPE, 3}},
                                               .rows = {{"toolong"}, {"ok"}, {"bad"}},
                                               .failingRow = 2}}});
    CS_CONNECTION *connection = Connect();
    CS_COMMAND *command = Send(connection, "pa_HostListRPC");
    CS_INT type;
    ct_results(command, &type);
    CS_DATAFMT format{};
    ct_describe(command, 1, &format);
    char host[3];
    ct_bind(command, 1, &format, host, nullptr, nullptr);
    EXPECT_EQ(ct_fetch(command, CS_UNUSED, CS_UNUSED, CS_UNUSED, nullptr), CS_ROW_FAIL);
    EXPECT_EQ(ct_fetch(command, CS_UNUSED, CS_UNUSED, CS_UNUSED, nullptr), CS_SUCCEED);
    EXPECT_EQ(ct_fetch(command, CS_UNUSED, CS_UNUSED, CS_UNUSED, nullptr), CS_ROW_FAIL);
    EXPECT_EQ(ct_fetch(command, CS_UNUSED, CS_UNUSED, CS_UNUSED, nullptr), CS_END_DATA);
    ct_cmd_drop(command);
    ct_con_drop(connection);
}

TEST_F(FakeCtTest, CancelAfterAFailedCommandWipesItLikeFreeTds) {
    agent().Script("pa_StopPA_RPC", Reply{.returnStatus = -6, .outcome = Outcome::CommandFails});
    CS_CONNECTION *connection = Connect();
    CS_COMMAND *command = Send(connection, "pa_StopPA_RPC");
    CS_INT type;
    ASSERT_EQ(ct_results(command, &type), CS_SUCCEED);
    EXPECT_EQ(type, CS_STATUS_RESULT);
    ASSERT_EQ(ct_results(command, &type), CS_SUCCEED);
    EXPECT_EQ(type, CS_CMD_FAIL);
    EXPECT_EQ(ct_cancel(connection, nullptr, CS_CANCEL_ALL), CS_SUCCEED);
    EXPECT_EQ(ct_results(command, &type), CS_CANCELED);

    EXPECT_EQ(ct_send(command), CS_FAIL);
    EXPECT_THAT(clientNumbers, ElementsAre(16843163));
    EXPECT_EQ(agent().SendCount("pa_StopPA_RPC"), 1);
    ct_cmd_drop(command);
    ct_con_drop(connection);
}

TEST_F(FakeCtTest, VendorModeKeepsTheCommandForAResendAndRefusesDeadConnections) {
    agent().behaviour.vendor = true;
    agent().behaviour.deadConnectionCode = CS_BUSY;
    agent().Script("pa_StopPA_RPC", Reply{.outcome = Outcome::CommandFails});
    agent().Script("pa_StopPA_RPC", Reply{});
    CS_CONNECTION *connection = Connect();
    CS_COMMAND *command = Send(connection, "pa_StopPA_RPC");
    EXPECT_THAT(Results(command).back(), "ct_results -> CS_END_RESULTS");
    ct_send(command);
    CS_INT type;
    ct_results(command, &type);
    ct_cancel(connection, nullptr, CS_CANCEL_ALL);
    EXPECT_EQ(ct_results(command, &type), CS_CANCELED);
    EXPECT_EQ(ct_send(command), CS_SUCCEED);
    ASSERT_EQ(agent().Sent().size(), 3u);
    EXPECT_EQ(agent().Sent()[2].params.size(), 2u);
    EXPECT_THAT(clientNumbers, IsEmpty());
    ct_cmd_drop(command);

    agent().SetStatus(connection, CS_CONSTAT_DEAD);
    CS_COMMAND *refused = nullptr;
    EXPECT_EQ(ct_cmd_alloc(connection, &refused), CS_BUSY);
    ct_con_drop(connection);
}

TEST_F(FakeCtTest, ASecondSendWhileResultsArePendingFailsWith20019) {
    CS_CONNECTION *connection = Connect();
    CS_COMMAND *first = Send(connection, "pa_ServerVersionGetRPC");
    CS_COMMAND *second = nullptr;
    ct_cmd_alloc(connection, &second);
    ct_command(second, CS_RPC_CMD, "pa_PAGenNotifyRPC", CS_NULLTERM, CS_UNUSED);
    EXPECT_EQ(ct_send(second), CS_FAIL);
    ct_cmd_drop(first);  // the unread reply still holds the connection
    EXPECT_EQ(ct_send(second), CS_FAIL);
    EXPECT_THAT(clientNumbers, ElementsAre(20019, 20019));
    ct_close(connection, CS_FORCE_CLOSE);
    EXPECT_EQ(ct_send(second), CS_FAIL);  // closed: no message
    EXPECT_EQ(clientNumbers.size(), 2u);
    ct_cmd_drop(second);
    ct_con_drop(connection);
}

TEST_F(FakeCtTest, AConnectionDyingMidReplyFailsResultsAndLaterSends) {
    agent().Script("pa_ProcessStatusRPC", Reply{.results = {ResultSet{.columns = {{"state", CS_INT_TYPE, 4}},
                                                                       .rows = {{1}}}},
                                                .outcome = Outcome::ConnectionDies});
    CS_CONNECTION *connection = Connect();
    CS_COMMAND *command = Send(connection, "pa_ProcessStatusRPC");
    EXPECT_THAT(Results(command), ElementsAre("ct_results -> CS_ROW_RESULT", "ct_results -> CS_CMD_DONE",
                                              "ct_results -> CS_FAIL"));
    EXPECT_EQ(agent().Status(connection), CS_CONSTAT_DEAD);
    EXPECT_EQ(ct_send(command), CS_FAIL);
    EXPECT_THAT(clientNumbers, ElementsAre(20017, 20006));
    CS_COMMAND *another = nullptr;
    EXPECT_EQ(ct_cmd_alloc(connection, &another), CS_SUCCEED);  // FreeTDS does not look at the connection
    ct_cmd_drop(another);
    ct_cmd_drop(command);
    ct_con_drop(connection);
}

TEST_F(FakeCtTest, InjectedFailuresHitTheChosenCalls) {
    agent().On("ct_cmd_alloc").Returns(CS_BUSY).FromCall(2).Times(2);
    agent().On("ct_con_props").OnlyFor(CS_PASSWORD).OnlyAction(CS_SET).Returns(CS_FAIL);
    agent().On("ct_con_props").OnlyFor(CS_CON_STATUS).Returns(CS_FAIL).Always();
    agent().On("ct_config").OnlyFor(CS_TIMEOUT).Returns(CS_FAIL);
    CS_CONNECTION *connection = Connect();

    std::vector<CS_RETCODE> allocations;
    for (int i = 0; i < 4; ++i) {
        CS_COMMAND *command = nullptr;
        allocations.push_back(ct_cmd_alloc(connection, &command));
        if (command) ct_cmd_drop(command);
    }
    EXPECT_THAT(allocations, ElementsAre(CS_SUCCEED, CS_BUSY, CS_BUSY, CS_SUCCEED));
    EXPECT_EQ(ct_con_props(connection, CS_SET, CS_USERNAME, const_cast<char *>("u"), CS_NULLTERM, nullptr), CS_SUCCEED);
    EXPECT_EQ(ct_con_props(connection, CS_SET, CS_PASSWORD, const_cast<char *>("p"), CS_NULLTERM, nullptr), CS_FAIL);
    EXPECT_EQ(ct_con_props(connection, CS_SET, CS_PASSWORD, const_cast<char *>("p"), CS_NULLTERM, nullptr), CS_SUCCEED);
    CS_INT status = -1;
    EXPECT_EQ(ct_con_props(connection, CS_GET, CS_CON_STATUS, &status, CS_UNUSED, nullptr), CS_FAIL);
    EXPECT_EQ(status, -1);
    CS_INT seconds = 30;
    EXPECT_EQ(ct_config(context, CS_SET, CS_TIMEOUT, &seconds, CS_UNUSED, nullptr), CS_FAIL);
    EXPECT_EQ(agent().Calls().back().text, "ct_config(CS_SET, CS_TIMEOUT, 30, CS_UNUSED)");
    EXPECT_EQ(agent().Calls().back().result, CS_FAIL);
    ct_close(connection, CS_FORCE_CLOSE);
    ct_con_drop(connection);
}

TEST_F(FakeCtTest, MessagesAttachedToACallAreRaisedInsideIt) {
    agent().On("ct_connect").Raises(ClientMessage(20009, 9, "Unable to connect")).Returns(CS_FAIL);
    agent().On("ct_send").Raises(ServerMessage(20001, 16, 1, "no such process", "agent1", "pa_ProcessStopRPC", 3));
    clientAnswer = CS_FAIL;
    CS_CONNECTION *connection = nullptr;
    ct_con_alloc(context, &connection);
    EXPECT_EQ(ct_connect(connection, const_cast<CS_CHAR *>("agent1"), CS_NULLTERM), CS_FAIL);
    EXPECT_EQ(agent().Status(connection), 0);
    EXPECT_EQ(ct_connect(connection, const_cast<CS_CHAR *>("agent1"), CS_NULLTERM), CS_SUCCEED);
    CS_COMMAND *command = Send(connection, "pa_ProcessStopRPC");

    EXPECT_THAT(clientNumbers, ElementsAre(20009));
    ASSERT_EQ(serverMessages.size(), 1u);
    EXPECT_STREQ(serverMessages[0].proc, "pa_ProcessStopRPC");
    EXPECT_EQ(serverMessages[0].proclen, 17);
    EXPECT_EQ(serverMessages[0].line, 3);
    ASSERT_EQ(agent().Deliveries().size(), 2u);
    EXPECT_EQ(agent().Deliveries()[0].result, CS_FAIL);
    EXPECT_TRUE(agent().Deliveries()[1].delivered);
    ct_cmd_drop(command);
    ct_con_drop(connection);
}

TEST_F(FakeCtTest, MessagesRaisedNowPreferTheConnectionsOwnCallback) {
    CS_CONNECTION *connection = Connect();
    EXPECT_EQ(agent().Raise(ClientMessage(20003, 6, "timed out"), connection), CS_SUCCEED);
    ct_callback(nullptr, connection, CS_SET, CS_CLIENTMSG_CB, AsVoid(&OnConnectionClientMessage));
    EXPECT_EQ(agent().Raise(ClientMessage(20003, 6, "timed out"), connection), CS_FAIL);
    EXPECT_EQ(agent().Raise(ClientMessage(20004, 9, "read failed"), nullptr), CS_SUCCEED);
    EXPECT_THAT(clientNumbers, ElementsAre(20003, 20004));
    ct_con_drop(connection);
}

TEST_F(FakeCtTest, ConnectDrivesTheChallengeCallback) {
    CS_CONNECTION *connection = nullptr;
    ct_con_alloc(context, &connection);
    CS_INT yes = CS_TRUE;
    ct_con_props(connection, CS_SET, CS_SEC_CHALLENGE, &yes, CS_UNUSED, nullptr);
    ct_callback(nullptr, connection, CS_SET, CS_CHALLENGE_CB, AsVoid(&AnswerChallenge));
    CS_VOID *installed = nullptr;
    ct_callback(nullptr, connection, CS_GET, CS_CHALLENGE_CB, &installed);
    EXPECT_EQ(installed, AsVoid(&AnswerChallenge));

    agent().challenge.input = "nonce";
    EXPECT_EQ(ct_connect(connection, const_cast<CS_CHAR *>("agent1"), CS_NULLTERM), CS_SUCCEED);
    agent().challenge.input = "refuse";
    EXPECT_EQ(ct_connect(connection, const_cast<CS_CHAR *>("agent1"), CS_NULLTERM), CS_FAIL);
    ASSERT_EQ(agent().Challenges().size(), 2u);
    EXPECT_EQ(agent().Challenges()[0].result, CS_SUCCEED);
    EXPECT_EQ(agent().Challenges()[0].sendId, 2);
    EXPECT_EQ(agent().Challenges()[0].output, "answer");
    EXPECT_EQ(agent().Challenges()[1].result, CS_FAIL);
    ct_con_drop(connection);
}

TEST_F(FakeCtTest, FreeTds13AcceptsTheChallengeCallbackAndForgetsIt) {
    agent().behaviour.challengeCallbackStored = false;
    CS_CONNECTION *connection = nullptr;
    ct_con_alloc(context, &connection);
    CS_INT yes = CS_TRUE;
    ct_con_props(connection, CS_SET, CS_SEC_CHALLENGE, &yes, CS_UNUSED, nullptr);
    EXPECT_EQ(ct_callback(nullptr, connection, CS_SET, CS_CHALLENGE_CB, AsVoid(&AnswerChallenge)), CS_SUCCEED);
    CS_VOID *installed = AsVoid(&AnswerChallenge);
    EXPECT_EQ(ct_callback(nullptr, connection, CS_GET, CS_CHALLENGE_CB, &installed), CS_SUCCEED);
    EXPECT_EQ(installed, nullptr);
    EXPECT_EQ(ct_connect(connection, const_cast<CS_CHAR *>("agent1"), CS_NULLTERM), CS_SUCCEED);
    EXPECT_THAT(agent().Challenges(), IsEmpty());
    ct_con_drop(connection);
}

TEST_F(FakeCtTest, ReportsObjectsLeftBehind) {
    CS_CONNECTION *connection = Connect();
    CS_COMMAND *command = nullptr;
    ct_cmd_alloc(connection, &command);
    EXPECT_THAT(agent().Leaks(), ElementsAre("context #1 not dropped", "connection #1 not dropped",
                                             "command #1 not dropped"));
    ct_con_drop(connection);
    ct_cmd_drop(command);  // a command outlives its connection, as in FreeTDS
    cs_ctx_drop(context);
    EXPECT_THAT(agent().Leaks(), IsEmpty());
    context = nullptr;
}

using FakeCtDeathTest = FakeCtTest;

TEST_F(FakeCtDeathTest, AbortsOnAnObjectUsedAfterItWasDropped) {
    CS_CONNECTION *connection = Connect();
    ct_con_drop(connection);
    EXPECT_DEATH(ct_close(connection, CS_FORCE_CLOSE), "ct_close: connection used after it was dropped");
    EXPECT_DEATH(ct_con_props(nullptr, CS_GET, CS_CON_STATUS, nullptr, CS_UNUSED, nullptr), "FreeTDS crashes here");
}

TEST_F(FakeCtTest, CtDebugIsFoundAtRunTimeAndCanBeMadeToFail) {
    using CtDebug = CS_RETCODE (*)(CS_CONTEXT *, CS_CONNECTION *, CS_INT, CS_INT, CS_CHAR *, CS_INT);
    auto found = reinterpret_cast<CtDebug>(dlsym(RTLD_DEFAULT, "ct_debug"));
    ASSERT_EQ(found, &ct_debug);
    agent().On("ct_debug").Returns(CS_FAIL).FromCall(2);
    EXPECT_EQ(found(context, nullptr, 1700, 1, nullptr, CS_UNUSED), CS_SUCCEED);
    EXPECT_EQ(found(context, nullptr, 1700, 1, nullptr, CS_UNUSED), CS_FAIL);
    EXPECT_THAT(agent().Log({"ct_debug"}), ElementsAre("ct_debug(ctx, NULL, CS_SET_FLAG, CS_DBG_ALL, NULL, CS_UNUSED)",
                                                       "ct_debug(ctx, NULL, CS_SET_FLAG, CS_DBG_ALL, NULL, CS_UNUSED)"));
}

}  // namespace
