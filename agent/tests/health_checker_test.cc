// The health checks: what each probe finds against real commands and loopback servers, and the
// rules that turn checks into reports.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>

#include "agent_fixture.h"
#include "core/health_checker.h"

namespace paagent {
namespace {

using namespace paagent::testing;
using Kind = HealthReport::Kind;

// The reports a checker makes, with when they came, looked at from the test's thread.
class Reports {
public:
    struct Seen {
        HealthReport report;
        HealthChecker::Clock::time_point at;
    };
    std::function<void(const HealthReport &)> Sink()
    {
        return [this](const HealthReport &report) {
            std::lock_guard lock(mutex_);
            seen_.push_back({report, HealthChecker::Clock::now()});
        };
    }
    std::vector<Seen> Of(const std::string &name)
    {
        std::lock_guard lock(mutex_);
        std::vector<Seen> of;
        std::copy_if(seen_.begin(), seen_.end(), std::back_inserter(of),
                     [&](const Seen &seen) { return seen.report.name == name; });
        return of;
    }

private:
    std::mutex mutex_;
    std::vector<Seen> seen_;
};

// A loopback socket that listens; with serve, answers each GET on a thread by its path:
// /ok 200, /moved 302, /broken 500, anything else never.
class Listener {
public:
    explicit Listener(bool serve) : socket_(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)), stop_(eventfd(0, 0))
    {
        sockaddr_in address{};
        address.sin_family      = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size          = sizeof address;
        bind(socket_.Get(), reinterpret_cast<sockaddr *>(&address), size);
        listen(socket_.Get(), 16);
        getsockname(socket_.Get(), reinterpret_cast<sockaddr *>(&address), &size);
        port_ = ntohs(address.sin_port);
        if (serve) {
            thread_ = std::thread([this] { Serve(); });
        }
    }
    ~Listener()
    {
        const std::uint64_t one = 1;
        (void)!write(stop_.Get(), &one, sizeof one);
        if (thread_.joinable()) {
            thread_.join();
        }
    }
    std::uint16_t Port() const { return port_; }

private:
    void Serve()
    {
        std::vector<tds::FileDescriptor> silent;
        for (;;) {
            pollfd watched[2] = {{socket_.Get(), POLLIN, 0}, {stop_.Get(), POLLIN, 0}};
            poll(watched, 2, -1);
            if (watched[1].revents != 0) {
                return;
            }
            tds::FileDescriptor client(accept4(socket_.Get(), nullptr, nullptr, SOCK_CLOEXEC));
            std::string request;
            char buffer[512];
            for (ssize_t got = 1; got > 0 && request.find("\r\n\r\n") == std::string::npos;) {
                got = read(client.Get(), buffer, sizeof buffer);
                request.append(buffer, static_cast<std::size_t>(std::max<ssize_t>(got, 0)));
            }
            const std::map<std::string, std::string> answers{
                {"GET /ok ", "200 OK"}, {"GET /moved ", "302 Found"}, {"GET /broken ", "500 Internal Server Error"}};
            const auto answer = std::find_if(answers.begin(), answers.end(),
                                             [&](const auto &entry) { return request.starts_with(entry.first); });
            if (answer == answers.end()) {
                silent.push_back(std::move(client));
                continue;
            }
            const std::string reply = "HTTP/1.1 " + answer->second + "\r\nContent-Length: 0\r\n\r\n";
            (void)!write(client.Get(), reply.data(), reply.size());
        }
    }

