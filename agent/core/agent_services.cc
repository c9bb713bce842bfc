// The agent's services and routing table, and keeping their definitions on disk.
#include <algorithm>
#include <map>
#include <set>
#include <utility>

#include "core/agent_process.h"

namespace paagent {

namespace {

// Whether a peer's list of what runs holds the process.
bool listed(const std::vector<ProcessView> &running, const ProcessSpec &process)
{
    return std::any_of(running.begin(), running.end(), [&](const ProcessView &view) {
        return view.definition.name == process.name && view.definition.host == process.host;
    });
}

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

ServiceState state_of(std::int32_t running_members, std::size_t members)
{
    if (running_members == 0)
        return ServiceState::Stopped;
    return running_members == static_cast<std::int32_t>(members) ? ServiceState::Running : ServiceState::Partial;
}

// The one text of the failures of a request that went on past them.
std::string joined(const std::vector<std::string> &failures)
{
    std::string text;
    for (const auto &failure : failures)
        text += (text.empty() ? "" : "; ") + failure;
    return text;
}

}  // namespace

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

void Agent::restore_file()
{
    Definitions current;
    {
        std::lock_guard lock(mutex_);
        current = {services_, routes_};
    }
    try {
        persist(current);
    } catch (const AgentError &error) {
        log(Verbosity::Error, error.what());
    }
}

void Agent::change_definitions(const std::function<Definitions()> &check, const std::function<void(Definitions)> &apply)
{
    std::lock_guard changing(changing_);
    Definitions next;
    {
        std::lock_guard lock(mutex_);
        next = check();
    }
    persist(next);
    try {
        std::lock_guard lock(mutex_);
        apply(std::move(next));
    } catch (const AgentError &) {
        restore_file();
        throw;
    }
}

void Agent::load(const Definitions &definitions)
{
    std::lock_guard lock(mutex_);
    // Before the members: the routing table tells which of them are this agent's.
    routes_ = definitions.routes;
    for (const auto &service : definitions.services) {
        check_members(service);
        define_members(service);
    }
    services_ = definitions.services;
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
            Lock lock(mutex_);
            refuse_when_shutting_down();
            start_members(lock, service);
        } catch (const AgentError &error) {
            log(Verbosity::Error, "automatic start of service " + service.name + ": " + error.what());
        }
    }
}

void Agent::forget_unlisted_processes(const ServiceSpec &removed)
{
    // Member processes no other service names are forgotten with the service.
    for (const auto &member : removed.members) {
        bool shared        = std::any_of(services_.begin(), services_.end(), [&](const ServiceSpec &s) {
            return std::any_of(s.members.begin(), s.members.end(),
                                      [&](const ServiceMember &m) { return m.process.name == member.process.name; });
        });
        ProcessPtr process = lookup(member.process.name);
        if (!shared && process != nullptr && !process->active())
            processes_.erase(member.process.name);
    }
}

std::optional<ServiceSpec> Agent::reloaded(const std::optional<ServiceSpec> &current,
                                           const std::optional<ServiceSpec> &wanted) const
{
    const std::string &name = current ? current->name : wanted->name;
    if (current && wanted && *current == *wanted)
        return current;
    if (current && status_of(*current).running_members != 0) {
        log(Verbosity::Error, "reload: service " + name + " is running; it is left as it is until it is stopped " +
                                  "and the file read again");
        return current;
    }
    if (wanted) {
        try {
            check_members_definable(*wanted);
        } catch (const AgentError &error) {
            log(Verbosity::Error, "reload: service " + name + " is left as it is: " + error.what());
            return current;
        }
    }
    log(Verbosity::Event, std::string("reload: ") +
                              (!current ? "added"
                               : wanted ? "changed"
                                        : "removed") +
                              " service " + name);
    return wanted;
}

void Agent::reload(const Definitions &file)
{
    std::lock_guard changing(changing_);
    std::lock_guard lock(mutex_);
    auto in = [](const std::vector<ServiceSpec> &services, const std::string &name) -> std::optional<ServiceSpec> {
        auto found =
            std::find_if(services.begin(), services.end(), [&](const ServiceSpec &s) { return s.name == name; });
        return found == services.end() ? std::nullopt : std::optional(*found);
    };
    if (routes_ != file.routes) {
        routes_ = file.routes;
        log(Verbosity::Event, "reload: replaced the routing table");
    }
    std::vector<ServiceSpec> next;
    std::vector<ServiceSpec> removed;
    for (const auto &wanted : file.services) {
        if (auto kept = reloaded(in(services_, wanted.name), wanted))
            next.push_back(*kept);
    }
    for (const auto &current : services_) {
        if (in(file.services, current.name))
            continue;
        if (auto kept = reloaded(current, std::nullopt)) {
            next.push_back(*kept);
        } else {
            removed.push_back(current);
        }
    }
    services_ = std::move(next);
    for (const auto &service : services_)
        define_members(service);
    for (const auto &service : removed)
        forget_unlisted_processes(service);
}

