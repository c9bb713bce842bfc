// Logins, failures to reach an agent, the agent-wide commands and the routing table against a
// real agent.
#include "support/client.h"
#include "support/log_capture.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <sstream>

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
    EXPECT_THAT(log.Texts(), Contains("Failed to make a connection to " + agent.Name() + "."));
    EXPECT_THAT(agent.Errors(), HasSubstr("login rejected for user 'intruder'"));
}

// A server the interfaces file places on a loopback port nobody listens on.
const char *ClosedServer()
{
    static const bool kWritten = [] {
        std::ofstream(FamilyHome() / "interfaces", std::ios::app) << "PA_CLOSED\n\tquery tcp 5.0 127.0.0.1 1\n";
        return true;
    }();
    return kWritten ? "PA_CLOSED" : nullptr;
}

struct Unreachable {
    const char *what;
    std::function<int32_t()> call;
    int32_t result;
    std::vector<std::string> logged;
    PaConnection *handle = nullptr;  // when set, classified as lastError afterwards
    int32_t last_error   = PaNO_ERROR;
};

// Each way of failing to reach an agent returns its code, logs what the caller is told, and
// never shows the password.
TEST(Login, FailuresToReachAnAgentAreReportedWithoutThePassword)
{
    Handle plain(PaConnectCreate(ClosedServer(), "e2e-test", "operator", "secret"));
    Handle secure(PaSecureConnectCreate(ClosedServer(), "e2e-test", "operator", "secret"));
    const std::string failed  = std::string("Failed to make a connection to ") + ClosedServer() + ".";
    const Unreachable cases[] = {
        {"connect", [&] { return PaConnect(plain.get()); }, PaCONNECT_FAILED, {failed}, plain.get(), PaNETWORK_ERROR},
        {"reconnect",
         [&] { return PaReconnect(plain.get()); },
         PaCONNECT_FAILED,
         {failed, std::string("Unable to re-establish connection to server ") + ClosedServer()},
         plain.get(),
         PaNETWORK_ERROR},
        {"validity", [&] { return PaConnectValidAndOpen(plain.get()); }, PaFAILURE, {}, plain.get(), PaNETWORK_ERROR},
        {"inform",
         [] { return PaInformPA(ClosedServer(), 4242, 7); },
         PaCONNECT_FAILED,
         {"Failed to connection to the specified PA Server."}},
        // FreeTDS has no challenge callback: the login fails before anything reaches the network.
        {"secure login",
         [&] { return PaConnect(secure.get()); },
         PaCONNECT_FAILED,
         {"Failed to set callback for secure login challenge."},
         secure.get(),
         PaNO_ERROR},
        {"debug switch",
         [&] { return PaInstallDevLibDebug(secure.get()); },
         PaFAILURE,
         {"Failed to start the sybase library debug support."}},
    };
    for (const Unreachable &test : cases) {
        SCOPED_TRACE(test.what);
        LogCapture log(PaMSG_ERROR);
        EXPECT_EQ(test.call(), test.result);
        for (const std::string &text : test.logged) {
            EXPECT_THAT(log.Texts(), Contains(text));
        }
        for (const std::string &text : log.Texts()) {
            EXPECT_THAT(text, testing::Not(HasSubstr("secret")));
        }
        if (test.handle != nullptr) {
            EXPECT_EQ(PaServerGetLastError(test.handle), test.last_error);
        }
    }
}

// Every local program knows the inform password: a report counts only from within the process
// it names. A process reporting itself is accepted; the same report from this test is refused.
TEST(Login, TheInformLoginReportsOnlyTheProcessItRunsIn)
{
    AgentProcess agent;
    Handle handle                    = OpenHandle(agent);
    const std::filesystem::path told = agent.Home() / "told";
    Process itself = MakeProcess("itself", std::string(INFORM_HELPER_PATH) + " " + told.string(), {.type = PaPA_AWARE});
    ASSERT_EQ(PaProcessStartWithTimeOut(handle.get(), itself.get(), 10), PaSUCCESS);
    EXPECT_EQ(std::to_string(StatusOf(handle.get(), itself.get()).pid), ReadText(told));

    Process waiting =
        MakeProcess("waiting", "echo $PA_PROCESS_ID $$ > " + told.string() + "; exec sleep 30", {.type = PaPA_AWARE});
    std::filesystem::remove(told);
    Handle starter = OpenHandle(agent);
    auto started =
        std::async(std::launch::async, [&] { return PaProcessStartWithTimeOut(starter.get(), waiting.get(), 10); });
    int32_t id = 0, pid = 0;
    ASSERT_TRUE(Eventually([&] { return static_cast<bool>(std::istringstream(ReadText(told)) >> id >> pid); }));
    LogCapture log(PaMSG_ERROR);
    EXPECT_EQ(PaInformPA(agent.Name().c_str(), pid, id), PaFAILURE);
    EXPECT_THAT(log.Texts(), Contains(HasSubstr("the inform login may only report the process it runs in")));
    EXPECT_EQ(PaProcessStop(handle.get(), waiting.get()), PaSUCCESS);
    EXPECT_NE(started.get(), PaSUCCESS);
}

TEST(Routing, EntriesAreAddedListedWholeOrForThisAgentAndRemoved)
{
    AgentProcess agent;
    Handle handle          = OpenHandle(agent);
    const std::string self = agent.Name();
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

// Stop argument 0 leaves the agent's processes running, any other stops them first; SIGTERM
// stops them unless the agent was told to keep them for the next agent to adopt.
TEST(StopAgent, LeavesProcessesRunningOnlyWhenAskedTo)
{
    const struct {
        const char *how;
        std::vector<std::string> options;
        int32_t argument;  // -1: SIGTERM
        bool keeps;
    } cases[] = {
        {"argument 0", {}, 0, true},
        {"argument 1", {}, 1, false},
        {"SIGTERM", {}, -1, false},
        {"SIGTERM, --keep-processes-on-exit", {"--keep-processes-on-exit"}, -1, true},
    };
    for (const auto &test : cases) {
        SCOPED_TRACE(test.how);
        AgentProcess agent(std::nullopt, test.options);
        Handle handle   = OpenHandle(agent);
        Process sleeper = MakeProcess("sleeper", kSleeper);
        ASSERT_EQ(PaProcessStart(handle.get(), sleeper.get()), PaSUCCESS);
        int32_t pid = StatusOf(handle.get(), sleeper.get()).pid;
        ASSERT_TRUE(Alive(pid));

        if (test.argument >= 0) {
            EXPECT_EQ(PaStopPA(handle.get(), test.argument), PaSUCCESS);
        } else {
            agent.Signal(SIGTERM);
        }
        EXPECT_EQ(agent.WaitForExit(kWaitLimit), 0);
        EXPECT_EQ(!Ends(pid, std::chrono::milliseconds(0)), test.keeps);
        kill(-pid, SIGKILL);
    }
}

}  // namespace
