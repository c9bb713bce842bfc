// An agent killed with SIGKILL and started again takes on the processes it had started.
#include "support/client.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <charconv>
#include <csignal>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

// The entry is in the agent's environment, and so in its children's from the fork on.
constexpr const char *kMark = "PA_ADOPTION_MARK";

// How many processes besides the agent carry the entry in their environment: one counted
// twice runs twice. A process shows no environment for an instant while it runs exec, so a
// count is taken again until it comes out as expected; a process running twice runs on.
int CountMarked(const std::string &entry, pid_t agent)
{
    int count = 0;
    for (const auto &item : fs::directory_iterator("/proc")) {
        const std::string name = item.path().filename();
        int pid                = 0;
        if (std::from_chars(name.data(), name.data() + name.size(), pid).ec != std::errc() || pid == agent) {
            continue;
        }
        const std::string environment = ReadText(item.path() / "environ");
        count += environment.find(entry + '\0') != std::string::npos ? 1 : 0;
    }
    return count;
}

// Kills the process and waits, boundedly, until it has ended. Not PID 0, which a status gives
// for a process that does not run: kill would take it for the test's own process group.
bool KillAndAwait(pid_t pid) { return pid > 0 && kill(pid, SIGKILL) == 0 && Ends(pid, kWaitLimit); }

TEST(Adoption, RestartedAgentTakesOnItsProcessesAndStartsOnlyWhatIsMissing)
{
    const std::string value = std::to_string(getpid());
    setenv(kMark, value.c_str(), 1);
    const std::unique_ptr<const char, void (*)(const char *)> unmark(kMark, [](const char *name) { unsetenv(name); });
    AgentProcess agent;
    Handle handle           = OpenHandle(agent);
    PaConnection *h         = handle.get();
    const std::string mark  = kMark + ("=" + value);
    const std::string sleep = "exec sleep 60";
    auto marked = [&](int expected) { return Eventually([&] { return CountMarked(mark, agent.pid()) == expected; }); };
    const std::vector<std::string> names{"alpha", "beta", "gamma"};
    std::vector<Member> members;
    std::vector<Process> probes;
    for (const auto &name : names) {
        members.push_back({MakeProcess(name, sleep), PaVALUE_NONE, 0, {}});
        probes.push_back(MakeProcess(name, sleep));
    }
    Service trio = MakeService("trio", PaSERVICE_NON_MASTER, PaSERVICE_AUTO, std::move(members));
    probes.push_back(MakeProcess("keeper", sleep, {.managed = 1, .retries = 3}));
    ASSERT_EQ(PaServiceAdd(h, trio.get()), PaSUCCESS);
    ASSERT_EQ(PaServiceStart(h, trio.get()), PaSUCCESS);
    ASSERT_EQ(PaProcessStart(h, probes[3].get()), PaSUCCESS);
    auto pids = [&] {
        std::vector<int32_t> found;
        for (const auto &probe : probes) {
            found.push_back(StatusOf(h, probe.get()).pid);
        }
        return found;
    };
    const std::vector<int32_t> before = pids();
    ASSERT_TRUE(marked(4));

    // beta ends while no agent runs: the next one finds its record naming no process.
    agent.KillAndRestart([&] { ASSERT_TRUE(KillAndAwait(before[1])); });
    ProcessStatus beta = AwaitStatus(h, probes[1].get(), [](const ProcessStatus &s) { return s.state == 1; });
    const std::vector<int32_t> after = pids();
    EXPECT_EQ(after[0], before[0]);
    EXPECT_NE(beta.pid, before[1]);
    EXPECT_EQ(after[2], before[2]);
    EXPECT_EQ(after[3], before[3]);
    EXPECT_EQ(PaServiceStatus(h, trio.get()), 1);
    EXPECT_TRUE(marked(4));
    EXPECT_THAT(agent.errors(), testing::HasSubstr("adopted 3 of 4 recorded processes"));

    // The managed process is restarted when it dies under the agent that adopted it.
    ASSERT_TRUE(KillAndAwait(after[3]));
    ProcessStatus keeper = AwaitStatus(
        h, probes[3].get(), [&](const ProcessStatus &s) { return s.state == 1 && s.pid != 0 && s.pid != after[3]; });
    EXPECT_EQ(keeper.state, 1);
    EXPECT_TRUE(marked(4));

    // A stop reaches adopted processes as it reaches the agent's own.
    EXPECT_EQ(PaServiceStop(h, trio.get()), PaSUCCESS);
    EXPECT_EQ(PaProcessStop(h, probes[3].get()), PaSUCCESS);
    EXPECT_TRUE(marked(0));
}

}  // namespace