std::vector<Agent::ProcessPtr> Agent::members(const ServiceSpec &definition) const
{
    std::vector<ProcessPtr> found;
    for (const auto &member : definition.members) {
        if (!serves(member.process.host))
            continue;
        if (ProcessPtr process = lookup(member.process.name))
            found.push_back(std::move(process));
    }
    return found;
}

void Agent::check_members_definable(const ServiceSpec &definition) const
{
    for (const auto &member : definition.members) {
        if (serves(member.process.host))
            check_definable(member.process);
    }
}

void Agent::define_members(const ServiceSpec &definition)
{
    check_members_definable(definition);
    for (const auto &member : definition.members) {
        if (serves(member.process.host))
            define(member.process);
    }
}

void Agent::start_members(Lock &lock, const ServiceSpec &definition)
{
    // A member started on its own since may have run under another definition.
    define_members(definition);
    for (const auto &member : definition.members) {
        if (!serves(member.process.host)) {
            // Started by its own agent, in its turn; the value stays with this agent.
            const std::string server = *route(member.process.host);
            Unlocked unlocked(lock);
            if (!runs_remotely(server, member.process))
                options_.peers->start(server, member.process, 0, {});
            continue;
        }
        // Each launch releases the lock: look the member up again every time.
        ProcessPtr process = lookup(member.process.name);
        if (process != nullptr && !process->active()) {
            process->restarts = 0;
            launch(lock, process, {}, member_environment(member.value));
        }
    }
    log(Verbosity::Event, "started service " + definition.name);
}

ServiceStatus Agent::status_of(const ServiceSpec &definition) const
{
    ServiceStatus status;
    for (const auto &process : members(definition)) {
        if (process->pid != 0)
            ++status.running_members;
    }
    status.state = state_of(status.running_members, definition.members.size());
    return status;
}

void Agent::refuse_when_active(const ServiceSpec &definition) const
{
    for (const auto &process : members(definition)) {
        if (process->active())
            throw AgentError("service " + definition.name + " is running; stop it first");
    }
}

void Agent::add_service(const ServiceSpec &definition)
{
    check_members(definition);
    change_definitions(
        [&] {
            if (find_service(definition.name) != services_.end())
                throw AgentError("service " + definition.name + " is already defined");
            check_members_definable(definition);
            Definitions next{services_, routes_};
            next.services.push_back(definition);
            return next;
        },
        [&](Definitions next) {
            define_members(definition);
            services_ = std::move(next.services);
        });
    log(Verbosity::Event, "added service " + definition.name);
}

void Agent::start_service(const ServiceSpec &definition)
{
    check_members(definition);
    bool in_force = false;
    {
        std::lock_guard lock(mutex_);
        refuse_when_shutting_down();
        auto existing = find_service(definition.name);
        in_force      = existing != services_.end() && *existing == definition;
    }
    if (!in_force) {
        // A new or different definition is saved before anything starts.
        auto check = [&] {
            auto existing = find_service(definition.name);
            if (existing != services_.end() && status_of(*existing).running_members != 0)
                throw AgentError("service " + definition.name + " is running with another definition");
            check_members_definable(definition);
        };
        change_definitions(
            [&] {
                check();
                Definitions next{services_, routes_};
                auto existing = std::find_if(next.services.begin(), next.services.end(),
                                             [&](const ServiceSpec &s) { return s.name == definition.name; });
                if (existing == next.services.end()) {
                    next.services.push_back(definition);
                } else {
                    *existing = definition;
                }
                return next;
            },
            [&](Definitions next) {
                check();
                define_members(definition);
                services_ = std::move(next.services);
            });
    }
    Lock lock(mutex_);
    refuse_when_shutting_down();
    start_members(lock, definition);
}

void Agent::stop_service(const std::string &name)
{
    Lock lock(mutex_);
    refuse_when_shutting_down();
    auto service = find_service(name);
    if (service == services_.end())
        throw AgentError("unknown service " + name);
    const ServiceSpec definition = *service;
    // In reverse order: this agent's members that come together are stopped together, each
    // member of another host by its agent. A failure stops no other member from stopping, but
    // an agent that failed once is not asked again, so that one that does not answer costs its
    // time-out once.
    std::vector<std::string> failures;
    std::set<std::string> failed_peers;
    std::vector<ProcessPtr> stopping;
    auto stop_local = [&] {
        if (!stopping.empty())
            stop(lock, std::exchange(stopping, {}), Waiting::UntilShutDown);
    };
    for (auto member = definition.members.rbegin(); member != definition.members.rend(); ++member) {
        try {
            if (serves(member->process.host)) {
                if (ProcessPtr process = lookup(member->process.name))
                    stopping.push_back(std::move(process));
                continue;
            }
            stop_local();
            const std::string server = *route(member->process.host);
            if (failed_peers.contains(server))
                throw AgentError("process " + member->process.name + " was left to " + server + ", which failed");
            Unlocked unlocked(lock);
            try {
                if (runs_remotely(server, member->process))
                    options_.peers->stop(server, member->process);
            } catch (const AgentError &) {
                failed_peers.insert(server);
                throw;
            }
        } catch (const AgentError &error) {
            failures.push_back(error.what());
        }
    }
    stop_local();
    if (!failures.empty())
        throw AgentError("service " + name + " did not stop whole: " + joined(failures));
    log(Verbosity::Event, "stopped service " + name);
}

