// Reading the configuration file again: what changed is taken on, except for running services.
#include <algorithm>
#include <utility>

#include "core/catalog.h"

#include "core/event_log.h"

namespace paagent {

std::optional<Service> Catalog::Reloaded(const std::optional<Service> &current,
                                         const std::optional<Service> &wanted) const
{
    const std::string &name = current ? current->name : wanted->name;
    if (current && wanted && *current == *wanted) {
        return current;
    }
    if (current && StatusOf(*current).running_members != 0) {
        Log(Verbosity::kError, "reload: service " + name + " is running; it is left as it is until it is stopped " +
                                   "and the file read again");
        return current;
    }
    if (wanted) {
        try {
            CheckMembersDefinable(*wanted);
        } catch (const AgentError &error) {
            Log(Verbosity::kError, "reload: service " + name + " is left as it is: " + error.what());
            return current;
        }
    }
    Log(Verbosity::kEvent, std::string("reload: ") +
                               (!current ? "added"
                                : wanted ? "changed"
                                         : "removed") +
                               " service " + name);
    return wanted;
}

void Catalog::Reload(const Definitions &file)
{
    std::lock_guard changing(changing_);
    std::lock_guard lock(mutex_);
    auto in = [](const std::vector<Service> &services, const std::string &name) -> std::optional<Service> {
        auto found = std::find_if(services.begin(), services.end(), [&](const Service &s) { return s.name == name; });
        return found == services.end() ? std::nullopt : std::optional(*found);
    };
    if (routes_ != file.routes) {
        EmitRouteChanges(routes_, file.routes);
        routes_ = file.routes;
        Log(Verbosity::kEvent, "reload: replaced the routing table");
    }
    std::vector<Service> next;
    std::vector<Service> removed;
    for (const auto &wanted : file.services) {
        if (auto kept = Reloaded(in(services_, wanted.name), wanted)) {
            next.push_back(*kept);
        }
    }
    for (const auto &current : services_) {
        if (in(file.services, current.name)) {
            continue;
        }
        if (auto kept = Reloaded(current, std::nullopt)) {
            next.push_back(*kept);
        } else {
            removed.push_back(current);
        }
    }
    services_ = std::move(next);
    for (const auto &service : services_) {
        DefineMembersLocked(service);
    }
    for (const auto &service : removed) {
        ForgetUnlistedProcesses(service);
    }
    Emit(NewEvent(EventKind::kReloaded));
}

}  // namespace paagent
