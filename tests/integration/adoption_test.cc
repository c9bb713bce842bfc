// An agent killed with SIGKILL and started again takes on the processes it had started.
#include "support/client.h"

#include "core/state_file.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <charconv>
#include <csignal>
#include <list>
#include <regex>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char **environ;

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
    auto marked = [&](int expected) { return Eventually([&] { return CountMarked(mark, agent.Pid()) == expected; }); };
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
    EXPECT_THAT(agent.Errors(), testing::HasSubstr("adopted 3 of 4 recorded processes"));

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

// An agent killed in the middle of starting a service leaves no process it launched unrecorded:
// the next agent takes each one on, and starting the service again runs no member twice.
TEST(Adoption, AnAgentKilledWhileStartingAServiceLeavesNoProcessUnrecordedOrTwice)
{
    const std::string value = std::to_string(getpid()) + "-batch";
    setenv(kMark, value.c_str(), 1);
    const std::unique_ptr<const char, void (*)(const char *)> unmark(kMark, [](const char *name) { unsetenv(name); });
    const std::string mark = kMark + ("=" + value);
    constexpr int kMembers = 120;
    AgentProcess agent;
    Handle handle = OpenHandle(agent), starting = OpenHandle(agent);
    std::vector<Member> members;
    for (int i = 0; i < kMembers; ++i) {
        members.push_back({MakeProcess("m" + std::to_string(i), "exec sleep 600"), PaVALUE_NONE, 0, {}});
    }
    Service batch = MakeService("batch", PaSERVICE_NON_MASTER, PaSERVICE_NON_AUTO, std::move(members));
    ASSERT_EQ(PaServiceAdd(handle.get(), batch.get()), PaSUCCESS);
    ASSERT_EQ(PaConnectValidAndOpen(starting.get()), PaSUCCESS);
    std::thread start([&] { PaServiceStart(starting.get(), batch.get()); });
    ASSERT_TRUE(Eventually([&] { return CountMarked(mark, agent.Pid()) >= 10; }));
    agent.KillAndRestart();
    start.join();

    Handle again = OpenHandle(agent);
    ASSERT_EQ(PaServiceStart(again.get(), batch.get()), PaSUCCESS);
    // A member running twice runs on: once the count is right it stays so.
    EXPECT_TRUE(Eventually([&] { return CountMarked(mark, agent.Pid()) == kMembers; }));
    EXPECT_EQ(PaServiceStatus(again.get(), batch.get()), 1);
    EXPECT_EQ(PaServiceStop(again.get(), batch.get()), PaSUCCESS);
    EXPECT_TRUE(Eventually([&] { return CountMarked(mark, agent.Pid()) == 0; }));
}

// A process the test starts itself, not the agent, from a shell command; killed and reaped when
// the test ends.
struct Foreign {
    explicit Foreign(const std::string &command)
    {
        const char *argv[] = {"sh", "-c", command.c_str(), nullptr};
        if (posix_spawn(&pid, "/bin/sh", nullptr, nullptr, const_cast<char *const *>(argv), environ) != 0) {
            pid = 0;
        }
    }
    ~Foreign()
    {
        if (pid > 0 && kill(pid, SIGKILL) == 0) {
            waitpid(pid, nullptr, 0);
        }
    }
    pid_t pid = 0;
};

