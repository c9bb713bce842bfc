// Three agents on loopback, alpha, beta and gamma, each routing the other two hosts to their
// agents: a client of alpha alone drives processes on every host, and a peer that is down or
// frozen costs the requests for it their time-out and nothing else.
#include "support/agent_process.h"
#include "support/client.h"
#include "support/cpp_process.h"

#include <agentclient/agentclient.hpp>
#include <protocol/events.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <future>
#include <map>
#include <unistd.h>

namespace ac = agentclient;
using testing::HasSubstr;

namespace {

constexpr int kPeerTimeOut = 2;
// A refused forwarded call fails within the peer time-out and the library's one-second margin.
constexpr auto kFailureBound          = std::chrono::seconds(kPeerTimeOut + 2);
const std::vector<std::string> kHosts = {"alpha", "beta", "gamma"};

// The PID under which the agent lists the running process, 0 when it does not.
std::int32_t ListedPid(ac::Connection &agent, const std::string &name)
{
    for (const ac::Process &process : agent.Processes(false)) {
        if (process.name == name) {
            return process.pid;
        }
    }
    return 0;
}

class ManyHosts : public testing::Test {
protected:
    // Every test has agents of its own, with homes of their own.
    std::string ServerOf(const std::string &host) const { return "ROUTE_" + host + "_" + run_; }

