// One question put to many agents at once: a thread and a connection for each agent, and the
// answers merged, each record tagged with its server.
#ifndef PATOOLS_FAN_OUT_H
#define PATOOLS_FAN_OUT_H

#include "records.h"
#include "session.h"

#include <functional>
#include <string>
#include <vector>

namespace patools {

// Reads an agent's answer as records; called on several threads at once.
using Question = std::function<Json(agentclient::Connection &)>;

// The records every server gave, in the order of servers, each with "server" first. A server
// that cannot be reached, refuses, or does not answer a call within the time-out gives one
// record of its "server" and the "error".
Json AskEach(const std::vector<std::string> &servers, const Credentials &credentials, const Question &question);

// The agent of the session and, after it, every other server its routing table names.
std::vector<std::string> AllServers(Session &session);
// The agent and, after it, every other server its routing table names.
std::vector<std::string> ServersRoutedBy(agentclient::Connection &agent);

}  // namespace patools

#endif  // PATOOLS_FAN_OUT_H
