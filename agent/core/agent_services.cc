// The agent's services and routing table, and keeping their definitions on disk.
#include <algorithm>
#include <map>
#include <set>
#include <utility>

#include "core/agent.h"
#include "core/router.h"
#include "core/unlocked.h"

namespace paagent {

namespace {

// Whether a peer's list of what runs holds the process.
bool Listed(const std::vector<ProcessView> &running, const Process &process)
{
    return std::any_of(running.begin(), running.end(), [&](const ProcessView &view) {
        return view.definition.name == process.name && view.definition.host == process.host;
    });
}

void CheckMembers(const Service &definition)
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

// The environment entry that hands a member its value; none for a member without one.
std::vector<std::string> MemberEnvironment(const MemberValue &value)
{
    if (const auto *number = std::get_if<std::int32_t>(&value)) {
        return {"PA_MEMBER_VALUE=" + std::to_string(*number)};
    }
    if (const auto *text = std::get_if<std::string>(&value)) {
        return {"PA_MEMBER_VALUE=" + *text};
    }
    return {};
}

ServiceState StateOf(std::int32_t running_members, std::size_t members)
{
    if (running_members == 0) {
        return ServiceState::kStopped;
    }
    return running_members == static_cast<std::int32_t>(members) ? ServiceState::kRunning : ServiceState::kPartial;
}

// The one text of the failures of a request that went on past them.
std::string Joined(const std::vector<std::string> &failures)
{
    std::string text;
    for (const auto &failure : failures) {
        text += (text.empty() ? "" : "; ") + failure;
    }
    return text;
}

}  // namespace

std::vector<Service>::const_iterator Agent::FindService(const std::string &name) const
{
    return std::find_if(services_.begin(), services_.end(), [&](const Service &s) { return s.name == name; });
}

void Agent::Persist(const Definitions &next)
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

void Agent::RestoreFile()
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

void Agent::ChangeDefinitions(const std::function<Definitions()> &check, const std::function<void(Definitions)> &apply)
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

void Agent::Load(const Definitions &definitions)
{
    std::lock_guard lock(mutex_);
    // Before the members: the routing table tells which of them are this agent's.
    routes_ = definitions.routes;
    for (const auto &service : definitions.services) {
        CheckMembers(service);
        DefineMembers(service);
    }
    services_ = definitions.services;
}

void Agent::StartAutomaticServices()
{
    std::vector<Service> automatic;
    {
        std::lock_guard lock(mutex_);
        std::copy_if(services_.begin(), services_.end(), std::back_inserter(automatic),
                     [](const Service &s) { return s.start == ServiceStart::kAuto; });
    }
    std::stable_partition(automatic.begin(), automatic.end(),
                          [](const Service &s) { return s.type == ServiceType::kMaster; });
    for (const auto &service : automatic) {
        try {
            Lock lock(mutex_);
            RefuseWhenShuttingDown();
            StartMembers(lock, service);
        } catch (const AgentError &error) {
            Log(Verbosity::kError, "automatic start of service " + service.name + ": " + error.what());
        }
    }
}

void Agent::ForgetUnlistedProcesses(const Service &removed)
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
    supervisor_->Forget(unlisted);
}

std::optional<Service> Agent::Reloaded(const std::optional<Service> &current,
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

void Agent::Reload(const Definitions &file)
{
    std::lock_guard changing(changing_);
    std::lock_guard lock(mutex_);
    auto in = [](const std::vector<Service> &services, const std::string &name) -> std::optional<Service> {
        auto found = std::find_if(services.begin(), services.end(), [&](const Service &s) { return s.name == name; });
        return found == services.end() ? std::nullopt : std::optional(*found);
    };
    if (routes_ != file.routes) {
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
        DefineMembers(service);
    }
    for (const auto &service : removed) {
        ForgetUnlistedProcesses(service);
    }
}

std::vector<Process> Agent::LocalDefinitions(const Service &definition) const
{
    std::vector<Process> local;
    for (const auto &member : definition.members) {
        if (Serves(member.process.host)) {
            local.push_back(member.process);
        }
    }
    return local;
}

std::vector<std::string> Agent::LocalMembers(const Service &definition) const
{
    std::vector<std::string> names;
    for (const auto &process : LocalDefinitions(definition)) {
        names.push_back(process.name);
    }
    return names;
}

void Agent::CheckMembersDefinable(const Service &definition) const
{
    supervisor_->CheckDefinable(LocalDefinitions(definition));
}

void Agent::DefineMembers(const Service &definition) { supervisor_->Define(LocalDefinitions(definition)); }

void Agent::StartMembers(Lock &lock, const Service &definition)
{
    // A member started on its own since may have run under another definition.
    DefineMembers(definition);
    // In order: the members of this agent that come together are launched together, each
    // member of another host by its agent, in its turn; the value stays with this agent.
    std::vector<Launchable> local;
    auto start_local = [&] {
        if (!local.empty()) {
            Unlocked unlocked(lock);
            supervisor_->StartEach(std::exchange(local, {}));
        }
    };
    for (const auto &member : definition.members) {
        if (Serves(member.process.host)) {
            local.push_back({member.process, MemberEnvironment(member.value)});
            continue;
        }
        start_local();
        const std::string server = *RouteOf(member.process.host);
        Unlocked unlocked(lock);
        if (!RunsRemotely(server, member.process)) {
            options_.peers->Start(server, member.process, 0, {});
        }
    }
    start_local();
    Log(Verbosity::kEvent, "started service " + definition.name);
}

ServiceStatus Agent::StatusOf(const Service &definition) const
{
    ServiceStatus status;
    status.running_members = supervisor_->Running(LocalMembers(definition));
    status.state           = StateOf(status.running_members, definition.members.size());
    return status;
}

void Agent::RefuseWhenActive(const Service &definition) const
{
    if (supervisor_->AnyActive(LocalMembers(definition))) {
        throw AgentError("service " + definition.name + " is running; stop it first");
    }
}

void Agent::AddService(const Service &definition)
{
    CheckMembers(definition);
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
            DefineMembers(definition);
            services_ = std::move(next.services);
        });
    Log(Verbosity::kEvent, "added service " + definition.name);
}

