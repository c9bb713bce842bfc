// Who asks for a change and what becomes of it: each request that changes something leaves one
// line in the agent's log at the default verbosity, naming its login, where it came from, the
// client program, what it asked for and the outcome.
#ifndef PAAGENT_CORE_AUDIT_H
#define PAAGENT_CORE_AUDIT_H

#include <string>
#include <string_view>

#include <protocol/rpc_table.h>

#include "tds/request.h"

namespace paagent {

// Whether requests of rpc are audited: those that need more than the read role.
bool Audited(pa::protocol::Rpc rpc);

// "audit: user alice from 127.0.0.1, application pactl: stop processes: process web of host
// h: done"; outcome is "done", "refused: <why>" or "failed: <why>".
std::string AuditLine(const tds::SessionInfo &session, std::string_view what, std::string_view outcome);

}  // namespace paagent

#endif  // PAAGENT_CORE_AUDIT_H
