// A reload makes the file's definitions the agent's as a client would, leaving running
// services as they are.
#include <gtest/gtest.h>

#include <map>

#include "agent_fixture.h"

namespace {

using namespace paagent;
using namespace paagent::testing;

ServiceSpec Service(const std::string &name, const std::string &command)
{
    return MakeService(name, {MakeProcess(name + "-member", command)});
}

TEST(AgentReload, ChangesWhatIsStoppedAndLeavesWhatRuns)
{
    TempDir home;
    Agent agent(OptionsLoggingTo(home.path()));
    const std::string before = "exec sleep 30", after = "exec sleep 31";
    agent.load(
        {{Service("idle", before), Service("busy", before), Service("gone-idle", before), Service("gone-busy", before)},
         {{"node1", "OLD"}}});
    GroupKiller killer;
    for (const char *running : {"busy", "gone-busy"}) {
        agent.start_service(Service(running, before));
        killer.add(agent.process_status(std::string(running) + "-member", "node1").pid);
    }

    agent.reload({{Service("idle", after), Service("busy", after), Service("fresh", after)}, {{"node1", "NEW"}}});

    std::map<std::string, std::string> commands;
    for (const ServiceSpec &service : agent.services(false))
        commands[service.name] = service.members[0].process.command;
    const std::map<std::string, std::string> expected = {
        {"idle", after}, {"busy", before}, {"fresh", after}, {"gone-busy", before}};
    EXPECT_EQ(commands, expected);
    EXPECT_EQ(agent.routes(0), (std::vector<Route>{{"node1", "NEW"}}));
    EXPECT_EQ(agent.service_status("busy").state, ServiceState::Running);
    EXPECT_EQ(agent.process_status("idle-member", "node1").definition.command, after);
    EXPECT_THROW(agent.process_status("gone-idle-member", "node1"), AgentError);
    agent.stop_all_processes();
}

}  // namespace
