// The agent's events through the C++ API and FreeTDS: what a crash and its restarts give, a
// cursor kept across connections and agent runs, the hooks run for each event, and what
// readiness and health checks make happen.
#include "support/agent_process.h"
#include "support/cpp_process.h"
#include "support/text_file.h"

#include <agentclient/agentclient.hpp>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <iterator>
#include <map>
#include <netinet/in.h>
#include <optional>
#include <regex>
#include <sys/socket.h>
#include <tuple>
#include <unistd.h>

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

// A port of 127.0.0.1 that was free a moment ago.
int FreePort()
{
    const int probe = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family      = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size          = sizeof address;
    EXPECT_EQ(bind(probe, reinterpret_cast<sockaddr *>(&address), size), 0);
    EXPECT_EQ(getsockname(probe, reinterpret_cast<sockaddr *>(&address), &size), 0);
    close(probe);
    return ntohs(address.sin_port);
}

// A checks directory of its own holding NAME.conf for each setting given.
std::filesystem::path ChecksDirectory(const std::string &name, const std::map<std::string, std::string> &files)
{
    const std::filesystem::path dir = FamilyHome() / name;
    std::filesystem::create_directories(dir);
    for (const auto &[process, text] : files) {
        std::ofstream(dir / (process + ".conf")) << text;
    }
    return dir;
}

// A database that listens only after 2 s, then says so with the real systemd-notify, and a client
// of it that gives up at once when refused: the service starts the client only once the database
// is ready when it declares its readiness, and too soon when it does not.
TEST(Events, AServiceStartsTheNextMemberOnceTheOneBeforeIsReady)
{
    const int port                                    = FreePort();
    const std::pair<std::string, bool> declarations[] = {{"ready = notify\nstart-timeout = 10\n", true},
                                                         {"# running is ready\n", false}};
    for (const auto &[db_settings, client_runs] : declarations) {
        SCOPED_TRACE(db_settings);
        const auto dir = ChecksDirectory("chain-" + std::to_string(client_runs), {{"db", db_settings}});
        AgentProcess agent(std::nullopt, {"--checks-dir", dir.string()});
        ac::Connection connection = Connect(agent);
        std::ofstream(agent.Home() / "db.py") << "import socket, subprocess, time\n"
                                              << "time.sleep(2)\n"
                                              << "server = socket.create_server(('127.0.0.1', " << port << "))\n"
                                              << "subprocess.run(['systemd-notify', '--ready'], check=True)\n"
                                              << "while True:\n    server.accept()[0].close()\n";
        ac::Process db              = Sleeper("db");
        db.command                  = "exec python3 " + (agent.Home() / "db.py").string();
        ac::Process app             = Sleeper("app");
        const std::string connected = (agent.Home() / "connected").string();
        app.command = "python3 -c \"import socket; socket.create_connection(('127.0.0.1', " + std::to_string(port) +
                      "))\" || exit 1; echo yes > " + connected + "; exec sleep 30";
        ac::Service service{"stack", ac::ServiceType::kNonMaster, ac::ServiceStart::kNonAuto, {{db, {}}, {app, {}}}};
        std::int64_t cursor = connection.WaitEvents(-1, 0s).cursor;
        connection.Start(service);
        if (client_runs) {
            // The database was ready before the client was started.
            std::vector<ac::EventKind> kinds;
            for (const ac::Event &event : Until(connection, cursor, ac::EventKind::kServiceStarted)) {
                if (event.kind == ac::EventKind::kReady || event.kind == ac::EventKind::kStarting) {
                    kinds.push_back(event.kind);
                }
            }
            EXPECT_EQ(kinds, (std::vector{ac::EventKind::kStarting, ac::EventKind::kReady, ac::EventKind::kStarting}));
            EXPECT_TRUE(Eventually([&] { return ReadText(connected) == "yes\n"; }));
        } else {
            const std::vector<ac::Event> exit = Until(connection, cursor, ac::EventKind::kExited);
            EXPECT_EQ(exit.back().process, "app");
            EXPECT_EQ(exit.back().status, 1);
        }
        connection.Stop(service);
    }
}

