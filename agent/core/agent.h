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
#include <utility>
#include <vector>

#include "core/child_watcher.h"
#include "core/definitions.h"

namespace paagent {

// A request the agent cannot honour; the text names the problem for the client.
class AgentError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

enum class ProcessState : std::int32_t {
    Stopped = 0,
    Running = 1,
    Exited  = 2,
    Failed  = 3
};
enum class ServiceState : std::int32_t {
    Stopped = 0,
    Running = 1,
    Partial = 2
};
enum class StateRequest : std::int32_t {
    Stop    = 0,
    Run     = 1,
    Restart = 2
};

struct ProcessView {
    ProcessSpec definition;
    ProcessState state = ProcessState::Stopped;
    pid_t pid          = 0;
};

struct ServiceStatus {
    ServiceState state           = ServiceState::Stopped;
    std::int32_t running_members = 0;
};

// What the agent keeps across restarts.
struct Definitions {
    std::vector<ServiceSpec> services;
    std::vector<Route> routes;
};

// How long a stop waits for processes to go after SIGKILL.
inline constexpr std::chrono::seconds kKillWait{5};
// The client library's default time-out for a reply.
inline constexpr std::chrono::seconds kClientReplyTimeOut{30};
// The longest grace period: a stop waits at most the grace period and the kill wait, and must
// answer before the client stops waiting.
inline constexpr std::chrono::seconds kMaxGrace{20};
static_assert(kMaxGrace + kKillWait < kClientReplyTimeOut);

enum class Verbosity : int {
    Error   = 0,
    Event   = 1,
    Request = 2,
    Detail  = 3
};

struct AgentOptions {
    std::string server_name = "PASRV";
    std::filesystem::path log_dir;          // process output goes to log_dir/NAME.log
    std::chrono::milliseconds grace{5000};  // between SIGTERM and SIGKILL, at most kMaxGrace
    // Called, with the agent's lock held, after every change of the definitions.
    std::function<void(const Definitions &)> persist;
    // The agent's own log.
    std::function<void(Verbosity, const std::string &)> log;
};

class Agent {
public:
    // Throws std::invalid_argument when the grace period exceeds kMaxGrace.
    explicit Agent(AgentOptions options);
    // Stops watching children; processes still running are left running.
    ~Agent();
    Agent(const Agent &)            = delete;
    Agent &operator=(const Agent &) = delete;

    // Takes the definitions loaded at start, then starts the Auto services, Master ones first.
    void load(const Definitions &definitions);
    void start_automatic_services();

    // Processes. A process is addressed by its name; a host other than its own is refused.
    void start_process(const ProcessSpec &definition, std::int32_t timeout_seconds, const std::string &extra_args = {});
    void stop_process(const std::string &name, const std::string &host);
    void signal_process(const std::string &name, const std::string &host, int signal);
    ProcessView process_status(const std::string &name, const std::string &host) const;
    void change_process(const std::string &old_name, const ProcessSpec &definition);
    void request_state(const ProcessSpec &definition, std::int32_t state);
    std::vector<ProcessView> processes(bool running_only) const;
    // A PA-aware process reports its PID, naming the process id it was started with.
    void report_pid(std::int32_t process_id, pid_t pid);
    // Stops every process within one grace period and the kill wait (see stop below).
    void stop_all_processes();
    void start_all_processes();

    // Services.
    void add_service(const ServiceSpec &definition);
    void start_service(const ServiceSpec &definition);
    // Stops the members within one grace period and the kill wait, SIGTERM in reverse order.
    void stop_service(const std::string &name);
    void remove_service(const std::string &name);
    void change_service(const std::string &old_name, const ServiceSpec &definition);
    ServiceStatus service_status(const std::string &name) const;
    std::vector<ServiceSpec> services(bool running_only) const;

    // Routing table; selector 0 gives every entry, 1 those served by this agent.
    std::vector<Route> routes(std::int32_t selector) const;
    void add_route(const Route &route);
    void remove_route(const Route &route);

    std::int32_t debug_level() const;
    void set_debug_level(std::int32_t level);
    // Writes to the agent's log when the debug level admits the verbosity.
    void log(Verbosity verbosity, const std::string &text) const;
    const std::string &server_name() const { return options_.server_name; }

private:
    struct Process;
    using Lock = std::unique_lock<std::mutex>;
    // Processes a stop waits for: each by name, with the PID it was signalled at.
    using Stopping = std::vector<std::pair<std::string, pid_t>>;

    // Everything below expects the lock to be held.
    Process &find(const std::string &name, const std::string &host);
    const Process &find(const std::string &name, const std::string &host) const;
    Process *lookup(const std::string &name);
    const Process *lookup(const std::string &name) const;
    Process &define(const ProcessSpec &definition);
    void launch(Process &process, const std::string &extra_args, const std::vector<std::string> &environment);
    void await_start(Lock &lock, Process &process, std::int32_t timeout_seconds);
    // Stops the named processes together: SIGTERM to every one's group, one wait of up to the
    // grace period for them all, then SIGKILL to those left and one kill wait. Waits release
    // the lock and the table may change meanwhile, so the processes are followed by name.
    void stop(Lock &lock, const std::vector<std::string> &names);
    Stopping still_running(const Stopping &stopping) const;
    bool wait_for_exits(Lock &lock, const Stopping &stopping, std::chrono::milliseconds limit);
    void on_exit(pid_t pid, ExitStatus status);
    void restart_or_fail(Process &process, ExitStatus status);
    ProcessView view(const Process &process) const;

    std::vector<ServiceSpec>::iterator find_service(const std::string &name);
    std::vector<ServiceSpec>::const_iterator find_service(const std::string &name) const;
    void define_members(const ServiceSpec &definition);
    void start_members(const ServiceSpec &definition);
    ServiceStatus status_of(const ServiceSpec &definition) const;
    // Saves the next definitions, then makes them the agent's; nothing changes when saving fails.
    void persist(const Definitions &next);
    void commit(Definitions next);

    AgentOptions options_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::map<std::string, std::unique_ptr<Process>> processes_;
    std::vector<ServiceSpec> services_;
    std::vector<Route> routes_;
    std::int32_t next_process_id_ = 1;
    std::atomic<std::int32_t> debug_level_{1};
    // Declared last: its thread reports exits into the members above.
    std::unique_ptr<ChildWatcher> watcher_;
};

}  // namespace paagent

#endif  // PAAGENT_CORE_AGENT_H
