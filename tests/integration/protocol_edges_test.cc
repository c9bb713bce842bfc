// What library and agent agree on at the edges of the protocol: texts the file format must
// carry, the largest value, the agent's reason for a refusal, and replies that take longer
// than the handle's usual time-out.
#include "support/client.h"
#include "support/scripted_relay.h"
#include "tds/protocol.h"
#include "tds/token_writer.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

using testing::HasSubstr;

namespace {

class ProtocolEdges : public testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(PaConnectValidAndOpen(handle_.get()), PaSUCCESS); }
    PaConnection *Connected() const { return handle_.get(); }

    AgentProcess agent_;
    Handle handle_ = OpenHandle(agent_);
};

// A sleeper whose command is padded with a shell comment to exactly size bytes.
std::string PaddedSleeper(size_t size)
{
    std::string command = std::string(kSleeper) + " #";
    command.append(size - command.size(), 'x');
    return command;
}

TEST_F(ProtocolEdges, EveryTextSurvivesTheAgentsConfigurationFile)
{
    const std::string awkward[] = {"echo trailing \\", "printf '%s\\n' \"it's\" \\'", "tab\there # not a comment",
                                   "caf\xc3\xa9 cr\xc3\xa8me", "two\nlines"};
    std::vector<Member> members;
    int index = 0;
    for (const std::string &command : awkward) {
        const std::string name = "p" + std::to_string(index++) + "'\\";
        members.push_back({MakeProcess(name, command, {.restart_message = "back\\", .alert_message = "'gone'"}),
                           PaVALUE_TEXT, 0, command});
    }
    Service service = MakeService("odd\\", PaSERVICE_NON_MASTER, PaSERVICE_NON_AUTO, std::move(members));
    ASSERT_EQ(PaServiceAdd(Connected(), service.get()), PaSUCCESS);
    PaHost *route = PaHostCreate("host\\", "PA'\\");
    ASSERT_EQ(PaHostAdd(Connected(), route), PaSUCCESS);
    PaHostFree(route);
    const std::string services = FetchServices(Connected(), 1);
    ASSERT_EQ(services, Describe(service.get()));

    agent_.KillAndRestart();
    Handle again = OpenHandle(agent_);
    ASSERT_EQ(PaConnectValidAndOpen(again.get()), PaSUCCESS) << agent_.Errors();
    EXPECT_EQ(FetchServices(again.get(), 1), services);
    EXPECT_EQ(FetchHosts(again.get(), 0), "host\\ -> PA'\\\n");
}

TEST_F(ProtocolEdges, ValuesUpToTheLimitAreCarriedWholeAndLongerOnesRefusedBeforeSending)
{
    Process longest = MakeProcess("longest", PaddedSleeper(8192));
    Process plain   = MakeProcess("plain", kSleeper);
    ASSERT_EQ(PaProcessStart(Connected(), longest.get()), PaSUCCESS);
    ASSERT_EQ(PaProcessStart(Connected(), plain.get()), PaSUCCESS);
    const std::string listed = FetchProcesses(Connected(), 1);
    EXPECT_THAT(listed, HasSubstr("[" + PaddedSleeper(8192) + "]"));
    EXPECT_THAT(listed, HasSubstr("plain @"));

    Process too_long = MakeProcess("too-long", PaddedSleeper(9000));
    std::vector<std::string> errors;
    PaSetUserLoggerFunc(
        [](int32_t level, const char *text, const char *, void *data) {
            if (level == PaMSG_ERROR) {
                static_cast<std::vector<std::string> *>(data)->push_back(text);
            }
        },
        nullptr, &errors);
    EXPECT_EQ(PaProcessStart(Connected(), too_long.get()), PaFAILURE);
    PaRemoveUserLogFunc();
    EXPECT_THAT(errors, testing::Contains(HasSubstr("maximum size of 8193")));
    EXPECT_THAT(errors, testing::Contains(HasSubstr("Failed to set parameter - processCommandArg.")));
    EXPECT_EQ(FetchProcesses(Connected(), 1), listed);  // nothing reached the agent
}

TEST_F(ProtocolEdges, TheAgentsReasonForARefusalReachesTheCaller)
{
    Process sleeper = MakeProcess("twice", kSleeper);
    ASSERT_EQ(PaProcessStart(Connected(), sleeper.get()), PaSUCCESS);
    PaServerMessage message{};
    EXPECT_EQ(PaServerGetLastMessage(Connected(), &message), PaNOT_FOUND);

    EXPECT_EQ(PaProcessStart(Connected(), sleeper.get()), PaFAILURE);
    ASSERT_EQ(PaServerGetLastMessage(Connected(), &message), PaSUCCESS);
    EXPECT_THAT(message.text, HasSubstr("already running"));
    EXPECT_GT(message.severity, 10);

    // Each operation reports only its own messages.
    EXPECT_EQ(PaProcessStop(Connected(), sleeper.get()), PaSUCCESS);
    EXPECT_EQ(PaServerGetLastMessage(Connected(), &message), PaNOT_FOUND);
}

