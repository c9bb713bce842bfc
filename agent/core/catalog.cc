#include "core/catalog.h"

#include <algorithm>
#include <utility>

#include "core/event_log.h"

namespace paagent {

void CheckService(const Service &definition)
{
    if (definition.name.empty()) {
        throw AgentError("a service needs a name");
    }
    for (std::size_t i = 0; i < definition.members.size(); ++i) {
        for (std::size_t j = 0; j < i; ++j) {
            if (definition.members[i].process.name == definition.members[j].process.name) {
                throw AgentError("service " + definition.name + " lists process " + definition.members[i].process.name +
                                 " twice");
            }
        }
    }
}

ServiceState StateOf(std::int32_t running_members, std::size_t members)
{
    if (running_members == 0) {
        return ServiceState::kStopped;
    }
    return running_members == static_cast<std::int32_t>(members) ? ServiceState::kRunning : ServiceState::kPartial;
}

Catalog::Catalog(CatalogOptions options, MemberProcesses &processes)
    : options_(std::move(options)), processes_(processes)
{
}

void Catalog::Log(Verbosity verbosity, const std::string &text) const
{
    if (options_.log) {
        options_.log(verbosity, text);
    }
}

std::vector<Service>::const_iterator Catalog::FindService(const std::string &name) const
{
    return std::find_if(services_.begin(), services_.end(), [&](const Service &s) { return s.name == name; });
}

void Catalog::Persist(const Definitions &next)
{
    if (!options_.persist) {
        return;
    }
    try {
        options_.persist(next);
    } catch (const std::exception &error) {
        throw AgentError(std::string("cannot save the configuration: ") + error.what());
    }
}

void Catalog::RestoreFile()
{
    Definitions current;
    {
        std::lock_guard lock(mutex_);
        current = {services_, routes_};
    }
    try {
        Persist(current);
    } catch (const AgentError &error) {
        Log(Verbosity::kError, error.what());
    }
}

void Catalog::ChangeDefinitions(const std::function<Definitions()> &check,
                                const std::function<void(Definitions)> &apply)
{
    std::lock_guard changing(changing_);
    Definitions next;
    {
        std::lock_guard lock(mutex_);
        next = check();
    }
    Persist(next);
    try {
        std::lock_guard lock(mutex_);
        apply(std::move(next));
    } catch (const AgentError &) {
        RestoreFile();
        throw;
    }
}

void Catalog::Load(const Definitions &definitions)
{
    std::lock_guard lock(mutex_);
    // Before the members: the routing table tells which of them are this agent's.
    routes_ = definitions.routes;
    for (const auto &service : definitions.services) {
        CheckService(service);
        DefineMembersLocked(service);
    }
    services_ = definitions.services;
}

void Catalog::ForgetUnlistedProcesses(const Service &removed)
{
    // Member processes no other service names are forgotten with the service.
    std::vector<std::string> unlisted;
    for (const auto &member : removed.members) {
        bool shared = std::any_of(services_.begin(), services_.end(), [&](const Service &s) {
            return std::any_of(s.members.begin(), s.members.end(),
                               [&](const Member &m) { return m.process.name == member.process.name; });
        });
        if (!shared) {
            unlisted.push_back(member.process.name);
        }
    }
    processes_.Forget(unlisted);
}

std::vector<Process> Catalog::LocalDefinitions(const Service &definition) const
{
    std::vector<Process> local;
    for (const auto &member : definition.members) {
        if (Serves(routes_, options_.here, member.process.host)) {
            local.push_back(member.process);
        }
    }
    return local;
}

std::vector<std::string> Catalog::LocalMembers(const Service &definition) const
{
    std::vector<std::string> names;
    for (const auto &process : LocalDefinitions(definition)) {
        names.push_back(process.name);
    }
    return names;
}

void Catalog::CheckMembersDefinable(const Service &definition) const
{
    processes_.CheckDefinable(LocalDefinitions(definition));
}

void Catalog::DefineMembersLocked(const Service &definition) { processes_.Define(LocalDefinitions(definition)); }

void Catalog::DefineMembers(const Service &definition)
{
    std::lock_guard lock(mutex_);
    DefineMembersLocked(definition);
}

ServiceStatus Catalog::StatusOf(const Service &definition) const
{
    ServiceStatus status;
    status.running_members = processes_.Running(LocalMembers(definition));
    status.state           = StateOf(status.running_members, definition.members.size());
    return status;
}

ServiceStatus Catalog::LocalStatus(const Service &definition) const
{
    std::lock_guard lock(mutex_);
    return StatusOf(definition);
}

void Catalog::RefuseWhenActive(const Service &definition) const
{
    if (processes_.AnyActive(LocalMembers(definition))) {
        throw AgentError("service " + definition.name + " is running; stop it first");
    }
}

void Catalog::AddService(const Service &definition)
{
    CheckService(definition);
    ChangeDefinitions(
        [&] {
            if (FindService(definition.name) != services_.end()) {
                throw AgentError("service " + definition.name + " is already defined");
            }
            CheckMembersDefinable(definition);
            Definitions next{services_, routes_};
            next.services.push_back(definition);
            return next;
        },
        [&](Definitions next) {
            DefineMembersLocked(definition);
            services_ = std::move(next.services);
        });
    Log(Verbosity::kEvent, "added service " + definition.name);
}

void Catalog::PutService(const Service &definition)
{
    CheckService(definition);
    {
        std::lock_guard lock(mutex_);
        auto existing = FindService(definition.name);
        if (existing != services_.end() && *existing == definition) {
            return;
        }
    }
    // A new or different definition is saved before anything starts.
    auto check = [&] {
        auto existing = FindService(definition.name);
        if (existing != services_.end() && StatusOf(*existing).running_members != 0) {
            throw AgentError("service " + definition.name + " is running with another definition");
        }
        CheckMembersDefinable(definition);
    };
    ChangeDefinitions(
        [&] {
            check();
            Definitions next{services_, routes_};
            auto existing = std::find_if(next.services.begin(), next.services.end(),
                                         [&](const Service &s) { return s.name == definition.name; });
            if (existing == next.services.end()) {
                next.services.push_back(definition);
            } else {
                *existing = definition;
            }
            return next;
        },
        [&](Definitions next) {
            check();
            DefineMembersLocked(definition);
            services_ = std::move(next.services);
        });
}

void Catalog::RemoveService(const std::string &name)
{
    auto position = [&] {
        auto service = FindService(name);
        if (service == services_.end()) {
            throw AgentError("unknown service " + name);
        }
        RefuseWhenActive(*service);
        return static_cast<std::size_t>(service - services_.begin());
    };
    ChangeDefinitions(
        [&] {
            Definitions next{services_, routes_};
            next.services.erase(next.services.begin() + static_cast<std::ptrdiff_t>(position()));
            return next;
        },
        [&](Definitions next) {
            const Service removed = services_[position()];
            services_             = std::move(next.services);
            ForgetUnlistedProcesses(removed);
        });
    Log(Verbosity::kEvent, "removed service " + name);
}

void Catalog::ChangeService(const std::string &old_name, const Service &definition)
{
    CheckService(definition);
    auto position = [&] {
        auto service = FindService(old_name);
        if (service == services_.end()) {
            throw AgentError("unknown service " + old_name);
        }
        RefuseWhenActive(*service);
        if (definition.name != old_name && FindService(definition.name) != services_.end()) {
            throw AgentError("service " + definition.name + " is already defined");
        }
        CheckMembersDefinable(definition);
        return static_cast<std::size_t>(service - services_.begin());
    };
    ChangeDefinitions(
        [&] {
            Definitions next{services_, routes_};
            next.services[position()] = definition;
            return next;
        },
        [&](Definitions next) {
            position();
            DefineMembersLocked(definition);
            services_ = std::move(next.services);
        });
    Log(Verbosity::kEvent, "changed service " + old_name);
}

Service Catalog::Find(const std::string &name) const
{
    std::lock_guard lock(mutex_);
    auto service = FindService(name);
    if (service == services_.end()) {
        throw AgentError("unknown service " + name);
    }
    return *service;
}

std::optional<Service> Catalog::Stored(const std::string &name) const
{
    std::lock_guard lock(mutex_);
    auto service = FindService(name);
    return service == services_.end() ? std::nullopt : std::optional<Service>(*service);
}

std::vector<Service> Catalog::Services(bool running_only) const
{
    std::lock_guard lock(mutex_);
    std::vector<Service> result;
    for (const auto &service : services_) {
        if (!running_only || StatusOf(service).running_members != 0) {
            result.push_back(service);
        }
    }
    return result;
}

std::optional<std::string> Catalog::PeerOf(const std::string &host) const
{
    std::lock_guard lock(mutex_);
    return paagent::PeerOf(routes_, options_.here, host);
}

std::vector<Route> Catalog::Routes(std::int32_t selector) const
{
    std::lock_guard lock(mutex_);
    return Selected(routes_, options_.here, selector);
}

void Catalog::Emit(agentclient::Event event) const
{
    if (options_.emit) {
        options_.emit(std::move(event));
    }
}

void Catalog::EmitRouteChanges(const std::vector<Route> &before, const std::vector<Route> &after) const
{
    auto emit = [this](const std::vector<Route> &from, const std::vector<Route> &in, EventKind kind) {
        for (const Route &route : from) {
            if (std::find(in.begin(), in.end(), route) == in.end()) {
                agentclient::Event event = NewEvent(kind);
                event.host               = route.host;
                event.message            = route.server;
                Emit(std::move(event));
            }
        }
    };
    emit(before, after, EventKind::kRouteRemoved);
    emit(after, before, EventKind::kRouteAdded);
}

void Catalog::AddRoute(const Route &route)
{
    ChangeDefinitions(
        [&] {
            if (std::find(routes_.begin(), routes_.end(), route) != routes_.end()) {
                throw AgentError("route " + route.host + " to " + route.server + " is already defined");
            }
            Definitions next{services_, routes_};
            next.routes.push_back(route);
            return next;
        },
        [&](Definitions next) {
            EmitRouteChanges(routes_, next.routes);
            routes_ = std::move(next.routes);
        });
}

void Catalog::RemoveRoute(const Route &route)
{
    ChangeDefinitions(
        [&] {
            Definitions next{services_, routes_};
            auto found = std::find(next.routes.begin(), next.routes.end(), route);
            if (found == next.routes.end()) {
                throw AgentError("no route " + route.host + " to " + route.server);
            }
            next.routes.erase(found);
            return next;
        },
        [&](Definitions next) {
            EmitRouteChanges(routes_, next.routes);
            routes_ = std::move(next.routes);
        });
}

}  // namespace paagent
