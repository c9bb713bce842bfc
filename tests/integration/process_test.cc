// Process operations on real processes started by a real agent.
#include "support/client.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <sys/resource.h>
#include <unistd.h>

using testing::HasSubstr;
using testing::Not;

namespace {

bool Running(const ProcessStatus &status) { return status.state == 1 && Alive(status.pid); }

class Processes : public testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(PaConnectValidAndOpen(handle_.get()), PaSUCCESS); }
    PaConnection *Connected() const { return handle_.get(); }
    ProcessStatus Status(const Process &process) const { return StatusOf(Connected(), process.get()); }
    // Waits for the process to leave the running state it was started in.
    ProcessStatus Finished(const Process &process) const
    {
        return AwaitStatus(Connected(), process.get(), [](const ProcessStatus &status) { return status.state != 1; });
    }

    AgentProcess agent_;
    Handle handle_ = OpenHandle(agent_);
};

TEST_F(Processes, StartStatusSignalAndStop)
{
    Process sleeper = MakeProcess("sleeper", kSleeper);
    ASSERT_EQ(PaProcessStart(Connected(), sleeper.get()), PaSUCCESS);
    ProcessStatus first = Status(sleeper);
    EXPECT_TRUE(Running(first)) << first.state << " " << first.pid;
    EXPECT_EQ(PaProcessStart(Connected(), sleeper.get()), PaFAILURE);  // already running

    // Killed by a signal and not managed: failed.
    EXPECT_EQ(PaProcessSignal(Connected(), sleeper.get(), SIGTERM), PaSUCCESS);
    ProcessStatus signalled = Finished(sleeper);
    EXPECT_EQ(signalled.state, 3);
    EXPECT_EQ(signalled.pid, 0);
    EXPECT_FALSE(Alive(first.pid));

    ASSERT_EQ(PaProcessStart(Connected(), sleeper.get()), PaSUCCESS);
    ProcessStatus second = Status(sleeper);
    EXPECT_TRUE(Running(second));
    EXPECT_EQ(PaProcessStop(Connected(), sleeper.get()), PaSUCCESS);
    ProcessStatus stopped = Status(sleeper);
    EXPECT_EQ(stopped.state, 0);
    EXPECT_EQ(stopped.pid, 0);
    EXPECT_FALSE(Alive(second.pid));
    EXPECT_EQ(PaProcessSignal(Connected(), sleeper.get(), SIGTERM), PaFAILURE);  // not running
}

// The user ids of a process from the kernel's view of it: real, effective, saved, file system.
std::string UserIds(int32_t pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("Uid:", 0) == 0) {
            return line.substr(4);
        }
    }
    return "none";
}

TEST_F(Processes, RunsAsTheUserItNamesWhenTheAgentIsRoot)
{
    if (getuid() != 0) {
        GTEST_SKIP() << "only an agent running as root can take on another user";
    }
    constexpr int32_t kNobody = 65534;
    Process guest             = MakeProcess("guest", kSleeper);
    ASSERT_EQ(PaProcessSetAttribute(guest.get(), PaPROCESS_EUID, kNobody, 0), PaSUCCESS);
    ASSERT_EQ(PaProcessStart(Connected(), guest.get()), PaSUCCESS);
    ProcessStatus status = Status(guest);
    ASSERT_TRUE(Running(status));
    EXPECT_EQ(UserIds(status.pid), "\t65534\t65534\t65534\t65534");
    EXPECT_EQ(PaProcessStop(Connected(), guest.get()), PaSUCCESS);
}

TEST_F(Processes, StateRequestsAndChangedDefinitions)
{
    Process worker = MakeProcess("worker", kSleeper);
    ASSERT_EQ(PaProcessStart(Connected(), worker.get()), PaSUCCESS);
    ProcessStatus first = Status(worker);

    EXPECT_EQ(PaProcessForwardStateRequest(Connected(), worker.get(), 2), PaSUCCESS);  // restart
    ProcessStatus restarted = Status(worker);
    EXPECT_TRUE(Running(restarted));
    EXPECT_NE(restarted.pid, first.pid);
    EXPECT_EQ(PaProcessForwardStateRequest(Connected(), worker.get(), 0), PaSUCCESS);  // stop
    EXPECT_EQ(Status(worker).state, 0);
    EXPECT_FALSE(Alive(restarted.pid));
    EXPECT_EQ(PaProcessForwardStateRequest(Connected(), worker.get(), 1), PaSUCCESS);  // run
    ProcessStatus resumed = Status(worker);
    EXPECT_TRUE(Running(resumed));

    // A running process keeps running under its new definition.
    Process renamed = MakeProcess("renamed", "sleep 29", {.managed = 1, .retries = 4, .alert_message = "gone"});
    EXPECT_EQ(PaProcessChange(Connected(), "worker", renamed.get()), PaSUCCESS);
    EXPECT_EQ(Status(renamed).pid, resumed.pid);
    EXPECT_EQ(Status(worker).state, PaPROCESS_STATUS_FAILED);
    std::string all = FetchProcesses(Connected(), 1);
    EXPECT_THAT(all, HasSubstr("renamed @localhost [sleep 29] euid " + std::to_string(getuid()) +
                               " managed 1 retries 4 type 2 restart [-] alert [gone]"));
    EXPECT_THAT(all, Not(HasSubstr("worker")));
    EXPECT_THAT(FetchProcesses(Connected(), 0), HasSubstr("renamed"));

    EXPECT_EQ(PaProcessStop(Connected(), renamed.get()), PaSUCCESS);
    EXPECT_EQ(FetchProcesses(Connected(), 0), "");
    EXPECT_THAT(FetchProcesses(Connected(), 1), HasSubstr("renamed"));
}

