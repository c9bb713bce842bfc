// The agent's events through the C++ API and FreeTDS: what a crash and its restarts give, a
// cursor kept across connections and agent runs, and the hooks run for each event.
#include "support/agent_process.h"
#include "support/cpp_process.h"
#include "support/text_file.h"

#include <agentclient/agentclient.hpp>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <iterator>
#include <optional>
#include <regex>
#include <tuple>

namespace ac = agentclient;
using namespace std::chrono_literals;
using testing::HasSubstr;

namespace {

constexpr auto kLimit = 20s;

ac::Connection Connect(const AgentProcess &agent)
{
    return ac::Connection(agent.Name(), AgentProcess::kUser, AgentProcess::kPassword);
}

// The events after cursor up to the first of kind last, which cursor is moved past.
std::vector<ac::Event> Until(ac::Connection &connection, std::int64_t &cursor, ac::EventKind last)
{
    std::vector<ac::Event> seen;
    const auto deadline = std::chrono::steady_clock::now() + kLimit;
    while (std::chrono::steady_clock::now() < deadline) {
        for (const ac::Event &event : connection.WaitEvents(cursor, 1s).events) {
            seen.push_back(event);
            cursor = event.cursor;
            if (event.kind == last) {
                return seen;
            }
        }
    }
    ADD_FAILURE() << "no event of kind " << static_cast<int>(last);
    return seen;
}

// What a test compares of an event: kind, exit status, signal, message, user. The restart
// delay, which depends on how long the process ran, is D.
using Seen =
    std::tuple<ac::EventKind, std::int32_t, std::int32_t, std::optional<std::string>, std::optional<std::string>>;

std::vector<Seen> Summary(const std::vector<ac::Event> &events)
{
    std::vector<Seen> summary;
    for (const ac::Event &event : events) {
        std::optional<std::string> message = event.message;
        if (message) {
            message = std::regex_replace(*message, std::regex(" in [0-9.]+ s"), " in D s");
        }
        summary.emplace_back(event.kind, event.status, event.signal, message, event.user);
    }
    return summary;
}

bool Eventually(const std::function<bool()> &condition)
{
    const auto deadline = std::chrono::steady_clock::now() + kLimit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::yield();
    }
    return true;
}

TEST(Events, KilledManagedProcessRestartsUntilItsRetriesAreSpent)
{
    AgentProcess agent;
    ac::Connection connection = Connect(agent);
    // Its first two runs last, the third exits at once.
    const std::string runs = (agent.Home() / "runs").string();
    ac::Process crash      = Sleeper("crash");
    crash.command          = "n=$(cat " + runs + " 2>/dev/null || echo 0); echo $((n+1)) > " + runs +
                    "; [ $n -lt 2 ] || exit 7; exec sleep 30";
    crash.managed         = true;
    crash.retry_count     = 2;
    crash.restart_message = "again";
    crash.alert_message   = "crash gave up";
    std::int64_t cursor   = connection.WaitEvents(-1, 0s).cursor;
    connection.Start(crash);

    const std::optional<std::string> user = AgentProcess::kUser;
    const std::vector<ac::Event> started  = Until(connection, cursor, ac::EventKind::kStarted);
    EXPECT_EQ(Summary(started), (std::vector<Seen>{{ac::EventKind::kDefined, -1, 0, std::nullopt, user},
                                                   {ac::EventKind::kStarting, -1, 0, std::nullopt, user},
                                                   {ac::EventKind::kStarted, -1, 0, std::nullopt, user}}));
    ASSERT_GT(started.back().pid, 0);
    // Killed once it has counted its run.
    ASSERT_TRUE(Eventually([&] { return ReadText(runs) == "1\n"; }));
    ASSERT_EQ(kill(started.back().pid, SIGKILL), 0);

    const std::vector<ac::Event> restarted = Until(connection, cursor, ac::EventKind::kStarted);
    EXPECT_EQ(Summary(restarted),
              (std::vector<Seen>{{ac::EventKind::kExited, -1, SIGKILL, std::nullopt, std::nullopt},
                                 {ac::EventKind::kRestarting, -1, 0, "attempt 1 of 2 in D s: again", std::nullopt},
                                 {ac::EventKind::kStarting, -1, 0, std::nullopt, std::nullopt},
                                 {ac::EventKind::kStarted, -1, 0, std::nullopt, std::nullopt}}));
    EXPECT_EQ(restarted.front().pid, started.back().pid);
    EXPECT_NE(restarted.back().pid, started.back().pid);
    EXPECT_EQ(connection.Status(crash).pid, restarted.back().pid);
    ASSERT_TRUE(Eventually([&] { return ReadText(runs) == "2\n"; }));
    ASSERT_EQ(kill(restarted.back().pid, SIGKILL), 0);

    EXPECT_EQ(Summary(Until(connection, cursor, ac::EventKind::kFailed)),
              (std::vector<Seen>{{ac::EventKind::kExited, -1, SIGKILL, std::nullopt, std::nullopt},
                                 {ac::EventKind::kRestarting, -1, 0, "attempt 2 of 2 in D s: again", std::nullopt},
                                 {ac::EventKind::kStarting, -1, 0, std::nullopt, std::nullopt},
                                 {ac::EventKind::kStarted, -1, 0, std::nullopt, std::nullopt},
                                 {ac::EventKind::kExited, 7, 0, std::nullopt, std::nullopt},
                                 {ac::EventKind::kFailed, -1, 0, "crash gave up", std::nullopt}}));
}

