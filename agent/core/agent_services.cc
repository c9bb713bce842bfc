// Services whose members may run under other agents: starting, stopping and counting them
// wherever they run.
#include <algorithm>
#include <map>
#include <set>
#include <utility>

#include "core/access.h"
#include "core/agent.h"

namespace paagent {

namespace {

// Whether a peer's list of what runs holds the process.
bool Listed(const std::vector<ProcessView> &running, const Process &process)
{
    return std::any_of(running.begin(), running.end(), [&](const ProcessView &view) {
        return view.definition.name == process.name && view.definition.host == process.host;
    });
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

void Agent::StartAutomaticServices()
{
    std::vector<Service> automatic = catalog_->Services(false);
    automatic.erase(std::remove_if(automatic.begin(), automatic.end(),
                                   [](const Service &s) { return s.start != ServiceStart::kAuto; }),
                    automatic.end());
    std::stable_partition(automatic.begin(), automatic.end(),
                          [](const Service &s) { return s.type == ServiceType::kMaster; });
    for (const auto &service : automatic) {
        try {
            RefuseWhenShuttingDown();
            StartMembers(service);
        } catch (const AgentError &error) {
            Log(Verbosity::kError, "automatic start of service " + service.name + ": " + error.what());
        }
    }
}

void Agent::StartMembers(const Service &definition)
{
    // A member started on its own since may have run under another definition.
    catalog_->DefineMembers(definition);
    // One look at the routing table, so that a change to it meanwhile cannot split the members
    // between two tables.
    const std::vector<Route> routes = catalog_->Routes(kEveryRoute);
    for (const auto &member : definition.members) {
        if (!Serves(routes, here_, member.process.host)) {
            RequireUnlimited("start processes", member.process.host);
        }
    }
    // In order: the members of this agent that come together are launched together, each
    // member of another host by its agent, in its turn; the value stays with this agent.
    std::vector<Launchable> local;
    auto start_local = [&] {
        if (!local.empty()) {
            supervisor_->StartEach(std::exchange(local, {}));
        }
    };
    for (const auto &member : definition.members) {
        if (Serves(routes, here_, member.process.host)) {
            local.push_back({member.process, MemberEnvironment(member.value)});
            continue;
        }
        start_local();
        const std::string server = *PeerOf(routes, here_, member.process.host);
        if (!RunsRemotely(server, member.process)) {
            peers_->Start(server, member.process, 0, {});
        }
    }
    start_local();
    agentclient::Event started = NewEvent(EventKind::kServiceStarted);
    started.service            = definition.name;
    events_->Emit(std::move(started));
    Log(Verbosity::kEvent, "started service " + definition.name);
}

void Agent::StartService(const Service &definition)
{
    CheckService(definition);
    RequireAsDefined(catalog_->Stored(definition.name), definition);
    RefuseWhenShuttingDown();
    catalog_->PutService(definition);
    RefuseWhenShuttingDown();
    StartMembers(definition);
}

void Agent::StopService(const std::string &name)
{
    RefuseWhenShuttingDown();
    const Service definition        = catalog_->Find(name);
    const std::vector<Route> routes = catalog_->Routes(kEveryRoute);
    // In reverse order: this agent's members that come together are stopped together, each
    // member of another host by its agent. A failure stops no other member from stopping, but
    // an agent that failed once is not asked again, so that one that does not answer costs its
    // time-out once.
    std::vector<std::string> failures;
    std::set<std::string> failed_peers;
    std::vector<std::string> stopping;
    auto stop_local = [&] {
        if (!stopping.empty()) {
            supervisor_->Stop(std::exchange(stopping, {}));
        }
    };
    for (auto member = definition.members.rbegin(); member != definition.members.rend(); ++member) {
        try {
            if (Serves(routes, here_, member->process.host)) {
                stopping.push_back(member->process.name);
                continue;
            }
            stop_local();
            const std::string server = *PeerOf(routes, here_, member->process.host);
            if (failed_peers.contains(server)) {
                throw AgentError("process " + member->process.name + " was left to " + server + ", which failed");
            }
            try {
                if (RunsRemotely(server, member->process)) {
                    peers_->Stop(server, member->process);
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
    agentclient::Event stopped = NewEvent(EventKind::kServiceStopped);
    stopped.service            = name;
    events_->Emit(std::move(stopped));
    Log(Verbosity::kEvent, "stopped service " + name);
}

ServiceStatus Agent::StatusOfService(const std::string &name) const
{
    const Service definition = catalog_->Find(name);
    ServiceStatus status     = catalog_->LocalStatus(definition);
    // Each peer is asked once what it runs, however many members it has.
    std::map<std::string, std::vector<ProcessView>> remote;
    for (const auto &member : definition.members) {
        const std::optional<std::string> server = catalog_->PeerOf(member.process.host);
        if (!server) {
            continue;
        }
        auto [running, first] = remote.try_emplace(*server);
        if (first) {
            running->second = peers_->Running(*server);
        }
        if (Listed(running->second, member.process)) {
            ++status.running_members;
        }
    }
    status.state = StateOf(status.running_members, definition.members.size());
    return status;
}

bool Agent::RunsRemotely(const std::string &server, const Process &process) const
{
    return Listed(peers_->Running(server), process);
}

}  // namespace paagent
