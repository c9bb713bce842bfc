// The resource figures of processes, read by a real agent from /proc: what a process of known
// size, a busy one and a group of several use, and how their lives went.
#include "support/agent_process.h"
#include "support/client.h"
#include "support/cpp_process.h"

#include <agentclient/agentclient.hpp>
#include <protocol/states.h>

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <unistd.h>
#include <utility>

namespace ac = agentclient;

namespace {

constexpr std::int64_t kMiB    = 1 << 20;
constexpr std::int32_t kFailed = static_cast<std::int32_t>(pa::protocol::ProcessState::kFailed);

// The PIDs of a process's group as the test finds them: the leader and its children.
std::vector<pid_t> GroupOf(pid_t leader)
{
    std::vector<pid_t> members{leader};
    std::ifstream children("/proc/" + std::to_string(leader) + "/task/" + std::to_string(leader) + "/children");
    for (pid_t child = 0; children >> child;) {
        members.push_back(child);
    }
    return members;
}

std::int32_t OpenDescriptors(pid_t pid)
{
    const auto fds = std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd");
    return static_cast<std::int32_t>(std::distance(begin(fds), end(fds)));
}

std::int64_t ResidentBytes(pid_t pid)
{
    std::ifstream statm("/proc/" + std::to_string(pid) + "/statm");
    std::int64_t size = 0, resident = 0;
    statm >> size >> resident;
    return resident * sysconf(_SC_PAGESIZE);
}

class Stats : public ::testing::Test {
protected:
    ac::Process Defined(const std::string &name, const std::string &command)
    {
        ac::Process process = Sleeper(name);
        process.command     = command;
        return process;
    }
    ac::ProcessStats Of(const ac::Process &process) { return client_.Stats(process.name, process.host).at(0); }
    // The figures once accept takes them, or the last read when kWaitLimit passed first.
    ac::ProcessStats Await(const ac::Process &process, const std::function<bool(const ac::ProcessStats &)> &accept)
    {
        ac::ProcessStats stats;
        Eventually([&] { return accept(stats = Of(process)); });
        return stats;
    }

    AgentProcess agent_;
    ac::Connection client_{agent_.Name(), AgentProcess::kUser, AgentProcess::kPassword};
};

TEST_F(Stats, ProcessOfKnownSizeReadsItsSize)
{
    // Touches every page of 64 MiB, so that all of it is resident.
    const ac::Process big =
        Defined("big", "exec /usr/bin/python3 -c 'import time; b = bytearray(b\"x\") * (64 << 20); time.sleep(60)'");
    client_.Start(big);
    const ac::ProcessStats stats = Await(big, [](const auto &s) { return s.memory_bytes >= 64 * kMiB; });
    EXPECT_GE(stats.memory_bytes, 64 * kMiB);
    EXPECT_LE(stats.memory_bytes, 80 * kMiB);
    EXPECT_EQ(stats.threads, 1);
    EXPECT_EQ(stats.descriptors, OpenDescriptors(stats.pid));
}

TEST_F(Stats, BusyProcessGathersCpuTime)
{
    const ac::Process busy = Defined("busy", "while :; do :; done");
    const auto before      = std::chrono::system_clock::now();
    client_.Start(busy);
    const auto cpu               = [](const ac::ProcessStats &s) { return s.cpu_user_seconds + s.cpu_system_seconds; };
    const ac::ProcessStats first = Await(busy, [&](const auto &s) { return cpu(s) >= 0.2; });
    const ac::ProcessStats later = Await(busy, [&](const auto &s) { return cpu(s) >= cpu(first) + 0.2; });
    EXPECT_GE(cpu(later), cpu(first) + 0.2);
    EXPECT_GT(later.uptime_seconds, first.uptime_seconds);
    // A busy process uses at most the time it ran, and about all of it on an idle core.
    EXPECT_LE(cpu(later), later.uptime_seconds + 0.05);
    EXPECT_GE(later.started_at, std::chrono::system_clock::to_time_t(before) - 1);
    EXPECT_LE(later.started_at, std::chrono::system_clock::to_time_t(std::chrono::system_clock::now()));
}

// What a group of processes uses is the sum of what its members use.
TEST_F(Stats, GroupSumsItsMembers)
{
    struct Case {
        const char *name;
        const char *command;
        std::size_t processes;
    };
    const Case cases[] = {{"alone", "exec sleep 30", 1}, {"family", "sleep 30 & sleep 30 & exec sleep 30", 3}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const ac::Process process = Defined(c.name, c.command);
        client_.Start(process);
        const pid_t leader = client_.Status(process).pid;
        // What the members use as the test reads it, the same before and after the agent's
        // read: a process that has just started still changes its memory.
        const auto measured = [&] {
            std::pair<std::int32_t, std::int64_t> sums;
            for (pid_t member : GroupOf(leader)) {
                sums.first += OpenDescriptors(member);
                sums.second += ResidentBytes(member);
            }
            return sums;
        };
        std::pair<std::int32_t, std::int64_t> before, after;
        ac::ProcessStats stats;
        ASSERT_TRUE(Eventually([&] {
            before = measured();
            stats  = Of(process);
            after  = measured();
            return before == after && stats.threads == static_cast<std::int32_t>(c.processes);
        }));
        const auto [descriptors, resident] = after;
        EXPECT_EQ(stats.threads, static_cast<std::int32_t>(c.processes));
        EXPECT_EQ(stats.descriptors, descriptors);
        // Read as the test reads it, from statm: stat's approximate count would miss by hundreds
        // of kilobytes.
        EXPECT_NEAR(static_cast<double>(stats.memory_bytes), static_cast<double>(resident), 64.0 * 1024);
    }
}

TEST_F(Stats, RestartsCountUntilTheNextStart)
{
    // Fails until the file exists, then runs.
    const std::filesystem::path cured = agent_.Home() / "cured";
    ac::Process flaky                 = Defined("flaky", "test -e " + cured.string() + " && exec sleep 30; exit 3");
    flaky.managed                     = true;
    flaky.retry_count                 = 2;
    client_.Start(flaky);
    const ac::ProcessStats failed = Await(flaky, [](const auto &s) { return s.state == kFailed; });
    EXPECT_EQ(failed.state, kFailed);
    EXPECT_EQ(failed.restarts, 2);
    EXPECT_EQ(failed.last_exit_status, 3);
    EXPECT_EQ(failed.last_exit_signal, std::nullopt);
    EXPECT_EQ(failed.pid, 0);
    EXPECT_EQ(failed.started_at, 0);
    EXPECT_EQ(failed.uptime_seconds, 0);
    std::ofstream(cured).put('\n');
    client_.Start(flaky);
    EXPECT_EQ(Of(flaky).restarts, 0);
}

TEST_F(Stats, LastExitByASignal)
{
    const ac::Process victim = Sleeper("victim");
    client_.Start(victim);
    ASSERT_EQ(kill(client_.Status(victim).pid, SIGKILL), 0);
    const ac::ProcessStats ended = Await(victim, [](const auto &s) { return s.pid == 0; });
    EXPECT_EQ(ended.last_exit_signal, SIGKILL);
    EXPECT_EQ(ended.last_exit_status, std::nullopt);
    EXPECT_EQ(ended.memory_bytes, 0);
}

}  // namespace
