// The C++ API against a real agent, its whole surface in one scenario: values in, values out,
// refusals as exceptions with the agent's reason, callbacks, and nothing left to release.
#include "support/agent_process.h"
#include "support/cpp_process.h"

#include <agentclient/agentclient.hpp>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <csignal>
#include <unistd.h>

namespace ac = agentclient;
using testing::HasSubstr;

namespace {

TEST(CppApi, TheWholeSurfaceAgainstARealAgent)
{
    AgentProcess agent;
    ac::Error refused = Refusal([&] { ac::Connection(agent.Name(), AgentProcess::kUser, "wrong"); });
    EXPECT_EQ(refused.Code(), PaCONNECT_FAILED);

    std::vector<std::string> logged;
    ac::SetLogger([&](std::int32_t level, std::string_view text) {
        if (level >= PaMSG_ERROR) {
            logged.emplace_back(text);
        }
    });
    int retries = 0;
    ac::Connection first(agent.Name(), AgentProcess::kUser, AgentProcess::kPassword,
                         {.timeout = std::chrono::seconds(20), .retry = [&] { return ++retries < 2; }});
    ac::Connection connection = std::move(first);  // the callbacks move with it
    EXPECT_EQ(connection.Timeout(), std::chrono::seconds(20));
    EXPECT_EQ(connection.GetVersion().major, 3);
    connection.SetDebugLevel(2);
    EXPECT_EQ(connection.DebugLevel(), 2);
    connection.GenerateNotification();

    ac::Service service{"web", ac::ServiceType::kMaster, ac::ServiceStart::kNonAuto, {}};
    service.members.push_back({Sleeper("front"), std::int32_t{-7}});
    service.members.push_back({Sleeper("back"), std::string("blue sky")});
    service.members.push_back({Sleeper("cache"), std::monostate{}});
    service.members[1].process.restart_message = "back's back";
    connection.Add(service);
    ASSERT_EQ(connection.Services(), std::vector<ac::Service>{service});
    ac::Error duplicate = Refusal([&] { connection.Add(service); });
    EXPECT_EQ(duplicate.Code(), PaFAILURE);
    EXPECT_THAT(duplicate.AgentText(), HasSubstr("web"));
    EXPECT_EQ(retries, 2);  // asked once per refusal, repeating the first
    EXPECT_THAT(logged, testing::Contains(HasSubstr(duplicate.AgentText())));

    connection.Start(service);
    EXPECT_EQ(connection.Status(service), 1);
    ac::ProcessStatus front = connection.Status(service.members[0].process);
    EXPECT_EQ(front.state, 1);
    EXPECT_GT(front.pid, 0);
    EXPECT_EQ(connection.Processes(false).size(), 3u);
    EXPECT_EQ(connection.Stats("front").at(0).pid, front.pid);
    connection.Signal(service.members[0].process, SIGCONT);
    connection.Stop(service);
    EXPECT_EQ(connection.Status(service), 0);

    ac::Process solo = Sleeper("solo");
    connection.StartWithArgs(solo, "# with arguments");
    EXPECT_THAT(Refusal([&] { connection.Start(solo); }).AgentText(), HasSubstr("already running"));
    connection.ForwardState(solo, 0);
    solo.command = "exec sleep 29";
    connection.Change("solo", solo);
    connection.Start(solo, 1);
    connection.Stop(solo);
    connection.StopAllProcesses();
    connection.StartAllProcesses();

    const ac::Route route{"node9", "PA_NINE"};
    connection.Add(route);
    EXPECT_EQ(connection.Routes(), std::vector<ac::Route>{route});
    connection.Remove(route);
    EXPECT_TRUE(connection.Routes().empty());

    connection.StopAllProcesses();
    connection.Remove(service);
    EXPECT_TRUE(connection.Services().empty());
    EXPECT_THAT(Refusal([&] { ac::Inform(agent.Name(), 1, 999); }).Code(), PaFAILURE);

    connection.StopAgent(1);
    EXPECT_TRUE(agent.WaitForExit(std::chrono::seconds(10)).has_value());
    // A read that finds the connection gone tries a new one, which cannot reach the agent.
    ac::Error unreachable = Refusal([&] { connection.Processes(); });
    EXPECT_TRUE(unreachable.Unreachable()) << unreachable.what();
    ac::SetLogger(nullptr);
}

}  // namespace
