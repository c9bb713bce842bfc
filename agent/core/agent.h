// The agent as a whole: its supervisor, its catalog of services and routes, and its peers.
#ifndef PAAGENT_CORE_AGENT_H
#define PAAGENT_CORE_AGENT_H

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <protocol/states.h>

#include "core/agent_types.h"
#include "core/catalog.h"
#include "core/check_settings.h"
#include "core/event_log.h"
#include "core/hang_up_watcher.h"
#include "core/output_reader.h"
#include "core/records.h"
#include "core/router.h"
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
    // The process's output and the events of the agent of host, read from the agent of server,
    // which may wait wait_seconds for them.
    virtual agentclient::Output ReadOutput(const std::string &server, const Process &process, std::int64_t cursor,
                                           std::int32_t tail_lines, std::int32_t wait_seconds) = 0;
    virtual agentclient::EventBatch WaitEvents(const std::string &server, const std::string &host, std::int64_t cursor,
                                               std::int32_t wait_seconds)                      = 0;
    // The health of the process called name of host, or of every process of the agent of server
    // for an empty name.
    virtual std::vector<agentclient::ProcessHealth> Health(const std::string &server, const std::string &name,
                                                           const std::string &host) = 0;
    // The resource figures of the process called name of host, or of every process of the
    // agent of server for an empty name.
    virtual std::vector<agentclient::ProcessStats> Stats(const std::string &server, const std::string &name,
                                                         const std::string &host) = 0;
};

// The longest a read of a process's output or a wait for events waits for something new.
inline constexpr std::chrono::seconds kLongestWait{3600};

struct AgentOptions {
    // How processes are run. Its log is not used: the supervisor logs through the agent's,
    // which the debug level filters.
    SupervisorOptions supervision;
    // Saves the definitions a change will make the agent's (see CatalogOptions).
    std::function<void(const Definitions &)> persist;
    // The agent's own log.
    std::function<void(Verbosity, const std::string &)> log;
    // This agent's host. "localhost", the empty host and the hosts the routing table gives to
    // this agent's server name are its own too.
    std::string host_name;
    // Carries out the requests for processes of the other hosts of the routing table. Without
    // it every host is this agent's own.
    std::shared_ptr<PeerCalls> peers;
    // The events kept for clients to wait for (at least kMinEventsKept).
    std::size_t events_kept = 10'000;
    // Takes each event as it is kept; it must not block.
    std::function<void(const agentclient::Event &)> on_event;
};

// The supervisor, the catalog and the peers, and the requests that need more than one of them:
// a request for a process goes to the agent the routing table names for its host, or to the
// supervisor; a service starts and stops its members wherever they run. The catalog and the
// supervisor answer the rest.
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

    Supervisor &GetSupervisor() { return *supervisor_; }
    Catalog &GetCatalog() { return *catalog_; }

    // Starts the Auto services, Master ones first.
    void StartAutomaticServices();
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
    // What the process wrote from cursor, as OutputReader::Read reads it: at most
    // pa::protocol::kOutputReplyBytes, waiting up to kLongestWait for something new.
    agentclient::Output ProcessOutput(const std::string &name, const std::string &host, std::int64_t cursor,
                                      std::int32_t tail_lines, std::chrono::seconds wait) const;
    // The readiness and health of the process, or of every process of the agent that serves host
    // (this one for an empty host) for an empty name.
    std::vector<agentclient::ProcessHealth> HealthOf(const std::string &name, const std::string &host) const;
    // The resource figures of the same processes; those of a group are read from /proc in one
    // pass over it.
    std::vector<agentclient::ProcessStats> StatsOf(const std::string &name, const std::string &host) const;
    void ChangeProcess(const std::string &old_name, const Process &definition);
    void RequestState(const Process &definition, std::int32_t state);
    // Stops every process within one grace period and the kill wait (see stop below).
    void StopAllProcesses();
    void StartAllProcesses();

    // Services whose members may run under other agents.
    void StartService(const Service &definition);
    // Stops the members within one grace period and the kill wait, SIGTERM in reverse order.
    void StopService(const std::string &name);
    ServiceStatus StatusOfService(const std::string &name) const;

    std::int32_t DebugLevel() const;
    void SetDebugLevel(std::int32_t level);
    // Writes to the agent's log when the debug level admits the verbosity.
    void Log(Verbosity verbosity, const std::string &text) const;
    const std::string &ServerName() const { return here_.server_name; }

    // The settings of the checks directory, replaced whole at start and at each reload.
    void SetCheckSettings(ChecksDirectory checks);
    // The process's readiness and health settings; none without a file of its own.
    std::optional<CheckSettings> CheckSettingsOf(const std::string &name) const;

    // The events after cursor of the agent that serves host (this one for an empty host),
    // waiting up to wait (at most kLongestWait) for one (see EventLog::After).
    EventBatch Events(const std::string &host, std::int64_t cursor, std::chrono::seconds wait) const;

private:
    void RefuseWhenShuttingDown() const;
    void StartMembers(const Service &definition);
    // Whether a process of another host runs under the agent of server.
    bool RunsRemotely(const std::string &server, const Process &process) const;
    // The views of the process called name of host, or of every process of this agent for an
    // empty name.
    std::vector<ProcessView> LocalViews(const std::string &name, const std::string &host) const;

    std::function<void(Verbosity, const std::string &)> log_;
    std::shared_ptr<PeerCalls> peers_;
    Here here_;
    std::atomic<bool> shutting_down_ = false;
    std::atomic<std::int32_t> debug_level_{1};
    std::atomic<std::shared_ptr<const std::map<std::string, CheckSettings>>> check_settings_{
        std::make_shared<const std::map<std::string, CheckSettings>>()};
    OutputReader output_;
    // Before the supervisor and the catalog, which emit to it.
    std::unique_ptr<EventLog> events_;
    // Ends the waits for events whose clients have gone.
    mutable HangUpWatcher hang_ups_;
    // Declared after the members above: its thread logs through them.
    std::unique_ptr<Supervisor> supervisor_;
    // Declared last: it defines and forgets the supervisor's processes.
    std::unique_ptr<Catalog> catalog_;
};

}  // namespace paagent

#endif  // PAAGENT_CORE_AGENT_H