TEST(Events, CursorKeptAcrossConnectionsMissesNothingAndAnAgentRestartSaysSo)
{
    AgentProcess agent;
    const ac::Route first{"node1", "PA_ONE"}, second{"node2", "PA_TWO"}, third{"node3", "PA_THREE"};
    std::int64_t cursor = 0;
    {
        ac::Connection connection = Connect(agent);
        cursor                    = connection.WaitEvents(-1, 0s).cursor;
        connection.Add(first);
        const ac::EventBatch batch = connection.WaitEvents(cursor, 5s);
        ASSERT_EQ(batch.events.size(), 1U);
        EXPECT_EQ(batch.events[0].kind, ac::EventKind::kRouteAdded);
        EXPECT_EQ(batch.events[0].host, "node1");
        EXPECT_EQ(batch.events[0].message, "PA_ONE");
        cursor = batch.cursor;
        connection.Add(second);
        connection.Remove(first);
    }
    ac::Connection again       = Connect(agent);
    const ac::EventBatch later = again.WaitEvents(cursor, 5s);
    ASSERT_EQ(later.events.size(), 2U);
    EXPECT_EQ(later.events[0].kind, ac::EventKind::kRouteAdded);
    EXPECT_EQ(later.events[0].host, "node2");
    EXPECT_EQ(later.events[1].kind, ac::EventKind::kRouteRemoved);
    EXPECT_EQ(later.events[1].host, "node1");
    EXPECT_EQ(later.events[1].cursor, later.events[0].cursor + 1);
    EXPECT_EQ(later.cursor, later.events[1].cursor);
    again.Add(third);
    const ac::EventBatch newest = again.WaitEvents(later.cursor, 5s);
    ASSERT_EQ(newest.events.size(), 1U);
    EXPECT_EQ(newest.events[0].host, "node3");

    agent.KillAndRestart();
    ac::Connection restarted   = Connect(agent);
    const ac::EventBatch after = restarted.WaitEvents(newest.cursor, 0s);
    ASSERT_FALSE(after.events.empty());
    EXPECT_EQ(after.events[0].kind, ac::EventKind::kLost);
    EXPECT_EQ(after.events[0].lost, -1);
    EXPECT_GT(after.cursor, newest.cursor);
    // Nothing twice: the next call starts where this one ended.
    EXPECT_TRUE(restarted.WaitEvents(after.cursor, 0s).events.empty());
}

