#include "core/router.h"

#include <algorithm>
#include <iterator>

#include "core/agent_types.h"

namespace paagent {

std::optional<std::string> PeerOf(const std::vector<Route> &routes, const Here &here, const std::string &host)
{
    if (!here.forwards || host.empty() || host == here.host_name || host == "localhost") {
        return std::nullopt;
    }
    auto entry = std::find_if(routes.begin(), routes.end(), [&](const Route &r) { return r.host == host; });
    if (entry == routes.end()) {
        throw AgentError("no route to host " + host + ": it is not this agent's host (" + here.host_name +
                         ") and the routing table names no agent for it");
    }
    return entry->server == here.server_name ? std::nullopt : std::optional(entry->server);
}

bool Serves(const std::vector<Route> &routes, const Here &here, const std::string &host)
{
    try {
        return !PeerOf(routes, here, host);
    } catch (const AgentError &) {
        return false;
    }
}

std::vector<Route> Selected(const std::vector<Route> &routes, const Here &here, std::int32_t selector)
{
    if (selector == kEveryRoute) {
        return routes;
    }
    if (selector != kOwnRoutes) {
        throw AgentError("unknown routing selector " + std::to_string(selector));
    }
    std::vector<Route> own;
    std::copy_if(routes.begin(), routes.end(), std::back_inserter(own),
                 [&](const Route &route) { return route.server == here.server_name; });
    return own;
}

}  // namespace paagent
