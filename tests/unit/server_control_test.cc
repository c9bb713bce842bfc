// Operations on an agent as a whole, the switches that touch only the handle, and the
// one-shot process-state inform over a connection of its own.
#include "support/client_fixture.h"

#include <functional>

using namespace client;
using fakect::agent;
using fakect::Outcome;
using fakect::Reply;
using testing::ElementsAre;
using testing::IsEmpty;

namespace {

using ServerControlTest = ConnectedTest;

std::string IntParam(const std::string &name, int32_t value)
{
    return "ct_param(name=\"" + name + "\", namelen=" + std::to_string(name.size()) +
           ", datatype=8, status=256, maxlength=4, format=2, value=" + std::to_string(value) +
           ", datalen=4, indicator=0)";
}

TEST_F(ServerControlTest, DebugLevelIsWrittenOnlyFromARowAndTheVersionWhateverTheResult)
{
    agent().Script(RpcName(pa::protocol::kDebugLevelGet), IntRows({{4}}, 1));
    agent().Script(RpcName(pa::protocol::kDebugLevelGet), Reply{});
    agent().Script(RpcName(pa::protocol::kVersionGet), IntRows({{3, 7}}));
    agent().Script(RpcName(pa::protocol::kVersionGet), Reply{});
    int32_t level = -1;
    int32_t major = -1;
    int32_t minor = -1;
    EXPECT_EQ(PaServerGetDebugLevel(handle, &level), PaSUCCESS);
    EXPECT_EQ(PaServerGetVersionNo(handle, &major, &minor), PaSUCCESS);
    EXPECT_EQ(std::vector({level, major, minor}), std::vector({4, 3, 7}));
    level = major = minor = -1;
    EXPECT_EQ(PaServerGetDebugLevel(handle, &level), PaSUCCESS);
    EXPECT_EQ(PaServerGetVersionNo(handle, &major, &minor), PaSUCCESS);
    EXPECT_EQ(std::vector({level, major, minor}), std::vector({-1, 0, 0}));
    major = minor = -1;
    agent().On("ct_send").Returns(CS_FAIL).Times(2);
    EXPECT_EQ(PaServerGetDebugLevel(handle, &level), PaFAILURE);
    EXPECT_EQ(PaServerGetVersionNo(handle, &major, &minor), PaFAILURE);
    EXPECT_EQ(std::vector({level, major, minor}), std::vector({-1, 0, 0}));
}

TEST_F(ServerControlTest, StopTakesALostConnectionAsSuccessWithoutReconnectingAgain)
{
    RetryProbe probe;
    PaInstallRetryCB(handle, &RetryProbe::Answer, &probe);
    agent().Script(RpcName(pa::protocol::kStopPa), Reply{.outcome = Outcome::CommandFails});
    EXPECT_EQ(PaStopPA(handle, 1), PaSUCCESS);  // retries exhausted
    EXPECT_EQ(agent().SendCount(RpcName(pa::protocol::kStopPa)), 11);
    PaInstallRetryCB(handle, nullptr, nullptr);
    EXPECT_EQ(PaStopPA(handle, 1), PaFAILURE);
    EXPECT_EQ(agent().SendCount(RpcName(pa::protocol::kStopPa)), 12);
    EXPECT_EQ(Count(Debugs(), "Attempting to re-establish connection to server"), 0);

    agent().SetStatus(handle->connection, CS_CONSTAT_DEAD);
    agent().On("ct_connect").Returns(CS_FAIL).Always();
    EXPECT_EQ(PaStopPA(handle, 1), PaSUCCESS);  // no command, no connection
    EXPECT_EQ(Count(Debugs(), "Attempting to re-establish connection to server"), 1);
    EXPECT_EQ(agent().Log({"ct_connect"}).size(), 1u);
    EXPECT_EQ(agent().Sent().size(), 12u);
}

TEST_F(ServerControlTest, LostConnectionDuringStartProcessesReconnectsOnceAndSendsOnceMore)
{
    RetryProbe probe;
    PaInstallRetryCB(handle, &RetryProbe::Answer, &probe);
    for (int send = 1; send <= 11; ++send) {
        agent().Script(RpcName(pa::protocol::kStartProcesses), Reply{.outcome = Outcome::CommandFails});
    }
    agent().Script(RpcName(pa::protocol::kStartProcesses), Reply{});
    EXPECT_EQ(PaStartProcesses(handle), PaSUCCESS);
    EXPECT_EQ(agent().SendCount(RpcName(pa::protocol::kStartProcesses)), 12);
    EXPECT_EQ(Count(Debugs(), "Attempting to re-establish connection to server"), 1);
}

TEST_F(ServerControlTest, LostConnectionDuringStartProcessesWhoseReconnectionFails)
{
    RetryProbe probe;
    probe.onCall = [this](int call) {
        if (call == 11) {
            agent().SetStatus(handle->connection, CS_CONSTAT_DEAD);
        }
    };
    PaInstallRetryCB(handle, &RetryProbe::Answer, &probe);
    agent().Script(RpcName(pa::protocol::kStartProcesses), Reply{.outcome = Outcome::CommandFails});
    agent().On("ct_connect").Returns(CS_FAIL);
    EXPECT_EQ(PaStartProcesses(handle), PaCONNECT_FAILED);
    EXPECT_EQ(agent().SendCount(RpcName(pa::protocol::kStartProcesses)), 11);
    EXPECT_EQ(Count(Debugs(), "Attempting to re-establish connection to server"), 1);
    EXPECT_EQ(handle->connection, nullptr);
}

TEST_F(ServerControlTest, SwitchesForDebuggingAndDiagnostics)
{
    EXPECT_EQ(PaInstallDevLibDebug(handle), PaSUCCESS);
    EXPECT_THAT(agent().Log(), ElementsAre("ct_debug(ctx, conn, CS_SET_FLAG, CS_DBG_ALL, NULL, CS_UNUSED)"));
    agent().On("ct_debug").Returns(CS_FAIL);
    EXPECT_EQ(PaInstallDevLibDebug(handle), PaFAILURE);
    EXPECT_THAT(Errors(), ElementsAre("Failed to start the sybase library debug support."));

    PaSetServerInternalMode(handle);
    PaEnableAdvancedDiag(handle);
    EXPECT_EQ(handle->advancedDiag, 1);
    PaDisableAdvancedDiag(handle);
    EXPECT_EQ(handle->advancedDiag, 0);
    EXPECT_EQ(handle->internalMode, 1);
    EXPECT_EQ(agent().Log().size(), 2u);
}

class InformTest : public ClientTest {
protected:
    void TearDown() override
    {
        ClientTest::TearDown();
        EXPECT_THAT(log.texts(), testing::Each(testing::Not(testing::HasSubstr("marlock"))));
    }
};

TEST_F(InformTest, ReportsBothNumbersOverItsOwnConnectionAndClosesIt)
{
    EXPECT_EQ(PaInformPA(kServer, -5, 77), PaSUCCESS);
    EXPECT_THAT(agent().Log({"ct_con_props"}),
                testing::IsSupersetOf({"ct_con_props(CS_SET, CS_USERNAME, \"vexamund\", CS_NULLTERM)",
                                       "ct_con_props(CS_SET, CS_PASSWORD, \"marlock\", CS_NULLTERM)",
                                       "ct_con_props(CS_SET, CS_APPNAME, \"PAKitNotify\", CS_NULLTERM)"}));
    EXPECT_THAT(agent().Log({"ct_command", "ct_param"}),
                ElementsAre("ct_command(CS_RPC_CMD, \"pa_PANotificationRPC\", CS_NULLTERM, CS_UNUSED)",
                            IntParam("processPIDArg", -5), IntParam("processIDArg", 77)));
    EXPECT_THAT(agent().Log({"ct_cmd_drop", "ct_close", "ct_con_drop", "ct_exit", "cs_ctx_drop"}),
                ElementsAre("ct_cmd_drop()", "ct_close(CS_UNUSED)", "ct_con_drop()", "ct_exit(CS_FORCE_EXIT)",
                            "cs_ctx_drop()"));
}

TEST_F(InformTest, ReleasesEverythingWhateverTheOutcome)
{
    const std::string connectFailed = "Failed to make a connection to agent1.";
    const std::string unable        = "Unable to re-establish connection to server agent1";
    struct Case {
        const char *name;
        std::function<void()> prepare;
        int32_t result;
        int sends;
        std::vector<std::string> errors;
        std::vector<std::string> closes;
    } cases[] = {
        {"first connection fails",
         [] { agent().On("ct_connect").Returns(CS_FAIL); },
         PaCONNECT_FAILED,
         0,
         {connectFailed, "Failed to connection to the specified PA Server."},
         {}},
        {"agent fails the command",
         [] { agent().Script(RpcName(pa::protocol::kNotification), Reply{.outcome = Outcome::CommandFails}); },
         PaFAILURE,
         1,
         {"Command failed."},
         {"ct_close(CS_UNUSED)"}},
        {"lost, reconnected, sent once more",
         [] {
             agent().On("ct_con_props").OnlyFor(CS_CON_STATUS).Returns(CS_FAIL).Times(2);
             agent().On("ct_connect").Returns(CS_FAIL).FromCall(2);
         },
         PaSUCCESS,
         1,
         {connectFailed, unable, "Failed to allocate command context and reconnect."},
         {"ct_close(CS_FORCE_CLOSE)", "ct_close(CS_UNUSED)"}},
        {"lost, reconnection fails",
         [] {
             agent().On("ct_con_props").OnlyFor(CS_CON_STATUS).Returns(CS_FAIL).Always();
             agent().On("ct_connect").Returns(CS_FAIL).FromCall(2).Always();
         },
         PaCONNECT_FAILED,
         0,
         {connectFailed, unable, "Failed to allocate command context and reconnect.", connectFailed, unable},
         {"ct_close(CS_FORCE_CLOSE)"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        agent().Reset();
        log.clear();
        c.prepare();
        EXPECT_EQ(PaInformPA(kServer, 1, 2), c.result);
        EXPECT_EQ(agent().SendCount(RpcName(pa::protocol::kNotification)), c.sends);
        EXPECT_EQ(Errors(), c.errors);
        EXPECT_EQ(agent().Log({"ct_close"}), c.closes);
        EXPECT_THAT(agent().Leaks(), IsEmpty());
        EXPECT_EQ(hooks.liveBlocks(), 0u);
    }
    log.clear();
    EXPECT_EQ(PaInformPA(nullptr, 1, 2), PaCONNECT_FAILED);
    EXPECT_THAT(Errors(), ElementsAre("Failed to create connection structure."));
}

}  // namespace