TEST(Events, HookSeesTheEventAndOneThatNeverEndsIsKilledWithoutHoldingUpRequests)
{
    const std::filesystem::path dir = FamilyHome() / "hooks";
    std::filesystem::create_directories(dir);
    const std::filesystem::path hook = dir / "hook";
    std::ofstream(hook) << "#!/bin/sh\n"
                        << "env | grep '^PA_EVENT_' | sort > " << (dir / "$PA_EVENT_CURSOR").string() << "\n"
                        << "[ \"$PA_EVENT_KIND\" = route-removed ] && exec sleep 1000\n"
                        << "echo hook saw $PA_EVENT_KIND\n";
    std::filesystem::permissions(hook, std::filesystem::perms::owner_all);
    AgentProcess agent(std::nullopt, {"--on-event", hook.string(), "--hook-timeout", "2"});
    ac::Connection connection = Connect(agent);
    const std::int64_t cursor = connection.WaitEvents(-1, 0s).cursor;
    const ac::Route route{"node9", "PA_NINE"};
    connection.Add(route);
    const ac::EventBatch batch = connection.WaitEvents(cursor, 5s);
    ASSERT_EQ(batch.events.size(), 1U);
    const ac::Event &added = batch.events[0];
    const auto seen        = dir / std::to_string(added.cursor);
    ASSERT_TRUE(Eventually([&] { return !ReadText(seen).empty(); }));
    const std::vector<std::string> expected = {
        "PA_EVENT_CURSOR=" + std::to_string(added.cursor),
        "PA_EVENT_HOST=node9",
        "PA_EVENT_KIND=route-added",
        "PA_EVENT_MESSAGE=PA_NINE",
        "PA_EVENT_TIME=" + std::to_string(added.time_ms),
        std::string("PA_EVENT_USER=") + AgentProcess::kUser,
    };
    std::string lines;
    for (const auto &line : expected) {
        lines += line + "\n";
    }
    EXPECT_EQ(ReadText(seen), lines);
    EXPECT_TRUE(Eventually([&] { return agent.Errors().find("hook saw route-added") != std::string::npos; }));

    connection.Remove(route);
    ac::Connection other = Connect(agent);
    const auto asked     = std::chrono::steady_clock::now();
    EXPECT_EQ(other.Routes(), std::vector<ac::Route>{});
    EXPECT_LT(std::chrono::steady_clock::now() - asked, 1s);
    EXPECT_TRUE(Eventually([&] { return agent.Errors().find("ran past 2000 ms; killed") != std::string::npos; }));
    EXPECT_TRUE(Eventually([&] { return agent.Errors().find("was killed by signal 9") != std::string::npos; }));
}

// The agent's threads: one for each session, beside its own.
std::size_t Threads(pid_t pid)
{
    const auto tasks = std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task");
    return static_cast<std::size_t>(std::distance(begin(tasks), end(tasks)));
}

std::size_t Count(const std::string &text, const std::string &part)
{
    std::size_t count = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++count;
    }
    return count;
}

// A client that hangs up while it waits for output or events frees its session at once, not at
// the end of the minute it asked to wait.
TEST(Events, AWaitWhoseClientHasGoneEndsAtOnce)
{
    AgentProcess agent(std::nullopt, {"--debug", "2"});
    ac::Connection api      = Connect(agent);
    const ac::Process quiet = Sleeper("quiet");
    api.Start(quiet);
    const std::pair<std::string, std::function<void(ac::Connection &)>> waits[] = {
        {"pa_EventWaitRPC", [](ac::Connection &waiter) { waiter.WaitEvents(-1, 60s); }},
        {"pa_ProcessOutputRPC", [&](ac::Connection &waiter) { waiter.ReadOutput(quiet, -1, 0, 60s); }},
    };
    // Named variables rather than structured bindings: clang 14 cannot capture bindings in a lambda.
    for (const auto &entry : waits) {
        const std::string &rpc = entry.first;
        const auto &wait       = entry.second;
        SCOPED_TRACE(rpc);
        ac::Options options;
        options.timeout = 70s;
        ac::Connection waiter(agent.Name(), AgentProcess::kUser, AgentProcess::kPassword, options);
        const std::size_t sessions = Threads(agent.Pid());
        const std::size_t asked    = Count(agent.Errors(), "RPC " + rpc + " from");
        auto waiting               = std::async(std::launch::async, [&] { wait(waiter); });
        ASSERT_TRUE(Eventually([&] { return Count(agent.Errors(), "RPC " + rpc + " from") > asked; }));
        waiter.Abandon();
        EXPECT_THROW(waiting.get(), ac::Error);
        EXPECT_TRUE(Eventually([&] { return Threads(agent.Pid()) < sessions; }));
    }
}

}  // namespace
