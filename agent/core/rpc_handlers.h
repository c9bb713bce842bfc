// The agent's RPCs: each one reads its parameters, acts on the supervisor, the catalog or the
// agent as a whole, and builds the reply.
#ifndef PAAGENT_CORE_RPC_HANDLERS_H
#define PAAGENT_CORE_RPC_HANDLERS_H

#include <functional>
#include <memory>
#include <string>

#include <protocol/inform_login.h>

#include "core/access.h"
#include "core/agent.h"
#include "tds/server.h"

namespace paagent {

// Message number of every request the agent refuses.
inline constexpr std::int32_t kRequestRefused = 20001;

// What a user of the users file may do, as the file says now; none for a user not in it.
using AccessOf = std::function<std::shared_ptr<const Access>(const std::string &user)>;

// Registers on server, by their protocol names, the RPCs the protocol contract says clients call;
// each request is checked against the contract, and against the role its user's access_of gives
// (see pa::protocol::kRpcRoles), before its handler acts. Throws std::logic_error when such an RPC
// has no handler or a handler serves an RPC outside them. stop_agent is called by the stop RPC,
// after its reply is built, with whether the agent's processes are to be stopped first.
void RegisterRpcs(tds::Server &server, Agent &agent, std::function<void(bool stop_processes)> stop_agent,
                  AccessOf access_of);

}  // namespace paagent

#endif  // PAAGENT_CORE_RPC_HANDLERS_H