    // The peers file, shared by all three agents, holds the logins of hosts.
    std::filesystem::path PeersFile() const { return FamilyHome() / ("peers_" + run_); }
    void WriteLogins(const std::vector<std::string> &hosts) const
    {
        std::ofstream file(PeersFile());
        for (const auto &host : hosts) {
            file << ServerOf(host) << ":" << AgentProcess::kUser << ":" << AgentProcess::kPassword << "\n";
        }
        std::filesystem::permissions(PeersFile(),
                                     std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    }

    std::vector<std::string> RoutedOptions(const std::string &host) const
    {
        WriteLogins(kHosts);
        return {"--host-name",     host,
                "--peers",         PeersFile().string(),
                "--peer-timeout",  std::to_string(kPeerTimeOut),
                "--log-max-bytes", "1024",
                "--log-backups",   "100"};
    }

    void SetUp() override
    {
        for (const auto &host : kHosts) {
            direct_.emplace_back(ServerOf(host), AgentProcess::kUser, AgentProcess::kPassword);
            for (const auto &other : kHosts) {
                if (other != host) {
                    direct_.back().Add(ac::Route{other, ServerOf(other)});
                }
            }
        }
    }

    ac::Connection &Direct(const std::string &host)
    {
        return direct_[std::find(kHosts.begin(), kHosts.end(), host) - kHosts.begin()];
    }

    inline static int runs = 0;
    const std::string run_ = std::to_string(getpid()) + "_" + std::to_string(++runs);
    // Besides the peers' login, which may do everything, one that may operate and one that may read.
    const std::string users_ = std::string("alice:") + AgentProcess::kPasswordHash +
                               ":operate\nreader:" + AgentProcess::kPasswordHash + ":read\n";
    AgentProcess alpha_{std::nullopt, RoutedOptions("alpha"), ServerOf("alpha"), users_};
    AgentProcess beta_{std::nullopt, RoutedOptions("beta"), ServerOf("beta"), users_};
    AgentProcess gamma_{std::nullopt, RoutedOptions("gamma"), ServerOf("gamma"), users_};
    std::vector<ac::Connection> direct_;
    ac::Connection client_{alpha_.Name(), AgentProcess::kUser, AgentProcess::kPassword};
};

TEST_F(ManyHosts, OneClientDrivesProcessesOnEveryHost)
{
    for (const auto &host : {"beta", "gamma"}) {
        SCOPED_TRACE(host);
        const ac::Process process = Sleeper(std::string("far_") + host, host);
        client_.Start(process);
        const ac::ProcessStatus started = client_.Status(process);
        EXPECT_EQ(started.state, 1);
        EXPECT_EQ(ListedPid(Direct(host), process.name), started.pid);
        EXPECT_EQ(ListedPid(Direct("alpha"), process.name), 0);
        // Health comes from the host's agent, of the process or of every process it runs.
        EXPECT_EQ(client_.Health(process.name, host), Direct(host).Health(process.name, host));
        EXPECT_EQ(client_.Health({}, host), Direct(host).Health());
        // So do the figures: the PID the host's agent runs it as.
        EXPECT_EQ(client_.Stats(process.name, host).at(0).pid, started.pid);
        EXPECT_THAT(Refusal([&] { client_.Start(process); }).what(), HasSubstr("already running"));

        client_.ForwardState(process, 2);  // restart
        const std::int32_t restarted = client_.Status(process).pid;
        EXPECT_NE(restarted, started.pid);
        client_.Signal(process, SIGKILL);
        ASSERT_TRUE(Eventually([&] { return ListedPid(Direct(host), process.name) == 0; }));
        EXPECT_EQ(client_.Status(process).state, 3);  // killed by a signal: failed

        client_.Start(process);
        client_.Stop(process);
        EXPECT_EQ(client_.Status(process).state, 0);
        EXPECT_EQ(ListedPid(Direct(host), process.name), 0);
    }
}

// Output and events of another host come through the agent the routing table names: numbered
// lines across some 40 rotations, none lost and none repeated, and the events of a stop with the
// user who asked for it.
TEST_F(ManyHosts, OutputAndEventsOfAnotherHostAreFollowedThroughItsAgent)
{
    ac::Process counter = Sleeper("counter", "beta");
    counter.command     = "seq 1 5000; exec sleep 600";
    client_.Start(counter);
    std::string lines;
    for (std::int64_t cursor = 0; lines.size() < 23893;) {
        const ac::Output read = client_.ReadOutput(counter, cursor, 0, std::chrono::seconds(5));
        ASSERT_EQ(read.lost, 0);
        ASSERT_FALSE(read.data.empty()) << "no more output after " << lines.size() << " bytes";
        lines += read.data;
        cursor = read.cursor;
    }
    std::string numbers;
    for (int number = 1; number <= 5000; ++number) {
        numbers += std::to_string(number) + "\n";
    }
    EXPECT_EQ(lines, numbers);

    const std::int64_t before = client_.WaitEvents(-1, std::chrono::seconds(0), "beta").cursor;
    client_.Stop(counter);
    std::vector<std::string> seen;
    for (std::int64_t cursor = before; seen.size() < 3;) {
        const ac::EventBatch batch = client_.WaitEvents(cursor, std::chrono::seconds(5), "beta");
        ASSERT_FALSE(batch.events.empty());
        for (const ac::Event &event : batch.events) {
            EXPECT_EQ(event.host, "beta");
            EXPECT_THAT(event.user.value_or(""), testing::StartsWith("operator for operator@ROUTE_alpha"));
            seen.push_back(*event.process + " " +
                           std::string(pa::protocol::EventKindName(static_cast<int>(event.kind))));
        }
        cursor = batch.cursor;
    }
    EXPECT_THAT(seen, testing::ElementsAre("counter stopping", "counter exited", "counter stopped"));
}

TEST_F(ManyHosts, RunsAServiceWithMembersOnEveryHost)
{
    ac::Service service;
    service.name = "spread";
    for (const auto &host : kHosts) {
        service.members.push_back({Sleeper("member_" + host, host), {}});
    }
    client_.Start(service);
    for (const auto &host : kHosts) {
        EXPECT_NE(ListedPid(Direct(host), "member_" + host), 0) << host;
    }
    EXPECT_EQ(client_.Status(service), 1);

    Direct("gamma").Stop(Sleeper("member_gamma", "gamma"));
    EXPECT_EQ(client_.Status(service), 2);  // partly running
    client_.Stop(service);
    EXPECT_EQ(client_.Status(service), 0);
    for (const auto &host : kHosts) {
        EXPECT_EQ(ListedPid(Direct(host), "member_" + host), 0) << host;
    }
}

// A start that waits for its process holds a connection to its peer for itself alone, and waits
// no longer than the peer time-out.
TEST_F(ManyHosts, ALongForwardedStartHoldsUpNoOtherRequestToItsPeer)
{
    const ac::Process watched = Sleeper("watched", "beta"), near = Sleeper("near", "beta");
    client_.Start(near);
    const auto began = std::chrono::steady_clock::now();
    auto started     = std::async(std::launch::async, [&] { client_.Start(watched, 60); });
    ASSERT_TRUE(Eventually([&] { return ListedPid(Direct("beta"), watched.name) != 0; }));
    ac::Connection other(alpha_.Name(), AgentProcess::kUser, AgentProcess::kPassword);
    EXPECT_EQ(other.Status(near).state, 1);
    EXPECT_EQ(started.wait_for(std::chrono::seconds(0)), std::future_status::timeout);
    started.get();
    EXPECT_LT(std::chrono::steady_clock::now() - began, kFailureBound);
}

// A forwarded call whose client has gone is given up then, within the library's second for
// each of the two calls, not at the peer time-out: here the client abandons its start, which
// closes its connection.
TEST_F(ManyHosts, AForwardedCallIsGivenUpWhenItsClientHasGone)
{
    const AgentProcess delta{
        std::nullopt,
        {"--host-name", "delta", "--peers", PeersFile().string(), "--peer-timeout", "10", "--debug", "2"},
        ServerOf("delta")};
    ac::Connection(delta.Name(), AgentProcess::kUser, AgentProcess::kPassword).Add(ac::Route{"beta", ServerOf("beta")});
    ac::Connection leaving(delta.Name(), AgentProcess::kUser, AgentProcess::kPassword);
    const ac::Process watched = Sleeper("watched", "beta");
    auto start = std::async(std::launch::async, [&] { return Refusal([&] { leaving.Start(watched, 10); }); });
    ASSERT_TRUE(Eventually([&] { return ListedPid(Direct("beta"), watched.name) != 0; }));
    const auto left = std::chrono::steady_clock::now();
    leaving.Abandon();
    EXPECT_TRUE(start.get().TimedOut());
    EXPECT_TRUE(Eventually([&] { return delta.Errors().find("its client has gone") != std::string::npos; }))
        << delta.Errors();
    EXPECT_LT(std::chrono::steady_clock::now() - left, std::chrono::seconds(5));
}

TEST_F(ManyHosts, APeerFrozenOrDownFailsItsRequestsOnlyWithinTheTimeOut)
{
    const ac::Process far = Sleeper("far", "gamma"), near = Sleeper("near", "beta");
    client_.Start(far);
    client_.Start(near);
    // frozen: the request for gamma is still waiting when the others have been answered.
    auto fails_alone = [&](bool frozen) {
        const auto began = std::chrono::steady_clock::now();
        auto gamma =
            std::async(std::launch::async, [&] { return std::string(Refusal([&] { client_.Status(far); }).what()); });
        // Meanwhile the other hosts answer, over another connection to alpha and to beta.
        ac::Connection other(alpha_.Name(), AgentProcess::kUser, AgentProcess::kPassword);
        EXPECT_EQ(other.Status(near).state, 1);
        EXPECT_EQ(Direct("beta").Status(near).state, 1);
        if (frozen) {
            EXPECT_EQ(gamma.wait_for(std::chrono::seconds(0)), std::future_status::timeout);
        }
        EXPECT_THAT(gamma.get(), HasSubstr(gamma_.Name()));
        EXPECT_LT(std::chrono::steady_clock::now() - began, kFailureBound);
    };

    gamma_.Signal(SIGSTOP);
    ASSERT_TRUE(Eventually([&] { return StateOf(gamma_.Pid()) == 'T'; }));
    fails_alone(true);
    gamma_.Signal(SIGCONT);
    EXPECT_EQ(client_.Status(far).state, 1);  // the connection is made again
    client_.Stop(far);

    gamma_.Signal(SIGKILL);
    ASSERT_TRUE(gamma_.WaitForExit(std::chrono::seconds(10)));
    fails_alone(false);
}

// The agent a client logs in to checks its role before it forwards anything: the peer, which
// checks only its peer login's role, never sees a request the client may not make.
TEST_F(ManyHosts, ARequestTheCallerMayNotMakeIsRefusedBeforeItIsForwarded)
{
    const ac::Process far = Sleeper("far", "beta");
    Direct("beta").Start(far);
    ac::Connection reader(alpha_.Name(), "reader", AgentProcess::kPassword);
    EXPECT_THAT(Refusal([&] { reader.Stop(far); }).AgentText(), HasSubstr("user reader (read) may not stop processes"));
    EXPECT_NE(ListedPid(Direct("beta"), far.name), 0);
    EXPECT_THAT(beta_.Errors(), testing::Not(HasSubstr("paagentd-forward")));
}

// A peer carries out a forwarded change with its peer login's rights, and names the user it was
// forwarded for in its events and its audit line. The login's client host names the user, and
// only the first 30 bytes of it arrive: this agent's name may be cut short.
TEST_F(ManyHosts, APeerNamesWhomItCarriesOutAForwardedChangeFor)
{
    const ac::Process first = Sleeper("first", "beta"), second = Sleeper("second", "beta");
    Direct("beta").Start(first);
    Direct("beta").Start(second);
    const std::int64_t cursor = Direct("beta").WaitEvents(-1, std::chrono::seconds(0)).cursor;
    ac::Connection alice(alpha_.Name(), "alice", AgentProcess::kPassword);
    alice.Stop(first);
    // After alice's request to the same peer, whose connection is hers alone.
    client_.Stop(second);

    std::map<std::string, std::string> stopped_by;
    for (std::int64_t at = cursor; stopped_by.size() < 2;) {
        const ac::EventBatch batch = Direct("beta").WaitEvents(at, std::chrono::seconds(5));
        ASSERT_FALSE(batch.events.empty());
        for (const ac::Event &event : batch.events) {
            if (event.kind == ac::EventKind::kStopped) {
                stopped_by[*event.process] = event.user.value_or("");
            }
        }
        at = batch.cursor;
    }
    const std::string for_alice = "operator for alice@" + alpha_.Name();
    EXPECT_EQ(stopped_by["first"], for_alice);
    EXPECT_THAT(stopped_by["second"], testing::StartsWith("operator for operator@ROUTE_alpha"));
    const std::string audit = "audit: user " + for_alice +
                              " from 127.0.0.1, application paagentd-forward: stop processes: process first of "
                              "host beta: done\n";
    ASSERT_TRUE(Eventually([&] { return beta_.Errors().find(audit) != std::string::npos; }));
    const std::string log = beta_.Errors();
    EXPECT_EQ(log.find("audit: user " + for_alice), log.rfind("audit: user " + for_alice));
}

TEST_F(ManyHosts, RefusesUnknownHostsAndRequestsThatWouldLoop)
{
    Direct("alpha").Add(ac::Route{"x", beta_.Name()});
    Direct("beta").Add(ac::Route{"x", alpha_.Name()});
    Direct("alpha").Add(ac::Route{"delta", ServerOf("delta")});
    const struct {
        const char *host;
        const char *refusal;
    } cases[] = {
        {"x", "would be forwarded again"},
        {"nowhere", "no route to host nowhere"},
        {"delta", "no login for peer ROUTE_delta"},
    };
    for (const auto &c : cases) {
        EXPECT_THAT(Refusal([&] { client_.Start(Sleeper("p", c.host)); }).what(), HasSubstr(c.refusal)) << c.host;
        EXPECT_THAT(Refusal([&] { client_.Status(Sleeper("p", c.host)); }).what(), HasSubstr(c.refusal)) << c.host;
        EXPECT_THAT(Refusal([&] { client_.WaitEvents(-1, std::chrono::seconds(0), c.host); }).what(),
                    HasSubstr(c.refusal))
            << c.host;
    }

    // SIGHUP reads the peers file again: delta has a login now, and no agent in the interfaces file.
    WriteLogins({"alpha", "beta", "gamma", "delta"});
    alpha_.Signal(SIGHUP);
    EXPECT_TRUE(Eventually([&] {
        return std::string(Refusal([&] { client_.Status(Sleeper("p", "delta")); }).what()).find("cannot be reached") !=
               std::string::npos;
    }));
}

}  // namespace
