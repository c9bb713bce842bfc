#include "core/audit.h"

#include <protocol/roles.h>

#include "core/request_user.h"

namespace paagent {

bool Audited(pa::protocol::Rpc rpc) { return pa::protocol::RoleOf(rpc).role > pa::protocol::Role::kRead; }

std::string AuditLine(const tds::SessionInfo &session, std::string_view what, std::string_view outcome)
{
    return "audit: user " + Requester(session) + " from " + session.address + ", application " + session.application +
           ": " + std::string(what) + ": " + std::string(outcome);
}

}  // namespace paagent