TEST_F(Processes, StartWithATimeOutWaitsForFailureOrSurvival)
{
    Process failing = MakeProcess("failing", "sh -c 'exit 3'");
    EXPECT_EQ(PaProcessStartWithTimeOut(Connected(), failing.get(), 2), PaFAILURE);
    PaServerMessage refusal{};
    ASSERT_EQ(PaServerGetLastMessage(Connected(), &refusal), PaSUCCESS);
    EXPECT_THAT(refusal.text, HasSubstr("process failing exited with status 3 while starting"));
    EXPECT_EQ(Status(failing).state, 3);
    Process blank = MakeProcess("blank", " ");
    EXPECT_EQ(PaProcessStartWithTimeOut(Connected(), blank.get(), 2), PaFAILURE);
    ASSERT_EQ(PaServerGetLastMessage(Connected(), &refusal), PaSUCCESS);
    EXPECT_THAT(refusal.text, HasSubstr("process blank has no command to run"));

    Process steady = MakeProcess("steady", kSleeper);
    EXPECT_EQ(PaProcessStartWithTimeOut(Connected(), steady.get(), 1), PaSUCCESS);
    EXPECT_TRUE(Running(Status(steady)));
    EXPECT_EQ(PaProcessStop(Connected(), steady.get()), PaSUCCESS);
}

TEST_F(Processes, ArgumentsAndLongCommandsReachTheShellIntact)
{
    auto argument_file = agent_.Home() / "argument";
    Process writer     = MakeProcess("writer", "sh -c 'printf %s \"$0\" > " + argument_file.string() + "'");
    ASSERT_EQ(PaProcessStartWithArgs(Connected(), writer.get(), "from-the-client"), PaSUCCESS);
    EXPECT_EQ(Finished(writer).state, 2);  // exited by itself with status 0
    EXPECT_EQ(ReadText(argument_file), "from-the-client");
    // Without shell syntax the command and its arguments run without a shell: the PID is the program's.
    Process sleeper = MakeProcess("sleeper", "sleep");
    ASSERT_EQ(PaProcessStartWithArgs(Connected(), sleeper.get(), "30"), PaSUCCESS);
    const auto comm = "/proc/" + std::to_string(Status(sleeper).pid) + "/comm";
    EXPECT_TRUE(Eventually([&] { return ReadText(comm) == "sleep\n"; })) << ReadText(comm);
    EXPECT_EQ(PaProcessStop(Connected(), sleeper.get()), PaSUCCESS);

    // 300 bytes: sent as long text to the long-command RPC.
    ASSERT_EQ(PaServerChangeDebugLevel(Connected(), 2), PaSUCCESS);  // the agent logs every RPC
    auto marker_file   = agent_.Home() / "marker";
    std::string prefix = "printf %s ", suffix = " > " + marker_file.string();
    std::string marker;
    for (size_t k = 0; marker.size() < 300 - prefix.size() - suffix.size(); ++k) {
        marker += static_cast<char>('a' + k % 26);
    }
    std::string command = prefix + marker + suffix;
    ASSERT_EQ(command.size(), 300u);
    Process long_command = MakeProcess("long", command);
    ASSERT_EQ(PaProcessStart(Connected(), long_command.get()), PaSUCCESS);
    EXPECT_EQ(Finished(long_command).state, 2);
    EXPECT_EQ(ReadText(marker_file), marker);
    EXPECT_THAT(agent_.Errors(), HasSubstr("RPC pa_ServiceStartLcRPC from user operator"));
    EXPECT_THAT(FetchProcesses(Connected(), 1), HasSubstr("[" + command + "]"));
}

// The agent's descriptors, from /proc.
int OpenDescriptors(pid_t pid)
{
    const auto fds = std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd");
    return static_cast<int>(std::distance(begin(fds), end(fds)));
}

// At its limit of open files the agent refuses a start, saying why, whichever of a launch's
// descriptors it could not have (its log, its log writer's, the process's), and starts again
// once there is room: nothing waits for ever on a launch cut short.
TEST_F(Processes, AStartAtTheLimitOfOpenFilesIsRefusedAndTheAgentGoesOn)
{
    rlimit unlimited{};
    ASSERT_EQ(prlimit(agent_.Pid(), RLIMIT_NOFILE, nullptr, &unlimited), 0);
    int refused = 0;
    for (int room = 0; room < 12; ++room) {
        SCOPED_TRACE("room for " + std::to_string(room) + " descriptors");
        Process sleeper    = MakeProcess("limited", kSleeper);
        const rlimit tight = {static_cast<rlim_t>(OpenDescriptors(agent_.Pid()) + room), unlimited.rlim_max};
        ASSERT_EQ(prlimit(agent_.Pid(), RLIMIT_NOFILE, &tight, nullptr), 0);
        const int32_t started = PaProcessStart(Connected(), sleeper.get());
        ASSERT_EQ(prlimit(agent_.Pid(), RLIMIT_NOFILE, &unlimited, nullptr), 0);
        if (started == PaSUCCESS) {
            EXPECT_EQ(PaProcessStop(Connected(), sleeper.get()), PaSUCCESS);
            continue;
        }
        ++refused;
        PaServerMessage refusal{};
        ASSERT_EQ(PaServerGetLastMessage(Connected(), &refusal), PaSUCCESS);
        EXPECT_THAT(refusal.text, HasSubstr("Too many open files"));
        ASSERT_EQ(PaProcessStart(Connected(), sleeper.get()), PaSUCCESS);
        EXPECT_TRUE(Running(Status(sleeper)));
        EXPECT_EQ(PaProcessStop(Connected(), sleeper.get()), PaSUCCESS);
    }
    EXPECT_GT(refused, 3);
}

}  // namespace
