// The services and the routing table the agent is given, and keeping them in the configuration
// file: every change is saved before it is made, one change at a time.
#ifndef PAAGENT_CORE_CATALOG_H
#define PAAGENT_CORE_CATALOG_H

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "core/agent_types.h"
#include "core/member_processes.h"
#include "core/records.h"
#include "core/router.h"

namespace paagent {

struct CatalogOptions {
    Here here;
    // Saves the definitions a change will make the catalog's, before it makes them so. Called
    // without the catalog's lock, one change at a time, in the order the changes are made.
    std::function<void(const Definitions &)> persist;
    std::function<void(Verbosity, const std::string &)> log;
    // Takes the events of the routing table and of reloads.
    std::function<void(agentclient::Event)> emit;
};

// Refuses a service without a name or listing a process twice.
void CheckService(const Service &definition);
// A service's state from how many of its members run.
ServiceState StateOf(std::int32_t running_members, std::size_t members);

// The service definitions and the routing table, under a lock of their own. The catalog defines
// and forgets the processes its services name on this agent's hosts but never starts or stops
// them; it refuses a service that runs the changes that would alter what runs.
class Catalog {
public:
    Catalog(CatalogOptions options, MemberProcesses &processes);
    Catalog(const Catalog &)            = delete;
    Catalog &operator=(const Catalog &) = delete;

    // Takes the definitions loaded at start.
    void Load(const Definitions &definitions);
    // Makes the definitions read again from the file the catalog's, as a client's requests
    // would: new services are defined, stopped ones changed or removed, the routing table
    // replaced. A running service is left as it is. Logs every difference; saves nothing.
    void Reload(const Definitions &file);

    void AddService(const Service &definition);
    // Makes definition the service's, adding it when it is new; nothing when it already is.
    // Refused while the service runs with another definition.
    void PutService(const Service &definition);
    void RemoveService(const std::string &name);
    void ChangeService(const std::string &old_name, const Service &definition);
    // Throws AgentError for an unknown service.
    Service Find(const std::string &name) const;
    // The service's definition, or none for an unknown service.
    std::optional<Service> Stored(const std::string &name) const;
    std::vector<Service> Services(bool running_only) const;
    // Defines the members this agent runs itself.
    void DefineMembers(const Service &definition);
    // The state of a service from its members this agent runs itself.
    ServiceStatus LocalStatus(const Service &definition) const;

    // See PeerOf in router.h.
    std::optional<std::string> PeerOf(const std::string &host) const;
    // See Selected in router.h.
    std::vector<Route> Routes(std::int32_t selector) const;
    void AddRoute(const Route &route);
    void RemoveRoute(const Route &route);

private:
    std::vector<Service>::const_iterator FindService(const std::string &name) const;
    // The names of the members this agent runs itself.
    std::vector<std::string> LocalMembers(const Service &definition) const;
    std::vector<Process> LocalDefinitions(const Service &definition) const;
    void CheckMembersDefinable(const Service &definition) const;
    // DefineMembers and StatusOf with the lock held.
    void DefineMembersLocked(const Service &definition);
    ServiceStatus StatusOf(const Service &definition) const;
    void RefuseWhenActive(const Service &definition) const;
    // Forgets the members of a service no longer defined that no other service names.
    void ForgetUnlistedProcesses(const Service &removed);
    // The definition a reload keeps for a service: wanted, or current while it runs; either
    // may be absent.
    std::optional<Service> Reloaded(const std::optional<Service> &current, const std::optional<Service> &wanted) const;
    void Log(Verbosity verbosity, const std::string &text) const;
    void Emit(agentclient::Event event) const;
    // The events of the routes in one table and not the other.
    void EmitRouteChanges(const std::vector<Route> &before, const std::vector<Route> &after) const;

    // Changes the definitions: check, under the lock, refuses a request or gives the
    // definitions it makes; those are saved with the lock released; apply, under the lock
    // again, checks what may have changed meanwhile and makes them the catalog's. When apply
    // refuses, the file is given back the definitions in force. One change at a time, so the
    // file takes them in the order they are made.
    void ChangeDefinitions(const std::function<Definitions()> &check, const std::function<void(Definitions)> &apply);
    void Persist(const Definitions &next);
    void RestoreFile();

    CatalogOptions options_;
    MemberProcesses &processes_;
    std::mutex changing_;  // held through one change of the definitions, save included
    mutable std::mutex mutex_;
    std::vector<Service> services_;
    std::vector<Route> routes_;
};

}  // namespace paagent

#endif  // PAAGENT_CORE_CATALOG_H
