// Stopping processes: one call ends several that ignore SIGTERM, and a stop ends every process
// of a process's group, whatever its leader did.
#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <future>
#include <unistd.h>

#include "agent_fixture.h"

namespace {

using namespace paagent;
using namespace paagent::testing;

constexpr int kMembers = 4;

// Ignores SIGTERM in this process while it lives. Processes started meanwhile inherit that, so
// they ignore SIGTERM from their first instruction on, before their own trap has run.
class IgnoringSigterm {
public:
    IgnoringSigterm()
    {
        struct sigaction ignore {};
        ignore.sa_handler = SIG_IGN;
        sigaction(SIGTERM, &ignore, &previous_);
    }
    ~IgnoringSigterm() { sigaction(SIGTERM, &previous_, nullptr); }
    IgnoringSigterm(const IgnoringSigterm &)            = delete;
    IgnoringSigterm &operator=(const IgnoringSigterm &) = delete;

private:
    struct sigaction previous_ {};
};

bool Gone(pid_t pid) { return kill(pid, 0) == -1 && errno == ESRCH; }

// Kills, when the test ends, whatever a failed stop left behind.
class Leftovers {
public:
    explicit Leftovers(std::vector<pid_t> pids) : pids_(std::move(pids)) {}
    ~Leftovers()
    {
        for (pid_t pid : pids_) {
            if (!Gone(pid))
                kill(-pid, SIGKILL);
        }
    }
    Leftovers(const Leftovers &)            = delete;
    Leftovers &operator=(const Leftovers &) = delete;

private:
    std::vector<pid_t> pids_;
};

ServiceSpec StubbornService()
{
    ServiceSpec service;
    service.name = "stubborn";
    for (int i = 1; i <= kMembers; ++i) {
        ProcessSpec process;
        process.name    = "member" + std::to_string(i);
        process.host    = "node1";
        process.command = "trap '' TERM; exec sleep 1000";
        process.euid    = static_cast<std::int32_t>(getuid());
        service.members.push_back({process, MemberValue{}});
    }
    return service;
}

struct StopCase {
    const char *what;
    std::function<void(Agent &)> stop;
};

TEST(AgentStop, KillsEveryProcessThatIgnoresSigtermWithinOneCall)
{
    const std::vector<StopCase> cases = {
        {"service stop", [](Agent &agent) { agent.stop_service("stubborn"); }},
        {"stop of every process", [](Agent &agent) { agent.stop_all_processes(); }},
        {"shut-down with every process", [](Agent &agent) { agent.shut_down(true); }},
    };
    for (const auto &test : cases) {
        SCOPED_TRACE(test.what);
        TempDir home;
        Agent agent(OptionsLoggingTo(home.path()));
        {
            IgnoringSigterm ignoring;
            agent.start_service(StubbornService());
        }
        std::vector<pid_t> pids;
        for (const auto &process : agent.processes(true))
            pids.push_back(process.pid);
        Leftovers leftovers(pids);
        ASSERT_EQ(pids.size(), static_cast<std::size_t>(kMembers));

        EXPECT_NO_THROW(test.stop(agent));
        for (pid_t pid : pids)
            EXPECT_TRUE(Gone(pid)) << "process " << pid << " survived the stop";
        EXPECT_EQ(agent.service_status("stubborn").state, ServiceState::Stopped);
    }
}

struct GroupCase {
    const char *what;
    const char *command;  // writes its group's id to the FIFO named by $FIFO
    bool leader_exits;    // the start waits until the leader has exited
};

TEST(AgentStop, EndsEveryProcessOfTheGroupBeforeItSucceeds)
{
    const std::vector<GroupCase> cases = {
        {"a child ignoring SIGTERM outlives its leader",
         "(trap '' TERM; exec sleep 1000) & echo $$ > \"$FIFO\"; exec sleep 1000", false},
        {"the leader has exited and left a child running", "sleep 1000 & echo $$ > \"$FIFO\"; exit 0", true},
    };
    for (const auto &test : cases) {
        SCOPED_TRACE(test.what);
        TempDir home;
        Agent agent(OptionsLoggingTo(home.path()));
        Fifo fifo(home.path() / "fifo");
        ProcessSpec process = MakeProcess("leader", "FIFO=" + fifo.path().string() + "; " + test.command);
        auto started =
            std::async(std::launch::async, [&] { agent.start_process(process, test.leader_exits ? 10 : 0); });
        const auto numbers = fifo.read_numbers();
        ASSERT_NO_THROW(started.get());
        ASSERT_EQ(numbers.size(), 1u);
        const auto group = static_cast<pid_t>(numbers[0]);
        GroupKiller killer;
        killer.add(group);
        ASSERT_TRUE(GroupRuns(group));

        EXPECT_NO_THROW(agent.stop_process("leader", "node1"));
        EXPECT_FALSE(GroupRuns(group)) << "a process of group " << group << " survived the stop";
        ProcessView view = agent.process_status("leader", "node1");
        EXPECT_EQ(view.state, ProcessState::Stopped);
        EXPECT_EQ(view.pid, 0);
    }
}

}  // namespace
