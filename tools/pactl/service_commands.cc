#include "service_commands.h"

namespace patools {

namespace ac = agentclient;

namespace {

const std::vector<Column> kMemberColumns = {{"NAME", "name"}, {"HOST", "host"},   {"STATE", "state"},
                                            {"PID", "pid"},   {"VALUE", "value"}, {"COMMAND", "command"}};

// What happened to the service, with its state now: "started service web: running".
Outcome ServiceOutcome(ac::Connection &agent, const std::string &name, const std::string &done)
{
    Json record = {{"action", done}};
    record.update(DescribeService(agent, FindService(agent, name)));
    return {done + " service " + name + ": " + record["state"].get<std::string>(), std::move(record)};
}

ac::Service Named(const std::string &name) { return ac::Service{name, {}, {}, {}}; }

}  // namespace

Json ServiceRecords(ac::Connection &agent)
{
    Json records = Json::array();
    for (const ac::Service &service : agent.Services()) {
        records.push_back(DescribeService(agent, service));
    }
    return records;
}

Exit ShowService(Session &session, const Output &output, const std::string &name)
{
    ac::Connection &agent = session.Agent();
    const Json record     = DescribeService(agent, FindService(agent, name));
    output.Records(kServiceColumns, Json::array({record}));
    if (!output.AsJson()) {
        output.Records(kMemberColumns, record["members"]);
    }
    return Exit::kDone;
}

Exit StartService(Session &session, const Output &output, const std::string &name)
{
    ac::Connection &agent = session.Agent();
    agent.Start(FindService(agent, name));
    output.Outcomes({ServiceOutcome(agent, name, "started")});
    return Exit::kDone;
}

Exit StopService(Session &session, const Output &output, const std::string &name)
{
    ac::Connection &agent = session.Agent();
    agent.Stop(Named(name));
    output.Outcomes({ServiceOutcome(agent, name, "stopped")});
    return Exit::kDone;
}

Exit RemoveService(Session &session, const Output &output, const std::string &name)
{
    session.Agent().Remove(Named(name));
    output.Outcomes({{"removed service " + name, {{"action", "removed"}, {"name", name}}}});
    return Exit::kDone;
}

}  // namespace patools