// An HTTP server frozen with SIGSTOP fails its checks; once they have failed their count it is
// restarted, and the new one is ready by its first passing check.
TEST(Events, AFrozenServerFailsItsChecksAndIsRestarted)
{
    const int port = FreePort();
    const auto dir =
        ChecksDirectory("frozen", {{"web", "ready = check\ncheck = http://127.0.0.1:" + std::to_string(port) +
                                               "/\nstart-timeout = 5\ninterval = 0.2\ntimeout = 0.5\nfailures = 2\n"}});
    AgentProcess agent(std::nullopt, {"--checks-dir", dir.string()});
    ac::Connection connection = Connect(agent);
    ac::Process web           = Sleeper("web");
    // It listens only a second after each start, its checks failing meanwhile.
    web.command         = "sleep 1 && exec python3 -m http.server " + std::to_string(port) + " --bind 127.0.0.1";
    web.managed         = true;
    web.retry_count     = 3;
    std::int64_t cursor = connection.WaitEvents(-1, 0s).cursor;
    // The start waits for the first passing check.
    connection.Start(web);
    Until(connection, cursor, ac::EventKind::kReady);
    const std::int32_t frozen = connection.Status(web).pid;
    ASSERT_GT(frozen, 0);

    ASSERT_EQ(kill(frozen, SIGSTOP), 0);
    const auto stopped                     = std::chrono::steady_clock::now();
    const std::vector<ac::Event> unhealthy = Until(connection, cursor, ac::EventKind::kUnhealthy);
    // Two failed checks, each begun 0.2 s after the one before and given up after 0.5 s.
    EXPECT_LT(std::chrono::steady_clock::now() - stopped, 3s);
    EXPECT_THAT(unhealthy.back().message.value_or(""), testing::Not(testing::IsEmpty()));
    const std::vector<ac::Event> restarted = Until(connection, cursor, ac::EventKind::kReady);
    // Checks that fail while the new server starts listening restart nothing: it is not ready yet.
    std::vector<Seen> kinds;
    for (const ac::Event &event : restarted) {
        if (event.kind != ac::EventKind::kUnhealthy) {
            kinds.emplace_back(event.kind, -1, event.signal, std::nullopt, std::nullopt);
        }
    }
    EXPECT_EQ(kinds, (std::vector<Seen>{{ac::EventKind::kStopping, -1, 0, std::nullopt, std::nullopt},
                                        {ac::EventKind::kExited, -1, SIGKILL, std::nullopt, std::nullopt},
                                        {ac::EventKind::kRestarting, -1, 0, std::nullopt, std::nullopt},
                                        {ac::EventKind::kStarting, -1, 0, std::nullopt, std::nullopt},
                                        {ac::EventKind::kStarted, -1, 0, std::nullopt, std::nullopt},
                                        {ac::EventKind::kReady, -1, 0, std::nullopt, std::nullopt}}));
    EXPECT_NE(connection.Status(web).pid, frozen);
    connection.Stop(web);
}

// The other settings of a checks file: the PA-aware report as the sign of ready, a start that
// gives up on a process that never says it is ready and leaves it running, a restart that hangs
// before it is ready restarted again, and an unhealthy process only reported when its settings
// say not to restart it.
TEST(Events, ReadinessAndRestartSettingsAreHeeded)
{
    const auto dir = ChecksDirectory("settings", {{"told", "ready = inform\nstart-timeout = 10\n"},
                                                  {"mute", "ready = notify\nstart-timeout = 1\n"},
                                                  {"hangs", "ready = notify\nstart-timeout = 1\n"},
                                                  {"sick", "check = exec:false\ninterval = 0.2\n"
                                                           "failures = 1\nrestart-unhealthy = no\n"}});
    AgentProcess agent(std::nullopt, {"--checks-dir", dir.string()});
    ac::Connection connection = Connect(agent);
    const auto health_of = [&](const ac::Process &process) { return connection.Health(process.name).at(0).health; };

    ac::Process told = Sleeper("told");
    told.command     = std::string(INFORM_HELPER_PATH) + " " + (agent.Home() / "told.pid").string();
    connection.Start(told);
    EXPECT_EQ(health_of(told), ac::Health::kReady);

    const ac::Process mute = Sleeper("mute");
    EXPECT_THAT(Refusal([&] { connection.Start(mute); }).what(),
                HasSubstr("process mute was not ready within 1 seconds"));
    // Only a process that is to notify is given a socket to notify on.
    const auto environment_of = [](std::int32_t pid) { return ReadText("/proc/" + std::to_string(pid) + "/environ"); };
    EXPECT_THAT(environment_of(connection.Status(mute).pid), HasSubstr("NOTIFY_SOCKET=@"));
    EXPECT_THAT(environment_of(connection.Status(told).pid), testing::Not(HasSubstr("NOTIFY_SOCKET=")));
    EXPECT_EQ(health_of(mute), ac::Health::kUnhealthy);

    ac::Process hangs      = Sleeper("hangs");
    const std::string once = (agent.Home() / "notified").string();
    hangs.command          = "test -e " + once + " || { touch " + once + " && systemd-notify --ready; }; exec sleep 30";
    hangs.managed          = true;
    hangs.retry_count      = 3;
    std::int64_t cursor    = connection.WaitEvents(-1, 0s).cursor;
    connection.Start(hangs);
    ASSERT_EQ(kill(connection.Status(hangs).pid, SIGKILL), 0);
    const std::vector<ac::Event> overdue = Until(connection, cursor, ac::EventKind::kUnhealthy);
    EXPECT_EQ(overdue.back().process, "hangs");
    EXPECT_EQ(overdue.back().message, "was not ready within 1 seconds");
    EXPECT_EQ(Until(connection, cursor, ac::EventKind::kStopping).back().process, "hangs");
    connection.Stop(hangs);

    ac::Process sick = Sleeper("sick");
    sick.managed     = true;
    sick.retry_count = 3;
    cursor           = connection.WaitEvents(-1, 0s).cursor;
    connection.Start(sick);
    const std::int32_t pid = connection.Status(sick).pid;
    Until(connection, cursor, ac::EventKind::kUnhealthy);
    // A restart would have begun with the report, before any later request's events.
    connection.Stop(told);
    for (const ac::Event &event : Until(connection, cursor, ac::EventKind::kStopped)) {
        EXPECT_NE(event.process, "sick") << static_cast<int>(event.kind);
    }
    EXPECT_EQ(connection.Status(sick).pid, pid);
    EXPECT_EQ(health_of(sick), ac::Health::kUnhealthy);
}

}  // namespace
