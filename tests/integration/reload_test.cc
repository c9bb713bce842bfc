// SIGHUP makes the agent read its users file and configuration file again.
#include "support/client.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <csignal>
#include <fstream>

#include "core/users.h"

namespace {

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
    AgentProcess agent;
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

    std::ofstream(agent.Home() / "users") << AgentProcess::kUser << ":" << paagent::HashPassword("changed") << "\n";
    ASSERT_TRUE(reload(1));
    EXPECT_EQ(TryLogin(agent, AgentProcess::kUser, "changed"), PaSUCCESS);
    EXPECT_NE(TryLogin(agent, AgentProcess::kUser, AgentProcess::kPassword), PaSUCCESS);

    std::ofstream(agent.Home() / "users") << "# users\nno colon here\n";
    // Cut before the services: read as it is, the file would remove the stopped service.
    const std::string config = ReadText(agent.Home() / "pa.cfg");
    std::ofstream(agent.Home() / "pa.cfg") << config.substr(0, config.find("zeb_service"));
    ASSERT_TRUE(reload(2));
    EXPECT_THAT(agent.Errors(),
                HasSubstr("users:2: expected user:hash[:role[:uids]]; the users are left as they were"));
    EXPECT_THAT(agent.Errors(), testing::ContainsRegex("pa.cfg: line [0-9]+: the file looks cut short: .*; the "
                                                       "definitions are left as they were"));
    EXPECT_EQ(TryLogin(agent, AgentProcess::kUser, "changed"), PaSUCCESS);
    EXPECT_EQ(FetchServices(handle.get(), 1), services);
}

}  // namespace