    tds::FileDescriptor socket_, stop_;
    std::uint16_t port_ = 0;
    std::thread thread_;
};

CheckSettings Settings(HealthProbe probe, std::chrono::milliseconds timeout = 5s, int failures = 1,
                       std::chrono::milliseconds interval = 50ms)
{
    CheckSettings settings;
    settings.probe    = std::move(probe);
    settings.interval = interval;
    settings.timeout  = timeout;
    settings.failures = failures;
    return settings;
}

TEST(HealthCheckerTest, EachProbePassesOrFailsByWhatItFinds)
{
    TempDir home;
    const auto group = home.Path() / "group", left = home.Path() / "left";
    const Listener http(true), tcp(false);
    const std::uint16_t closed = Listener(false).Port();
    struct Case {
        std::string name;
        CheckSettings settings;
        Kind kind;
        std::string output;
    };
    const std::vector<Case> cases = {
        {"exec-passes", Settings(ExecCheck{"echo fine >&2"}), Kind::kPassed, "fine\n"},
        {"exec-fails", Settings(ExecCheck{"echo broken; exit 3"}), Kind::kUnhealthy, "broken\n"},
        {"exec-silent", Settings(ExecCheck{"exit 4"}), Kind::kUnhealthy, "exited with status 4"},
        {"exec-hangs", Settings(ExecCheck{"echo $$ > " + group.string() + "; sleep 1000 & wait"}, 200ms, 1, 1h),
         Kind::kUnhealthy, "timed out after 0.2 s"},
        // The agent's own notification socket is not the check's to speak to.
        {"exec-environment", Settings(ExecCheck{"test -z \"$NOTIFY_SOCKET\""}), Kind::kPassed, ""},
        {"exec-leaves", Settings(ExecCheck{"echo $$ > " + left.string() + "; sleep 1000 &"}, 5s, 1, 1h), Kind::kPassed,
         ""},
        {"tcp-listens", Settings(TcpCheck{"localhost", tcp.Port()}), Kind::kPassed, ""},
        {"tcp-closed", Settings(TcpCheck{"127.0.0.1", closed}), Kind::kUnhealthy, "Connection refused"},
        {"tcp-by-name", Settings(TcpCheck{"example.com", 80}), Kind::kUnhealthy, "numeric address or localhost"},
        {"http-200", Settings(HttpCheck{"127.0.0.1", http.Port(), "/ok"}), Kind::kPassed, "HTTP/1.1 200 OK"},
        {"http-302", Settings(HttpCheck{"127.0.0.1", http.Port(), "/moved"}), Kind::kPassed, "HTTP/1.1 302 Found"},
        {"http-500", Settings(HttpCheck{"127.0.0.1", http.Port(), "/broken"}), Kind::kUnhealthy,
         "HTTP/1.1 500 Internal Server Error"},
        {"http-silent", Settings(HttpCheck{"127.0.0.1", http.Port(), "/silent"}, 200ms), Kind::kUnhealthy,
         "timed out after 0.2 s"},
    };
    Reports reports;
    setenv("NOTIFY_SOCKET", "@the-agents", 1);
    HealthChecker checker(reports.Sink(), nullptr);
    for (const Case &test : cases) {
        checker.Watch(test.name, test.settings, HealthChecker::Clock::now());
    }
    for (const Case &test : cases) {
        SCOPED_TRACE(test.name);
        ASSERT_TRUE(Eventually([&] { return !reports.Of(test.name).empty(); }));
        const HealthReport report = reports.Of(test.name).front().report;
        EXPECT_EQ(report.kind, test.kind);
        EXPECT_NE(report.output.find(test.output), std::string::npos) << report.output;
    }
    unsetenv("NOTIFY_SOCKET");
    // The hung command was killed with what it started, and what a command leaves behind with it.
    for (const auto &file : {group, left}) {
        const GroupKiller leftover{std::stoi(ReadLog(file))};
        EXPECT_TRUE(Eventually([&] { return !GroupRuns(leftover.group); })) << file;
    }
}

TEST(HealthCheckerTest, FailuresInARowOutsideTheStartPeriodMakeUnhealthyAndAPassEndsIt)
{
    TempDir home;
    const auto healthy = home.Path() / "healthy";
    const auto runs    = home.Path() / "runs";  // a line for each check: p passed, f failed
    Reports reports;
    std::vector<std::size_t> failures_at_unhealthy;  // the failures in a row each report of "rules" came after
    HealthChecker checker(
        [&](const HealthReport &report) {
            reports.Sink()(report);
            if (report.name == "rules" && report.kind == Kind::kUnhealthy) {
                const std::string lines = ReadLog(runs);
                failures_at_unhealthy.push_back((lines.size() - lines.find_last_not_of("f\n") - 1) / 2);
            }
        },
        nullptr);
    const auto command = "if test -e " + healthy.string() + "; then echo p >> " + runs.string() + "; else echo f >> " +
                         runs.string() + "; exit 1; fi";
    checker.Watch("rules", Settings(ExecCheck{command}, 5s, 3), HealthChecker::Clock::now());
    CheckSettings late = Settings(ExecCheck{"false"});
    late.start_period  = 400ms;
    const auto started = HealthChecker::Clock::now();
    checker.Watch("late", late, started);

    const auto kinds_of_rules = [&] {
        std::vector<Kind> kinds;
        for (const auto &seen : reports.Of("rules")) {
            kinds.push_back(seen.report.kind);
        }
        return kinds;
    };
    const auto wait_for = [&](std::size_t count) {
        return Eventually([&] { return kinds_of_rules().size() >= count; });
    };
    const auto set_healthy = [&](bool is) {
        // Failures go on past the count before it changes, to be reported once.
        const std::size_t checks = ReadLog(runs).size() / 2;
        ASSERT_TRUE(Eventually([&] { return ReadLog(runs).size() / 2 >= checks + 2; }));
        if (is) {
            std::ofstream(healthy).close();
        } else {
            std::filesystem::remove(healthy);
        }
    };
    ASSERT_TRUE(wait_for(1));
    set_healthy(true);
    ASSERT_TRUE(wait_for(2));
    set_healthy(false);
    ASSERT_TRUE(wait_for(3));
    set_healthy(true);
    ASSERT_TRUE(wait_for(4));
    EXPECT_EQ(kinds_of_rules(), (std::vector<Kind>{Kind::kUnhealthy, Kind::kPassed, Kind::kUnhealthy, Kind::kHealthy}));
    EXPECT_EQ(failures_at_unhealthy, (std::vector<std::size_t>{3, 3}));

    ASSERT_TRUE(Eventually([&] { return !reports.Of("late").empty(); }));
    EXPECT_GE(reports.Of("late").front().at - started, late.start_period);
}

TEST(HealthCheckerTest, AHungProbeHoldsUpNoOtherAndUnwatchKillsIt)
{
    TempDir home;
    const auto group = home.Path() / "group";
    Reports reports;
    HealthChecker checker(reports.Sink(), nullptr);
    checker.Watch("hung", Settings(ExecCheck{"echo $$ > " + group.string() + "; sleep 1000 & wait"}, 60s),
                  HealthChecker::Clock::now());
    ASSERT_TRUE(Eventually([&] { return !ReadLog(group).empty(); }));
    const GroupKiller leftover{std::stoi(ReadLog(group))};
    checker.Watch("quick", Settings(ExecCheck{"true"}), HealthChecker::Clock::now());
    EXPECT_TRUE(Eventually([&] { return !reports.Of("quick").empty(); }));
    checker.Unwatch("hung");
    EXPECT_TRUE(Eventually([&] { return !GroupRuns(leftover.group); }));
    EXPECT_TRUE(reports.Of("hung").empty());
}

}  // namespace
}  // namespace paagent