void Agent::remove_service(const std::string &name)
{
    auto position = [&] {
        auto service = find_service(name);
        if (service == services_.end())
            throw AgentError("unknown service " + name);
        refuse_when_active(*service);
        return static_cast<std::size_t>(service - services_.begin());
    };
    change_definitions(
        [&] {
            Definitions next{services_, routes_};
            next.services.erase(next.services.begin() + static_cast<std::ptrdiff_t>(position()));
            return next;
        },
        [&](Definitions next) {
            const ServiceSpec removed = services_[position()];
            services_                 = std::move(next.services);
            forget_unlisted_processes(removed);
        });
    log(Verbosity::Event, "removed service " + name);
}

void Agent::change_service(const std::string &old_name, const ServiceSpec &definition)
{
    check_members(definition);
    auto position = [&] {
        auto service = find_service(old_name);
        if (service == services_.end())
            throw AgentError("unknown service " + old_name);
        refuse_when_active(*service);
        if (definition.name != old_name && find_service(definition.name) != services_.end())
            throw AgentError("service " + definition.name + " is already defined");
        check_members_definable(definition);
        return static_cast<std::size_t>(service - services_.begin());
    };
    change_definitions(
        [&] {
            Definitions next{services_, routes_};
            next.services[position()] = definition;
            return next;
        },
        [&](Definitions next) {
            position();
            define_members(definition);
            services_ = std::move(next.services);
        });
    log(Verbosity::Event, "changed service " + old_name);
}

ServiceStatus Agent::service_status(const std::string &name) const
{
    ServiceSpec definition;
    ServiceStatus status;
    {
        std::lock_guard lock(mutex_);
        auto service = find_service(name);
        if (service == services_.end())
            throw AgentError("unknown service " + name);
        definition = *service;
        status     = status_of(definition);
    }
    // Each peer is asked once what it runs, however many members it has.
    std::map<std::string, std::vector<ProcessView>> remote;
    for (const auto &member : definition.members) {
        const std::optional<std::string> server = peer_of(member.process.host);
        if (!server)
            continue;
        auto [running, first] = remote.try_emplace(*server);
        if (first)
            running->second = options_.peers->running(*server);
        if (listed(running->second, member.process))
            ++status.running_members;
    }
    status.state = state_of(status.running_members, definition.members.size());
    return status;
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

std::optional<std::string> Agent::route(const std::string &host) const
{
    if (!options_.peers || host.empty() || host == options_.host_name || host == "localhost")
        return std::nullopt;
    auto entry = std::find_if(routes_.begin(), routes_.end(), [&](const Route &r) { return r.host == host; });
    if (entry == routes_.end()) {
        throw AgentError("no route to host " + host + ": it is not this agent's host (" + options_.host_name +
                         ") and the routing table names no agent for it");
    }
    return entry->server == options_.server_name ? std::nullopt : std::optional(entry->server);
}

bool Agent::serves(const std::string &host) const
{
    try {
        return !route(host);
    } catch (const AgentError &) {
        return false;
    }
}

std::optional<std::string> Agent::peer_of(const std::string &host) const
{
    std::lock_guard lock(mutex_);
    return route(host);
}

bool Agent::runs_remotely(const std::string &server, const ProcessSpec &process) const
{
    return listed(options_.peers->running(server), process);
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
    change_definitions(
        [&] {
            if (std::find(routes_.begin(), routes_.end(), route) != routes_.end())
                throw AgentError("route " + route.host + " to " + route.server + " is already defined");
            Definitions next{services_, routes_};
            next.routes.push_back(route);
            return next;
        },
        [&](Definitions next) { routes_ = std::move(next.routes); });
}

void Agent::remove_route(const Route &route)
{
    change_definitions(
        [&] {
            Definitions next{services_, routes_};
            auto found = std::find(next.routes.begin(), next.routes.end(), route);
            if (found == next.routes.end())
                throw AgentError("no route " + route.host + " to " + route.server);
            next.routes.erase(found);
            return next;
        },
        [&](Definitions next) { routes_ = std::move(next.routes); });
}

}  // namespace paagent
