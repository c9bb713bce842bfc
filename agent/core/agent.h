// The agent's state and every operation its RPCs ask for: processes, services, routes.
#ifndef PAAGENT_CORE_AGENT_H
#define PAAGENT_CORE_AGENT_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <sys/types.h>
#include <thread>
#include <utility>
#include <vector>

#include <protocol/states.h>

#include "core/agent_types.h"
#include "core/records.h"
#include "core/spawn.h"
#include "core/state_file.h"
#include "core/supervisor.h"

namespace paagent {

// Requests for processes of other hosts, sent to the agent server that serves each host.
// Throws AgentError with the peer's refusal, or naming the peer when it cannot be reached.
class PeerCalls {
public:
    virtual ~PeerCalls()                                                                                = default;
    virtual void Start(const std::string &server, const Process &process, std::int32_t timeout_seconds,
                       const std::string &extra_args)                                                   = 0;
    virtual void Stop(const std::string &server, const Process &process)                                = 0;
    virtual void Signal(const std::string &server, const Process &process, std::int32_t signal)         = 0;
    virtual ProcessView Status(const std::string &server, const Process &process)                       = 0;
    virtual void Change(const std::string &server, const std::string &old_name, const Process &process) = 0;
    virtual void RequestState(const std::string &server, const Process &process, std::int32_t state)    = 0;
    // The processes that run under the agent of server.
    virtual std::vector<ProcessView> Running(const std::string &server) = 0;
};

struct AgentOptions {
    // How processes are run. Its log is not used: the supervisor logs through the agent's,
    // which the debug level filters. The grace period may be at most kMaxGrace.
    SupervisorOptions supervision;
    // Saves the definitions a change will make the agent's, before it makes them so. Called
    // without the agent's lock, one change at a time, in the order the changes are made.
    std::function<void(const Definitions &)> persist;
    // The agent's own log.
    std::function<void(Verbosity, const std::string &)> log;
    // This agent's host. "localhost", the empty host and the hosts the routing table gives to
    // this agent's server name are its own too.
    std::string host_name;
    // Carries out the requests for processes of the other hosts of the routing table. Without
    // it every host is this agent's own.
    std::shared_ptr<PeerCalls> peers;
};

class Agent {
public:
    // Creates the log directory (mode 0700) when it is missing. Throws std::invalid_argument
    // when the grace period exceeds kMaxGrace, std::system_error when the log directory cannot
    // be used.
    explicit Agent(AgentOptions options);
    // Stops watching children; processes still running are left running.
    ~Agent();
    Agent(const Agent &)            = delete;
    Agent &operator=(const Agent &) = delete;

    // Takes the definitions loaded at start, then starts the Auto services, Master ones first.
    void Load(const Definitions &definitions);
    // Takes on the processes the state file records that still run, after load: they run as
    // if this agent had started them, and Auto services start only the members not taken on.
    // Returns how many it took on.
    int AdoptRecorded();
    void StartAutomaticServices();
    // Makes the definitions read again from the file the agent's, as a client's requests
    // would: new services are defined, stopped ones changed or removed, the routing table
    // replaced. A running service is left as it is. Logs every difference; saves nothing.
    void Reload(const Definitions &file);
    // Ends every wait a request makes and refuses the requests that would start or stop
    // anything; with stop_processes, then stops every process as stop_all_processes does.
    void ShutDown(bool stop_processes);

    // Processes. A process is addressed by its name and host: a request for a process of
    // another host goes to the agent the routing table names for that host, and is refused
    // when there is none; locally, a host other than the process's own is refused.
    void StartProcess(const Process &definition, std::int32_t timeout_seconds, const std::string &extra_args = {});
    void StopProcess(const std::string &name, const std::string &host);
    void SignalProcess(const std::string &name, const std::string &host, int signal);
    ProcessView ProcessStatus(const std::string &name, const std::string &host) const;
    void ChangeProcess(const std::string &old_name, const Process &definition);
    void RequestState(const Process &definition, std::int32_t state);
    std::vector<ProcessView> Processes(bool running_only) const;
    // A PA-aware process reports its PID, naming the process id it was started with. Accepted
    // only while a start waits for that report, and only for the process or a descendant.
    void ReportPid(std::int32_t process_id, pid_t pid);
    // Stops every process within one grace period and the kill wait (see stop below).
    void StopAllProcesses();
    void StartAllProcesses();

