// Which agent serves a host: answers of the routing table alone, for this agent's place in it.
#ifndef PAAGENT_CORE_ROUTER_H
#define PAAGENT_CORE_ROUTER_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/records.h"

namespace paagent {

// This agent as the routing table sees it.
struct Here {
    std::string server_name;
    // "localhost", the empty host and the hosts the table gives to server_name are its own too.
    std::string host_name;
    // Whether it can forward requests at all: an agent without peers serves every host itself.
    bool forwards = false;
};

// The selectors of a routing table listing.
inline constexpr std::int32_t kEveryRoute = 0;
inline constexpr std::int32_t kOwnRoutes  = 1;

// The agent server a request for a process of host goes to; none when this agent serves host
// itself. Throws AgentError when host is neither its own nor in the routing table.
std::optional<std::string> PeerOf(const std::vector<Route> &routes, const Here &here, const std::string &host);
// Whether host is this agent's own: false for another host, routed or not.
bool Serves(const std::vector<Route> &routes, const Here &here, const std::string &host);
// The routes of a listing: every one, or those served by this agent. Throws AgentError for
// another selector.
std::vector<Route> Selected(const std::vector<Route> &routes, const Here &here, std::int32_t selector);

}  // namespace paagent

#endif  // PAAGENT_CORE_ROUTER_H
