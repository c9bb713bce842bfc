// pactl's commands about the agent itself and its routing table.
#ifndef PACTL_AGENT_COMMANDS_H
#define PACTL_AGENT_COMMANDS_H

#include "failure.h"
#include "output.h"
#include "session.h"

#include <cstdint>
#include <optional>
#include <string>

namespace patools {

// The agent's version as a one-record array: server, version ("3.1"), major, minor.
Json VersionRecords(agentclient::Connection &agent);

// Shows the agent's debug level, after setting it when a level is given.
Exit DebugLevel(Session &session, const Output &output, std::optional<std::int32_t> level);
Exit Notify(Session &session, const Output &output);
// Shows the login as the agent sees it: "user alice, role operate, uids 1000,2000-2999", or with
// --json an object of user, role and uids.
Exit WhoAmI(Session &session, const Output &output);
Exit StopAll(Session &session, const Output &output);
Exit StartAll(Session &session, const Output &output);
// Stops the agent, and every process it runs first when processes is set.
Exit StopAgent(Session &session, const Output &output, bool processes);

Exit ListRoutes(Session &session, const Output &output);
Exit AddRoute(Session &session, const Output &output, const agentclient::Route &route);
Exit RemoveRoute(Session &session, const Output &output, const agentclient::Route &route);

}  // namespace patools

#endif  // PACTL_AGENT_COMMANDS_H