void Agent::StartService(const Service &definition)
{
    CheckMembers(definition);
    bool in_force = false;
    {
        std::lock_guard lock(mutex_);
        RefuseWhenShuttingDown();
        auto existing = FindService(definition.name);
        in_force      = existing != services_.end() && *existing == definition;
    }
    if (!in_force) {
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
                DefineMembers(definition);
                services_ = std::move(next.services);
            });
    }
    Lock lock(mutex_);
    RefuseWhenShuttingDown();
    StartMembers(lock, definition);
}

void Agent::StopService(const std::string &name)
{
    Lock lock(mutex_);
    RefuseWhenShuttingDown();
    auto service = FindService(name);
    if (service == services_.end()) {
        throw AgentError("unknown service " + name);
    }
    const Service definition = *service;
    // In reverse order: this agent's members that come together are stopped together, each
    // member of another host by its agent. A failure stops no other member from stopping, but
    // an agent that failed once is not asked again, so that one that does not answer costs its
    // time-out once.
    std::vector<std::string> failures;
    std::set<std::string> failed_peers;
    std::vector<std::string> stopping;
    auto stop_local = [&] {
        if (!stopping.empty()) {
            Unlocked unlocked(lock);
            supervisor_->Stop(std::exchange(stopping, {}));
        }
    };
    for (auto member = definition.members.rbegin(); member != definition.members.rend(); ++member) {
        try {
            if (Serves(member->process.host)) {
                stopping.push_back(member->process.name);
                continue;
            }
            stop_local();
            const std::string server = *RouteOf(member->process.host);
            if (failed_peers.contains(server)) {
                throw AgentError("process " + member->process.name + " was left to " + server + ", which failed");
            }
            Unlocked unlocked(lock);
            try {
                if (RunsRemotely(server, member->process)) {
                    options_.peers->Stop(server, member->process);
                }
            } catch (const AgentError &) {
                failed_peers.insert(server);
                throw;
            }
        } catch (const AgentError &error) {
            failures.push_back(error.what());
        }
    }
    stop_local();
    if (!failures.empty()) {
        throw AgentError("service " + name + " did not stop whole: " + Joined(failures));
    }
    Log(Verbosity::kEvent, "stopped service " + name);
}

void Agent::RemoveService(const std::string &name)
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

void Agent::ChangeService(const std::string &old_name, const Service &definition)
{
    CheckMembers(definition);
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
            DefineMembers(definition);
            services_ = std::move(next.services);
        });
    Log(Verbosity::kEvent, "changed service " + old_name);
}

ServiceStatus Agent::StatusOfService(const std::string &name) const
{
    Service definition;
    ServiceStatus status;
    {
        std::lock_guard lock(mutex_);
        auto service = FindService(name);
        if (service == services_.end()) {
            throw AgentError("unknown service " + name);
        }
        definition = *service;
        status     = StatusOf(definition);
    }
    // Each peer is asked once what it runs, however many members it has.
    std::map<std::string, std::vector<ProcessView>> remote;
    for (const auto &member : definition.members) {
        const std::optional<std::string> server = PeerOf(member.process.host);
        if (!server) {
            continue;
        }
        auto [running, first] = remote.try_emplace(*server);
        if (first) {
            running->second = options_.peers->Running(*server);
        }
        if (Listed(running->second, member.process)) {
            ++status.running_members;
        }
    }
    status.state = StateOf(status.running_members, definition.members.size());
    return status;
}

std::vector<Service> Agent::Services(bool running_only) const
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

std::optional<std::string> Agent::RouteOf(const std::string &host) const
{
    return paagent::PeerOf(routes_,
                           Here{options_.supervision.server_name, options_.host_name, options_.peers != nullptr}, host);
}

bool Agent::Serves(const std::string &host) const
{
    return paagent::Serves(routes_,
                           Here{options_.supervision.server_name, options_.host_name, options_.peers != nullptr}, host);
}

std::optional<std::string> Agent::PeerOf(const std::string &host) const
{
    std::lock_guard lock(mutex_);
    return RouteOf(host);
}

bool Agent::RunsRemotely(const std::string &server, const Process &process) const
{
    return Listed(options_.peers->Running(server), process);
}

std::vector<Route> Agent::Routes(std::int32_t selector) const
{
    std::lock_guard lock(mutex_);
    return Selected(routes_, Here{options_.supervision.server_name, options_.host_name, options_.peers != nullptr},
                    selector);
}

void Agent::AddRoute(const Route &route)
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
        [&](Definitions next) { routes_ = std::move(next.routes); });
}

void Agent::RemoveRoute(const Route &route)
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
        [&](Definitions next) { routes_ = std::move(next.routes); });
}

}  // namespace paagent
