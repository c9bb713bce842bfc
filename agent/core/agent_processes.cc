// The agent's processes: start, watch, restart, stop, signal, report.
#include <algorithm>
#include <csignal>
#include <iterator>
#include <stdexcept>
#include <system_error>

#include "core/agent_process.h"
#include "core/spawn.h"

namespace paagent {

namespace {

std::string describe(const ExitStatus &status)
{
    return status.signalled ? "was killed by signal " + std::to_string(status.code)
                            : "exited with status " + std::to_string(status.code);
}

// A file name for a process's log: its name with path separators replaced.
std::string log_file_name(std::string name)
{
    std::replace(name.begin(), name.end(), '/', '_');
    return name.empty() || name[0] == '.' ? "_" + name + ".log" : name + ".log";
}

}  // namespace

Agent::Agent(AgentOptions options) : options_(std::move(options))
{
    if (options_.grace > kMaxGrace) {
        throw std::invalid_argument("the grace period may be at most " + std::to_string(kMaxGrace.count()) +
                                    " seconds");
    }
    watcher_ = std::make_unique<ChildWatcher>([this](pid_t pid, ExitStatus status) { on_exit(pid, status); });
}

Agent::~Agent() { watcher_.reset(); }

void Agent::log(Verbosity verbosity, const std::string &text) const
{
    if (options_.log && static_cast<int>(verbosity) <= debug_level_)
        options_.log(verbosity, text);
}

std::int32_t Agent::debug_level() const { return debug_level_; }

void Agent::set_debug_level(std::int32_t level) { debug_level_ = level; }

Agent::Process *Agent::lookup(const std::string &name)
{
    auto found = processes_.find(name);
    return found == processes_.end() ? nullptr : found->second.get();
}

const Agent::Process *Agent::lookup(const std::string &name) const
{
    auto found = processes_.find(name);
    return found == processes_.end() ? nullptr : found->second.get();
}

const Agent::Process &Agent::find(const std::string &name, const std::string &host) const
{
    const Process *process = lookup(name);
    if (process == nullptr)
        throw AgentError("unknown process " + name);
    if (process->definition.host != host)
        throw AgentError("process " + name + " is not defined for host " + host);
    return *process;
}

Agent::Process &Agent::find(const std::string &name, const std::string &host)
{
    return const_cast<Process &>(static_cast<const Agent *>(this)->find(name, host));
}

Agent::Process &Agent::define(const ProcessSpec &definition)
{
    if (definition.name.empty())
        throw AgentError("a process needs a name");
    if (definition.command.empty())
        throw AgentError("process " + definition.name + " has no command");
    Process *process = lookup(definition.name);
    if (process == nullptr) {
        auto created = std::make_unique<Process>();
        created->id  = next_process_id_++;
        process      = created.get();
        processes_.emplace(definition.name, std::move(created));
    } else if (process->pid != 0 && !(process->definition == definition)) {
        throw AgentError("process " + definition.name + " is running with another definition");
    }
    process->definition = definition;
    return *process;
}

void Agent::launch(Process &process, const std::string &extra_args, const std::vector<std::string> &environment)
{
    LaunchRequest request;
    request.command = extra_args.empty() ? process.definition.command : process.definition.command + " " + extra_args;
    request.uid     = static_cast<uid_t>(process.definition.euid);
    request.environment = environment;
    request.environment.push_back("PA_SERVER=" + options_.server_name);
    request.environment.push_back("PA_PROCESS_ID=" + std::to_string(process.id));
    request.log_path = (options_.log_dir / log_file_name(process.definition.name)).string();
    LaunchedChild child;
    try {
        child = paagent::launch(request);
    } catch (const std::system_error &error) {
        process.state = ProcessState::Failed;
        throw AgentError("process " + process.definition.name + " cannot start: " + error.what());
    }
    process.pid            = child.pid;
    process.reported_pid   = 0;
    process.state          = ProcessState::Running;
    process.stop_requested = false;
    process.extra_args     = extra_args;
    process.environment    = environment;
    watcher_->watch(child.pid, std::move(child.pidfd));
    log(Verbosity::Event, "started process " + process.definition.name + " (PID " + std::to_string(child.pid) + ")");
}

void Agent::await_start(Lock &lock, Process &process, std::int32_t timeout_seconds)
{
    if (timeout_seconds <= 0)
        return;
    const bool reports = process.definition.type == ProcessType::PaAware;
    process.starting   = true;
    changed_.wait_for(lock, std::chrono::seconds(timeout_seconds),
                      [&] { return process.pid == 0 || (reports && process.reported_pid != 0); });
    process.starting = false;
    if (process.pid == 0 && process.last_exit && !(process.last_exit->success() && !reports)) {
        process.state = ProcessState::Failed;
        throw AgentError("process " + process.definition.name + " " + describe(*process.last_exit) + " while starting");
    }
    if (reports && process.reported_pid == 0) {
        throw AgentError("process " + process.definition.name + " did not report within " +
                         std::to_string(timeout_seconds) + " seconds");
    }
}

Agent::Stopping Agent::still_running(const Stopping &stopping) const
{
    Stopping running;
    std::copy_if(stopping.begin(), stopping.end(), std::back_inserter(running), [this](const auto &entry) {
        const Process *process = lookup(entry.first);
        return process != nullptr && process->pid == entry.second;
    });
    return running;
}

bool Agent::wait_for_exits(Lock &lock, const Stopping &stopping, std::chrono::milliseconds limit)
{
    return changed_.wait_for(lock, limit, [&] { return still_running(stopping).empty(); });
}

void Agent::stop(Lock &lock, const std::vector<std::string> &names)
{
    Stopping stopping;
    for (const auto &name : names) {
        Process *process = lookup(name);
        if (process == nullptr)
            continue;
        process->restarts = 0;
        if (process->pid == 0) {
            process->state = ProcessState::Stopped;
            continue;
        }
        process->stop_requested = true;
        kill(-process->pid, SIGTERM);
        log(Verbosity::Event, "stopping process " + name);
        stopping.emplace_back(name, process->pid);
    }
    if (wait_for_exits(lock, stopping, options_.grace))
        return;
    const Stopping ignoring = still_running(stopping);
    for (const auto &[name, group] : ignoring) {
        log(Verbosity::Event, "process " + name + " ignored SIGTERM; killing it");
        kill(-group, SIGKILL);
    }
    if (wait_for_exits(lock, ignoring, kKillWait))
        return;
    std::string names_left;
    for (const auto &[name, group] : still_running(ignoring))
        names_left += (names_left.empty() ? "" : ", ") + name;
    throw AgentError("still running after SIGKILL: " + names_left);
}

void Agent::on_exit(pid_t pid, ExitStatus status)
{
    std::lock_guard lock(mutex_);
    auto entry =
        std::find_if(processes_.begin(), processes_.end(), [pid](const auto &item) { return item.second->pid == pid; });
    if (entry == processes_.end())
        return;
    Process &process     = *entry->second;
    process.pid          = 0;
    process.reported_pid = 0;
    process.last_exit    = status;
    if (process.stop_requested) {
        process.state = ProcessState::Stopped;
        log(Verbosity::Event, "stopped process " + process.definition.name);
    } else if (status.success()) {
        process.state = ProcessState::Exited;
        log(Verbosity::Event, "process " + process.definition.name + " finished");
    } else if (process.starting || !process.definition.managed) {
        process.state = ProcessState::Failed;
        log(Verbosity::Error, "process " + process.definition.name + " " + describe(status));
    } else {
        restart_or_fail(process, status);
    }
    changed_.notify_all();
}

void Agent::restart_or_fail(Process &process, ExitStatus status)
{
    const std::string &name = process.definition.name;
    if (process.restarts < process.definition.retry_count) {
        ++process.restarts;
        log(Verbosity::Error, "process " + name + " " + describe(status) + "; restart " +
                                  std::to_string(process.restarts) + " of " +
                                  std::to_string(process.definition.retry_count) + ": " +
                                  process.definition.restart_message.value_or("restarting"));
        try {
            launch(process, process.extra_args, process.environment);
            return;
        } catch (const AgentError &error) {
            log(Verbosity::Error, error.what());
        }
    }
    process.state = ProcessState::Failed;
    log(Verbosity::Error, "process " + name + " " + describe(status) +
                              "; giving up: " + process.definition.alert_message.value_or("no restarts left"));
}

ProcessView Agent::view(const Process &process) const
{
    return {process.definition, process.state, process.reported_pid != 0 ? process.reported_pid : process.pid};
}

void Agent::start_process(const ProcessSpec &definition, std::int32_t timeout_seconds, const std::string &extra_args)
{
    Lock lock(mutex_);
    Process *existing = lookup(definition.name);
    if (existing != nullptr && existing->pid != 0)
        throw AgentError("process " + definition.name + " is already running");
    Process &process = define(definition);
    process.restarts = 0;
    launch(process, extra_args, {});
    await_start(lock, process, timeout_seconds);
}

void Agent::stop_process(const std::string &name, const std::string &host)
{
    Lock lock(mutex_);
    find(name, host);
    stop(lock, {name});
}

void Agent::signal_process(const std::string &name, const std::string &host, int signal)
{
    std::lock_guard lock(mutex_);
    const Process &process = find(name, host);
    if (signal < 0 || signal > SIGRTMAX)
        throw AgentError("no signal " + std::to_string(signal));
    if (process.pid == 0)
        throw AgentError("process " + name + " is not running");
    if (kill(-process.pid, signal) != 0)
        throw AgentError("cannot signal process " + name);
    log(Verbosity::Event, "sent signal " + std::to_string(signal) + " to process " + name);
}

ProcessView Agent::process_status(const std::string &name, const std::string &host) const
{
    std::lock_guard lock(mutex_);
    return view(find(name, host));
}

void Agent::change_process(const std::string &old_name, const ProcessSpec &definition)
{
    std::lock_guard lock(mutex_);
    auto entry = processes_.find(old_name);
    if (entry == processes_.end())
        throw AgentError("unknown process " + old_name);
    if (definition.name != old_name && processes_.count(definition.name) != 0) {
        throw AgentError("process " + definition.name + " is already defined");
    }
    if (definition.command.empty())
        throw AgentError("process " + definition.name + " has no command");
    auto node                 = processes_.extract(entry);
    node.key()                = definition.name;
    node.mapped()->definition = definition;
    processes_.insert(std::move(node));
    log(Verbosity::Event, "changed process " + old_name);
}

void Agent::request_state(const ProcessSpec &definition, std::int32_t state)
{
    Lock lock(mutex_);
    find(definition.name, definition.host);
    const auto request = static_cast<StateRequest>(state);
    if (request != StateRequest::Stop && request != StateRequest::Run && request != StateRequest::Restart) {
        throw AgentError("unknown state request " + std::to_string(state));
    }
    if (request != StateRequest::Run)
        stop(lock, {definition.name});
    if (request == StateRequest::Stop)
        return;
    // A stop waits with the lock released: look the process up again.
    Process &process = find(definition.name, definition.host);
    if (process.pid == 0)
        launch(process, process.extra_args, process.environment);
}

std::vector<ProcessView> Agent::processes(bool running_only) const
{
    std::lock_guard lock(mutex_);
    std::vector<ProcessView> views;
    for (const auto &[name, process] : processes_) {
        if (!running_only || process->pid != 0)
            views.push_back(view(*process));
    }
    return views;
}

void Agent::report_pid(std::int32_t process_id, pid_t pid)
{
    std::lock_guard lock(mutex_);
    auto entry = std::find_if(processes_.begin(), processes_.end(),
                              [process_id](const auto &item) { return item.second->id == process_id; });
    if (entry == processes_.end())
        throw AgentError("no process has the id " + std::to_string(process_id));
    Process &process = *entry->second;
    if (process.pid == 0)
        throw AgentError("process " + process.definition.name + " is not running");
    process.reported_pid = pid;
    log(Verbosity::Event, "process " + process.definition.name + " reported PID " + std::to_string(pid));
    changed_.notify_all();
}

void Agent::stop_all_processes()
{
    Lock lock(mutex_);
    std::vector<std::string> names;
    for (const auto &[name, process] : processes_)
        names.push_back(name);
    stop(lock, names);
}

void Agent::start_all_processes()
{
    std::lock_guard lock(mutex_);
    for (auto &[name, process] : processes_) {
        if (process->pid == 0)
            launch(*process, process->extra_args, process->environment);
    }
}

}  // namespace paagent
