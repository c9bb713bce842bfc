// Stopping several processes that ignore SIGTERM: one call ends them all.
#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <unistd.h>

#include "core/agent.h"

namespace {

using namespace paagent;
using namespace std::chrono_literals;

constexpr int kMembers = 4;

// A directory of its own for the processes' logs, removed with everything in it.
class TempDir {
public:
    TempDir()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "paagent_stop_XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr)
            throw std::runtime_error("cannot create a temporary directory");
        path_ = pattern;
    }
    ~TempDir() { std::filesystem::remove_all(path_); }
    TempDir(const TempDir &)            = delete;
    TempDir &operator=(const TempDir &) = delete;

    const std::filesystem::path &path() const { return path_; }

private:
    std::filesystem::path path_;
};

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
    };
    for (const auto &test : cases) {
        SCOPED_TRACE(test.what);
        TempDir logs;
        AgentOptions options;
        options.log_dir = logs.path();
        options.grace   = 200ms;
        Agent agent(std::move(options));
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

}  // namespace
