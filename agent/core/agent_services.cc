// The agent's services and routing table, and keeping their definitions on disk.
#include <algorithm>

#include "core/agent_process.h"

namespace paagent {

namespace {

void check_members(const ServiceSpec &definition)
{
    if (definition.name.empty())
        throw AgentError("a service needs a name");
    for (std::size_t i = 0; i < definition.members.size(); ++i) {
        for (std::size_t j = 0; j < i; ++j) {
            if (definition.members[i].process.name == definition.members[j].process.name) {
                throw AgentError("service " + definition.name + " lists process " + definition.members[i].process.name +
                                 " twice");
            }
        }
    }
}

// The environment entry that hands a member its value; none for a member without one.
std::vector<std::string> member_environment(const MemberValue &value)
{
    if (const auto *number = std::get_if<std::int32_t>(&value))
        return {"PA_MEMBER_VALUE=" + std::to_string(*number)};
    if (const auto *text = std::get_if<std::string>(&value))
        return {"PA_MEMBER_VALUE=" + *text};
    return {};
}

}  // namespace

std::vector<ServiceSpec>::iterator Agent::find_service(const std::string &name)
{
    return std::find_if(services_.begin(), services_.end(), [&](const ServiceSpec &s) { return s.name == name; });
}

std::vector<ServiceSpec>::const_iterator Agent::find_service(const std::string &name) const
{
    return std::find_if(services_.begin(), services_.end(), [&](const ServiceSpec &s) { return s.name == name; });
}

void Agent::persist(const Definitions &next)
{
    if (!options_.persist)
        return;
    try {
        options_.persist(next);
    } catch (const std::exception &error) {
        throw AgentError(std::string("cannot save the configuration: ") + error.what());
    }
}

void Agent::commit(Definitions next)
{
    persist(next);
    services_ = std::move(next.services);
    routes_   = std::move(next.routes);
}

void Agent::load(const Definitions &definitions)
{
    std::lock_guard lock(mutex_);
    for (const auto &service : definitions.services) {
        check_members(service);
        define_members(service);
    }
    services_ = definitions.services;
    routes_   = definitions.routes;
}

void Agent::start_automatic_services()
{
    std::vector<ServiceSpec> automatic;
    {
        std::lock_guard lock(mutex_);
        std::copy_if(services_.begin(), services_.end(), std::back_inserter(automatic),
                     [](const ServiceSpec &s) { return s.starts_automatically(); });
    }
    std::stable_partition(automatic.begin(), automatic.end(), [](const ServiceSpec &s) { return s.is_master(); });
    for (const auto &service : automatic) {
        try {
            std::lock_guard lock(mutex_);
            start_members(service);
        } catch (const AgentError &error) {
            log(Verbosity::Error, "automatic start of service " + service.name + ": " + error.what());
        }
    }
}

void Agent::define_members(const ServiceSpec &definition)
{
    for (const auto &member : definition.members)
        define(member.process);
}

void Agent::start_members(const ServiceSpec &definition)
{
    define_members(definition);
    for (const auto &member : definition.members) {
        Process *process = lookup(member.process.name);
        if (process != nullptr && process->pid == 0) {
            process->restarts = 0;
            launch(*process, {}, member_environment(member.value));
        }
    }
    log(Verbosity::Event, "started service " + definition.name);
}

ServiceStatus Agent::status_of(const ServiceSpec &definition) const
{
    ServiceStatus status;
    for (const auto &member : definition.members) {
        const Process *process = lookup(member.process.name);
        if (process != nullptr && process->pid != 0)
            ++status.running_members;
    }
    if (status.running_members == 0) {
        status.state = ServiceState::Stopped;
    } else if (status.running_members == static_cast<std::int32_t>(definition.members.size())) {
        status.state = ServiceState::Running;
    } else {
        status.state = ServiceState::Partial;
    }
    return status;
}

void Agent::add_service(const ServiceSpec &definition)
{
    std::lock_guard lock(mutex_);
    check_members(definition);
    if (find_service(definition.name) != services_.end())
        throw AgentError("service " + definition.name + " is already defined");
    define_members(definition);
    Definitions next{services_, routes_};
    next.services.push_back(definition);
    commit(std::move(next));
    log(Verbosity::Event, "added service " + definition.name);
}

void Agent::start_service(const ServiceSpec &definition)
{
    std::lock_guard lock(mutex_);
    check_members(definition);
    auto existing = find_service(definition.name);
    if (existing == services_.end() || !(*existing == definition)) {
        if (existing != services_.end() && status_of(*existing).running_members != 0) {
            throw AgentError("service " + definition.name + " is running with another definition");
        }
        define_members(definition);
        Definitions next{services_, routes_};
        if (existing == services_.end()) {
            next.services.push_back(definition);
        } else {
            next.services[static_cast<std::size_t>(existing - services_.begin())] = definition;
        }
        commit(std::move(next));
    }
    start_members(definition);
}

void Agent::stop_service(const std::string &name)
{
    Lock lock(mutex_);
    auto service = find_service(name);
    if (service == services_.end())
        throw AgentError("unknown service " + name);
    std::vector<std::string> members;
    for (auto member = service->members.rbegin(); member != service->members.rend(); ++member) {
        members.push_back(member->process.name);
    }
    stop(lock, members);
    log(Verbosity::Event, "stopped service " + name);
}

void Agent::remove_service(const std::string &name)
{
    std::lock_guard lock(mutex_);
    auto service = find_service(name);
    if (service == services_.end())
        throw AgentError("unknown service " + name);
    if (status_of(*service).running_members != 0)
        throw AgentError("service " + name + " is running; stop it first");
    Definitions next{services_, routes_};
    next.services.erase(next.services.begin() + (service - services_.begin()));
    std::vector<std::string> members;
    for (const auto &member : service->members)
        members.push_back(member.process.name);
    commit(std::move(next));
    // Member processes no other service names are forgotten with the service.
    for (const auto &member : members) {
        bool shared = std::any_of(services_.begin(), services_.end(), [&](const ServiceSpec &s) {
            return std::any_of(s.members.begin(), s.members.end(),
                               [&](const ServiceMember &m) { return m.process.name == member; });
        });
        if (!shared)
            processes_.erase(member);
    }
    log(Verbosity::Event, "removed service " + name);
}

void Agent::change_service(const std::string &old_name, const ServiceSpec &definition)
{
    std::lock_guard lock(mutex_);
    check_members(definition);
    auto service = find_service(old_name);
    if (service == services_.end())
        throw AgentError("unknown service " + old_name);
    if (status_of(*service).running_members != 0)
        throw AgentError("service " + old_name + " is running; stop it first");
    if (definition.name != old_name && find_service(definition.name) != services_.end()) {
        throw AgentError("service " + definition.name + " is already defined");
    }
    define_members(definition);
    Definitions next{services_, routes_};
    next.services[static_cast<std::size_t>(service - services_.begin())] = definition;
    commit(std::move(next));
    log(Verbosity::Event, "changed service " + old_name);
}

ServiceStatus Agent::service_status(const std::string &name) const
{
    std::lock_guard lock(mutex_);
    auto service = find_service(name);
    if (service == services_.end())
        throw AgentError("unknown service " + name);
    return status_of(*service);
}

std::vector<ServiceSpec> Agent::services(bool running_only) const
{
    std::lock_guard lock(mutex_);
    std::vector<ServiceSpec> result;
    for (const auto &service : services_) {
        if (!running_only || status_of(service).running_members != 0)
            result.push_back(service);
    }
    return result;
}

std::vector<Route> Agent::routes(std::int32_t selector) const
{
    std::lock_guard lock(mutex_);
    if (selector == 0)
        return routes_;
    if (selector != 1)
        throw AgentError("unknown routing selector " + std::to_string(selector));
    std::vector<Route> own;
    std::copy_if(routes_.begin(), routes_.end(), std::back_inserter(own),
                 [&](const Route &route) { return route.server == options_.server_name; });
    return own;
}

void Agent::add_route(const Route &route)
{
    std::lock_guard lock(mutex_);
    if (std::find(routes_.begin(), routes_.end(), route) != routes_.end()) {
        throw AgentError("route " + route.host + " to " + route.server + " is already defined");
    }
    Definitions next{services_, routes_};
    next.routes.push_back(route);
    commit(std::move(next));
}

void Agent::remove_route(const Route &route)
{
    std::lock_guard lock(mutex_);
    auto found = std::find(routes_.begin(), routes_.end(), route);
    if (found == routes_.end())
        throw AgentError("no route " + route.host + " to " + route.server);
    Definitions next{services_, routes_};
    next.routes.erase(next.routes.begin() + (found - routes_.begin()));
    commit(std::move(next));
}

}  // namespace paagent
