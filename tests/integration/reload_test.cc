// SIGHUP makes the agent read its users file and configuration file again.
#include "support/client.h"
#include "support/cpp_process.h"

#include <agentclient/agentclient.hpp>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <csignal>
#include <fstream>

#include "core/users.h"

namespace {

namespace ac = agentclient;
namespace fs = std::filesystem;
using testing::HasSubstr;

// How many reloads the agent has finished: each logs one line about its configuration file.
int Reloads(const std::string &log)
{
    int count = 0;
    for (const char *ending : {"reload: read the configuration file", "the definitions are left as they were"}) {
        for (auto at = log.find(ending); at != std::string::npos; at = log.find(ending, at + 1)) {
            ++count;
        }
    }
    return count;
}

TEST(Reload, NewPasswordIsAcceptedTheOldRefusedAndABadFileChangesNothing)
{
    AgentProcess agent(std::nullopt, {}, {}, std::string("second:") + AgentProcess::kPasswordHash + "\n");
    Handle handle = OpenHandle(agent);
    std::vector<Member> members;
    members.push_back({MakeProcess("kept", kSleeper), PaVALUE_NONE, 0, {}});
    Service kept = MakeService("kept", PaSERVICE_NON_MASTER, PaSERVICE_NON_AUTO, std::move(members));
    ASSERT_EQ(PaServiceAdd(handle.get(), kept.get()), PaSUCCESS);
    const std::string services = FetchServices(handle.get(), 1);
    auto reload                = [&](int expected) {
        kill(agent.Pid(), SIGHUP);
        return Eventually([&] { return Reloads(agent.Errors()) == expected; });
    };

    std::ofstream(agent.Home() / "users") << AgentProcess::kUser << ":" << AgentProcess::kPasswordHash
                                          << "\nsecond:" << paagent::HashPassword("changed") << "\n";
    ASSERT_TRUE(reload(1));
    EXPECT_EQ(TryLogin(agent, "second", "changed"), PaSUCCESS);
    EXPECT_NE(TryLogin(agent, "second", AgentProcess::kPassword), PaSUCCESS);

    std::ofstream(agent.Home() / "users") << "# users\nno colon here\n";
    // Cut before the services: read as it is, the file would remove the stopped service.
    const std::string config = ReadText(agent.Home() / "pa.cfg");
    std::ofstream(agent.Home() / "pa.cfg") << config.substr(0, config.find("zeb_service"));
    ASSERT_TRUE(reload(2));
    EXPECT_THAT(agent.Errors(),
                HasSubstr("users:2: expected user:hash[:role[:uids]]; the users are left as they were"));
    EXPECT_THAT(agent.Errors(), testing::ContainsRegex("pa.cfg: line [0-9]+: the file looks cut short: .*; the "
                                                       "definitions are left as they were"));
    EXPECT_EQ(TryLogin(agent, "second", "changed"), PaSUCCESS);
    EXPECT_EQ(FetchServices(handle.get(), 1), services);
}

// The sessions of the users a reload removes or gives a new password end: their next call fails.
// A demoted user's open session is refused its next request by its new role. A users file without
// users would lock everyone out: it changes nothing.
TEST(Reload, EndsTheSessionsOfRemovedOrChangedLoginsAndDemotesAtTheNextRequest)
{
    const std::string hash = AgentProcess::kPasswordHash;
    AgentProcess agent(std::nullopt, {}, {}, "ada:" + hash + "\nruth:" + hash + "\nhal:" + hash + "\n");
    ac::Connection ada(agent.Name(), "ada", AgentProcess::kPassword);
    ac::Connection ruth(agent.Name(), "ruth", AgentProcess::kPassword);
    ac::Connection hal(agent.Name(), "hal", AgentProcess::kPassword);
    auto reload = [&](const std::string &users, const std::string &logged) {
        std::ofstream(agent.Home() / "users") << users;
        kill(agent.Pid(), SIGHUP);
        return Eventually([&] { return agent.Errors().find(logged) != std::string::npos; });
    };

    ASSERT_TRUE(reload("ada:" + hash + ":read\nhal:" + paagent::HashPassword("changed") + "\n",
                       "ended 2 sessions of users hal, ruth"));
    EXPECT_THAT(Refusal([&] { ada.Stop(Sleeper("web")); }).AgentText(),
                HasSubstr("user ada (read) may not stop processes"));
    for (ac::Connection *ended : {&ruth, &hal}) {
        EXPECT_NE(Refusal([&] { ended->Processes(); }).Code(), PaSUCCESS);
    }

    ASSERT_TRUE(reload("# nobody\n", "holds no user; the users are left as they were"));
    EXPECT_EQ(TryLogin(agent, "ada", AgentProcess::kPassword), PaSUCCESS);
}

}  // namespace