// A state file is a record, not an authority: records written into it hand the agent no process
// it could not have started and start nothing its configuration does not define, a bad line
// loses its own record only, and a file that cannot be written lets no process run.
TEST(Adoption, AStateFileHandsTheAgentOnlyWhatItStartedAndConfigured)
{
    AgentProcess agent;
    Handle handle          = OpenHandle(agent);
    PaConnection *h        = handle.get();
    const Process survivor = MakeProcess("survivor", kSleeper);
    ASSERT_EQ(PaProcessStart(h, survivor.get()), PaSUCCESS);
    const int32_t survivor_pid = StatusOf(h, survivor.get()).pid;

    const std::string key = "0123456789abcdef0123456789abcdef", keyed = "exec env PA_LAUNCH_KEY=" + key;
    const auto self = static_cast<int32_t>(getuid());
    struct Row {
        const char *what;
        std::string command;  // of the process recorded, else pid
        pid_t pid;
        int32_t euid;
        std::string key;  // recorded
        const char *logged;
    };
    std::vector<Row> cases = {
        {"PID 1", "", 1, self, key, "it is PID 1, the agent or one of the agent's ancestors"},
        {"the agent's parent", "", getpid(), self, key, "it is PID 1, the agent or one of the agent's ancestors"},
        {"a session the agent did not start", "exec setsid sleep 30", 0, self, key, "lacks the launch key"},
        {"the key outside a session of its own", keyed + " sleep 30", 0, self, key, "lead a session"},
        {"a record without a key", "exec env PA_LAUNCH_KEY= setsid sleep 30", 0, self, "", "no launch key"},
        {"an unconfigured process waiting for its restart", "", 0, self, key, "configuration does not define it"},
        {"another user", keyed + " setsid sleep 30", 0, 65534, key, "does not run as user 65534"},
    };
    // Only an agent running as root runs processes as other users.
    if (geteuid() != 0) {
        cases.pop_back();
    }
    std::list<Foreign> foreign;
    std::vector<paagent::RunningRecord> records;
    for (const auto &test : cases) {
        pid_t pid = test.pid;
        if (!test.command.empty()) {
            pid = foreign.emplace_back(test.command).pid;
            ASSERT_TRUE(Eventually([&] { return ReadText("/proc/" + std::to_string(pid) + "/comm") == "sleep\n"; }));
        }
        paagent::Process process;
        process.name    = "hostile" + std::to_string(&test - cases.data());
        process.command = kSleeper;
        process.euid    = test.euid;
        records.push_back(
            {process, pid, paagent::IdentityOf(pid).value_or(paagent::ProcessIdentity{}), test.key, {}, {}});
    }
    const fs::path state = agent.Home() / "paagentd.state";
    std::string written = paagent::FormatState(records), agents = ReadText(state);
    written.insert(written.find('\n') + 1, "not a record\n");
    written += agents.substr(agents.find('\n') + 1);
    agent.KillAndRestart([&] { std::ofstream(state) << written; });
    const std::string log = agent.Errors(), defined = FetchProcesses(h, 0);
    for (const auto &test : cases) {
        SCOPED_TRACE(test.what);
        const std::string name = "hostile" + std::to_string(&test - cases.data());
        EXPECT_THAT(log, testing::ContainsRegex("process " + name + "[^\n]*" + test.logged));
        EXPECT_THAT(defined, testing::Not(testing::HasSubstr(name)));
    }

    // The bad line lost its own record only, and the file stays beside the one rewritten.
    EXPECT_THAT(log, testing::HasSubstr("paagentd.state:2: 'not a record' is not a number"));
    EXPECT_EQ(StatusOf(h, survivor.get()).pid, survivor_pid);
    std::smatch aside;
    ASSERT_TRUE(std::regex_search(log, aside, std::regex(" as (\\S+/paagentd\\.state\\.bad-[0-9]{8}T[0-9]{6}Z)\n")));
    EXPECT_EQ(ReadText(aside.str(1)), written);
    EXPECT_EQ(fs::status(aside.str(1)).permissions(), fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(PaProcessStop(h, survivor.get()), PaSUCCESS);
    EXPECT_TRUE(Ends(survivor_pid));

    // A process that cannot be recorded does not start, and its command never runs.
    agent.KillAndRestart([&] {
        fs::remove(state);
        fs::create_directory(state);
    });
    const fs::path ran    = agent.Home() / "ran";
    const Process blocked = MakeProcess("blocked", "touch " + ran.string() + "; exec sleep 30");
    const Handle again    = OpenHandle(agent);
    EXPECT_EQ(PaProcessStart(again.get(), blocked.get()), PaFAILURE);
    PaServerMessage refusal{};
    ASSERT_EQ(PaServerGetLastMessage(again.get(), &refusal), PaSUCCESS);
    EXPECT_THAT(refusal.text, testing::HasSubstr("cannot record process blocked in the state file: "));
    EXPECT_FALSE(fs::exists(ran));
}

}  // namespace