    // Services.
    void AddService(const Service &definition);
    void StartService(const Service &definition);
    // Stops the members within one grace period and the kill wait, SIGTERM in reverse order.
    void StopService(const std::string &name);
    void RemoveService(const std::string &name);
    void ChangeService(const std::string &old_name, const Service &definition);
    ServiceStatus StatusOfService(const std::string &name) const;
    std::vector<Service> Services(bool running_only) const;

    // The agent server a request for a process of host goes to; none when this agent serves
    // host itself. Throws AgentError when host is neither its own nor in the routing table.
    std::optional<std::string> PeerOf(const std::string &host) const;
    // Routing table; selector 0 gives every entry, 1 those served by this agent.
    std::vector<Route> Routes(std::int32_t selector) const;
    void AddRoute(const Route &route);
    void RemoveRoute(const Route &route);

    std::int32_t DebugLevel() const;
    void SetDebugLevel(std::int32_t level);
    // Writes to the agent's log when the debug level admits the verbosity.
    void Log(Verbosity verbosity, const std::string &text) const;
    const std::string &ServerName() const { return options_.supervision.server_name; }

private:
    using Lock = std::unique_lock<std::mutex>;

    void RefuseWhenShuttingDown() const;
    // PeerOf with the lock held.
    std::optional<std::string> RouteOf(const std::string &host) const;
    // Whether host is this agent's own: false for another host, routed or not.
    bool Serves(const std::string &host) const;
    // Whether a process of another host runs under the agent of server; called without the lock.
    bool RunsRemotely(const std::string &server, const Process &process) const;

    std::vector<Service>::const_iterator FindService(const std::string &name) const;
    // The names of the members this agent runs itself.
    std::vector<std::string> LocalMembers(const Service &definition) const;
    std::vector<Process> LocalDefinitions(const Service &definition) const;
    void CheckMembersDefinable(const Service &definition) const;
    void DefineMembers(const Service &definition);
    void StartMembers(Lock &lock, const Service &definition);
    ServiceStatus StatusOf(const Service &definition) const;
    void RefuseWhenActive(const Service &definition) const;
    // The definition a reload keeps for a service: wanted, or current while it runs; either
    // may be absent.
    std::optional<Service> Reloaded(const std::optional<Service> &current, const std::optional<Service> &wanted) const;
    // Forgets the members of a service no longer defined that no other service names.
    void ForgetUnlistedProcesses(const Service &removed);

    // Changes the definitions: check, under the lock, refuses a request or gives the
    // definitions it makes; those are saved with the lock released; apply, under the lock
    // again, checks what may have changed meanwhile and makes them the agent's. When apply
    // refuses, the file is given back the definitions in force. One change at a time, so the
    // file takes them in the order they are made.
    void ChangeDefinitions(const std::function<Definitions()> &check, const std::function<void(Definitions)> &apply);
    void Persist(const Definitions &next);
    void RestoreFile();

    AgentOptions options_;
    std::mutex changing_;  // held through one change of the definitions, save included
    mutable std::mutex mutex_;
    std::vector<Service> services_;
    std::vector<Route> routes_;
    std::atomic<bool> shutting_down_ = false;
    std::atomic<std::int32_t> debug_level_{1};
    // Declared last: its thread logs through the members above.
    std::unique_ptr<Supervisor> supervisor_;
};

}  // namespace paagent

#endif  // PAAGENT_CORE_AGENT_H
