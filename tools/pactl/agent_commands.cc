#include "agent_commands.h"

#include <functional>

namespace patools {

namespace ac = agentclient;

namespace {

// Does action to the agent and says so: "PASRV: stopped every process".
Exit AgentAction(Session &session, const Output &output, const std::string &action, const std::string &done,
                 const std::function<void(ac::Connection &)> &call)
{
    ac::Connection &agent = session.Agent();
    call(agent);
    output.Outcomes({{agent.Server() + ": " + done, {{"action", action}, {"server", agent.Server()}}}});
    return Exit::kDone;
}

Exit RouteAction(Session &session, const Output &output, const ac::Route &route, const std::string &done,
                 const std::function<void(ac::Connection &)> &call)
{
    call(session.Agent());
    Json record = {{"action", done}};
    record.update(RouteRecord(route));
    output.Outcomes({{done + " route " + route.host + " to " + route.server, std::move(record)}});
    return Exit::kDone;
}

}  // namespace

Json VersionRecords(ac::Connection &agent)
{
    const ac::Version version = agent.GetVersion();
    return Json::array({{{"server", agent.Server()},
                         {"version", std::to_string(version.major) + "." + std::to_string(version.minor)},
                         {"major", version.major},
                         {"minor", version.minor}}});
}

Exit DebugLevel(Session &session, const Output &output, std::optional<std::int32_t> level)
{
    ac::Connection &agent = session.Agent();
    if (level) {
        agent.SetDebugLevel(*level);
    }
    const std::int32_t now = agent.DebugLevel();
    output.Outcomes({{agent.Server() + ": debug level " + std::to_string(now),
                      {{"action", level ? "set" : "read"}, {"server", agent.Server()}, {"debug_level", now}}}});
    return Exit::kDone;
}

Exit Notify(Session &session, const Output &output)
{
    return AgentAction(session, output, "notify", "generated a notification",
                       [](ac::Connection &agent) { agent.GenerateNotification(); });
}

Exit WhoAmI(Session &session, const Output &output)
{
    const ac::Login login = session.Agent().WhoAmI();
    if (output.AsJson()) {
        output.Document({{"user", login.user}, {"role", login.role}, {"uids", login.uids}});
    } else {
        output.Outcomes({{"user " + login.user + ", role " + login.role + ", uids " + login.uids, {}}});
    }
    return Exit::kDone;
}

Exit StopAll(Session &session, const Output &output)
{
    return AgentAction(session, output, "stop-all", "stopped every process",
                       [](ac::Connection &agent) { agent.StopAllProcesses(); });
}

Exit StartAll(Session &session, const Output &output)
{
    return AgentAction(session, output, "start-all", "started every process",
                       [](ac::Connection &agent) { agent.StartAllProcesses(); });
}

Exit StopAgent(Session &session, const Output &output, bool processes)
{
    return AgentAction(session, output, "stop", processes ? "stopping, with its processes" : "stopping",
                       [processes](ac::Connection &agent) { agent.StopAgent(processes ? 1 : 0); });
}

Exit ListRoutes(Session &session, const Output &output)
{
    output.Records(kRouteColumns, RouteRecords(session.Agent().Routes()));
    return Exit::kDone;
}

Exit AddRoute(Session &session, const Output &output, const ac::Route &route)
{
    return RouteAction(session, output, route, "added", [&](ac::Connection &agent) { agent.Add(route); });
}

Exit RemoveRoute(Session &session, const Output &output, const ac::Route &route)
{
    return RouteAction(session, output, route, "removed", [&](ac::Connection &agent) { agent.Remove(route); });
}

}  // namespace patools