// An agent older than a request refuses it as an unknown stored procedure, as the agent does
// for every RPC it does not serve; the caller learns that it is not supported, and why. A wait
// the handle's time-out cannot hold is refused before anything is sent: the relay answers only
// the first request of a connection, which is the wait that fits.
TEST(OlderAgents, ARequestTheAgentDoesNotKnowIsReportedAsNotSupported)
{
    AgentProcess agent;
    paagent::tds::TokenBuffer refusal;
    paagent::tds::PutEed(
        refusal, paagent::tds::ServerMessage::Error(2812, "Stored procedure 'pa_EventWaitRPC' not found."), "old");
    paagent::tds::PutDone(refusal, paagent::tds::DoneToken::kDone, paagent::tds::done::kError, 0);
    ScriptedRelay older(agent, {ScriptedRelay::Step::kFirstRpc,
                                TdsReplyPacket(std::string(refusal.Bytes().begin(), refusal.Bytes().end()), true), ""});
    Handle handle(PaConnectCreate(older.Name().c_str(), "e2e-test", AgentProcess::kUser, AgentProcess::kPassword));
    ASSERT_EQ(PaSetResultsTimeOut(handle.get(), 5), PaSUCCESS);
    ASSERT_EQ(PaConnect(handle.get()), PaSUCCESS);
    int64_t cursor = -1;
    PaList *events = nullptr;
    EXPECT_EQ(PaEventWait(handle.get(), &cursor, 6, &events), PaFAILURE);
    EXPECT_EQ(PaEventWait(handle.get(), &cursor, 1, &events), PaNOT_SUPPORTED);
    EXPECT_EQ(events, nullptr);
    EXPECT_EQ(cursor, -1);
    PaServerMessage message{};
    ASSERT_EQ(PaServerGetLastMessage(handle.get(), &message), PaSUCCESS);
    EXPECT_THAT(message.text, HasSubstr("not found"));
}

TEST_F(ProtocolEdges, ACallWaitsAsLongAsTheAgentWasAskedToWait)
{
    ASSERT_EQ(PaSetResultsTimeOut(Connected(), 0), PaFAILURE);
    ASSERT_EQ(PaSetResultsTimeOut(Connected(), 1), PaSUCCESS);
    // The agent holds its answer for the 3 seconds the start asks it to watch the process.
    Process watched = MakeProcess("watched", kSleeper);
    EXPECT_EQ(PaProcessStartWithTimeOut(Connected(), watched.get(), 3), PaSUCCESS);
    EXPECT_EQ(StatusOf(Connected(), watched.get()).state, 1);
    EXPECT_EQ(PaGetResultsTimeOut(Connected()), 1);
    // The longest time-out is a long wait, not a deadline overflowed into the past.
    ASSERT_EQ(PaSetResultsTimeOut(Connected(), INT32_MAX), PaSUCCESS);
    int32_t major = 0, minor = 0;
    EXPECT_EQ(PaServerGetVersionNo(Connected(), &major, &minor), PaSUCCESS);
}

TEST_F(ProtocolEdges, AServiceOfStubbornMembersStopsWithinOneCall)
{
    // Each member ignores SIGTERM, so the agent must wait its grace period (2 s) and kill it;
    // waiting once for all of them fits in the time-out, waiting once per member does not.
    std::vector<Member> members;
    std::vector<Process> probes;
    for (int i = 0; i < 7; ++i) {
        const std::string name = "stubborn" + std::to_string(i);
        members.push_back({MakeProcess(name, "trap '' TERM; exec sleep 30"), PaVALUE_NONE, 0, {}});
        probes.push_back(MakeProcess(name, kSleeper));
    }
    Service service = MakeService("stubborn", PaSERVICE_NON_MASTER, PaSERVICE_NON_AUTO, std::move(members));
    ASSERT_EQ(PaServiceStart(Connected(), service.get()), PaSUCCESS);
    std::vector<int32_t> pids;
    for (const Process &probe : probes) {
        pids.push_back(StatusOf(Connected(), probe.get()).pid);
    }
    ASSERT_EQ(PaSetResultsTimeOut(Connected(), 8), PaSUCCESS);
    EXPECT_EQ(PaServiceStop(Connected(), service.get()), PaSUCCESS);
    for (int32_t pid : pids) {
        EXPECT_TRUE(Eventually([pid] { return !Alive(pid); })) << pid;
    }
}

}  // namespace
