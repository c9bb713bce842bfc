// Logins, the agent-wide commands and the routing table against a real agent.
#include "support/client.h"
#include "support/log_capture.h"
#include "support/stderr_capture.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <csignal>

using testing::Contains;
using testing::HasSubstr;

namespace {

TEST(Login, UsersFileLoginIsAcceptedAndAWrongPasswordOrUnknownUserRefused)
{
    AgentProcess agent;
    EXPECT_EQ(TryLogin(agent, AgentProcess::kUser, AgentProcess::kPassword), PaSUCCESS);

    LogCapture log(PaMSG_ERROR);
    EXPECT_EQ(TryLogin(agent, AgentProcess::kUser, "not-the-password"), PaCONNECT_FAILED);
    EXPECT_EQ(TryLogin(agent, "intruder", AgentProcess::kPassword), PaCONNECT_FAILED);
    EXPECT_THAT(log.texts(), Contains("Failed to make a connection to " + agent.name() + "."));
    EXPECT_THAT(agent.errors(), HasSubstr("login rejected for user 'intruder'"));
}

void Notified() {}

TEST(ServerControl, DebugLevelVersionAndNotification)
{
    AgentProcess agent;
    Handle handle = OpenHandle(agent);
    for (int32_t wanted : {3, 0}) {
        ASSERT_EQ(PaServerChangeDebugLevel(handle.get(), wanted), PaSUCCESS);
        int32_t level = -1;
        EXPECT_EQ(PaServerGetDebugLevel(handle.get(), &level), PaSUCCESS);
        EXPECT_EQ(level, wanted);
    }
    ASSERT_EQ(PaServerChangeDebugLevel(handle.get(), 1), PaSUCCESS);

    int32_t major = 0, minor = 0;
    EXPECT_EQ(PaServerGetVersionNo(handle.get(), &major, &minor), PaSUCCESS);
    EXPECT_EQ(major, 3);
    EXPECT_EQ(minor, 1);

    EXPECT_EQ(PaInstallNotifcationCB(handle.get(), &Notified, &agent), PaSUCCESS);
    PaEnableAdvancedDiag(handle.get());
    StderrCapture printed;
    EXPECT_EQ(PaServerGenerateNotification(handle.get()), PaSUCCESS);
    EXPECT_THAT(printed.text(), HasSubstr("Message String: notification from " + agent.name()));
    EXPECT_THAT(agent.errors(), HasSubstr("notification"));
    PaDisableAdvancedDiag(handle.get());
}

TEST(Routing, EntriesAreAddedListedWholeOrForThisAgentAndRemoved)
{
    AgentProcess agent;
    Handle handle          = OpenHandle(agent);
    const std::string self = agent.name();
    for (auto [host, server] : {std::pair{"alpha", self.c_str()}, {"beta", "OTHER_AGENT"}, {"gamma", self.c_str()}}) {
        PaHost *entry = PaHostCreate(host, server);
        EXPECT_EQ(PaHostAdd(handle.get(), entry), PaSUCCESS) << host;
        PaHostFree(entry);
    }
    EXPECT_EQ(FetchHosts(handle.get(), 0), "alpha -> " + self + "\nbeta -> OTHER_AGENT\ngamma -> " + self + "\n");
    EXPECT_EQ(FetchHosts(handle.get(), 1), "alpha -> " + self + "\ngamma -> " + self + "\n");

    PaHost *beta = PaHostCreate("beta", "OTHER_AGENT");
    EXPECT_EQ(PaHostAdd(handle.get(), beta), PaFAILURE);  // already there
    EXPECT_EQ(PaHostRemove(handle.get(), beta), PaSUCCESS);
    EXPECT_EQ(PaHostRemove(handle.get(), beta), PaFAILURE);  // gone
    PaHostFree(beta);
    EXPECT_EQ(FetchHosts(handle.get(), 0), "alpha -> " + self + "\ngamma -> " + self + "\n");
}

// Stop argument 0 leaves the agent's processes running, any other stops them first.
TEST(StopAgent, ArgumentZeroLeavesProcessesRunningOtherValuesStopThem)
{
    for (int32_t argument : {0, 1}) {
        SCOPED_TRACE(argument);
        AgentProcess agent;
        Handle handle   = OpenHandle(agent);
        Process sleeper = MakeProcess("sleeper", kSleeper);
        ASSERT_EQ(PaProcessStart(handle.get(), sleeper.get()), PaSUCCESS);
        int32_t pid = StatusOf(handle.get(), sleeper.get()).pid;
        ASSERT_TRUE(Alive(pid));

        EXPECT_EQ(PaStopPA(handle.get(), argument), PaSUCCESS);
        EXPECT_EQ(agent.WaitForExit(kWaitLimit), 0);
        EXPECT_EQ(Alive(pid), argument == 0);
        kill(-pid, SIGKILL);
    }
}

}  // namespace
