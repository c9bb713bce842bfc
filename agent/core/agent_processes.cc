// The agent's processes: start, watch, restart, stop, signal, report.
#include <algorithm>
#include <csignal>
#include <iterator>
#include <stdexcept>
#include <system_error>

#include "core/agent_process.h"

namespace paagent {

namespace {

// How often a wait looks again at what raises no event, such as the end of a process group's
// last process.
constexpr std::chrono::milliseconds kPollInterval{10};
// How long a report waits for the launch of its process to finish.
constexpr std::chrono::seconds kLaunchWait{5};

std::string describe(const ExitStatus &status)
{
    if (!status.known)
        return "ended, with a status the agent cannot learn (it was started by an earlier agent)";
    return status.signalled ? "was killed by signal " + std::to_string(status.code)
                            : "exited with status " + std::to_string(status.code);
}

// A file name for a process's log: its name with path separators replaced.
std::string log_file_name(std::string name)
{
    std::replace(name.begin(), name.end(), '/', '_');
    return name.empty() || name[0] == '.' ? "_" + name + ".log" : name + ".log";
}

// A process as a request for it addresses it: by name and host.
ProcessSpec addressed(const std::string &name, const std::string &host)
{
    ProcessSpec process;
    process.name = name;
    process.host = host;
    return process;
}

}  // namespace

Agent::Agent(AgentOptions options) : options_(std::move(options))
{
    if (options_.grace > kMaxGrace) {
        throw std::invalid_argument("the grace period may be at most " + std::to_string(kMaxGrace.count()) +
                                    " seconds");
    }
    if (!options_.log_dir.empty())
        log_directory_ = open_private_directory(options_.log_dir.string());
    watcher_   = std::make_unique<ChildWatcher>([this](pid_t pid, ExitStatus status) { on_exit(pid, status); });
    restarter_ = std::thread([this] { run_restarts(); });
}

Agent::~Agent()
{
    {
        std::lock_guard lock(mutex_);
        destroying_ = true;
        changed_.notify_all();
    }
    restarter_.join();
    watcher_.reset();
}

void Agent::log(Verbosity verbosity, const std::string &text) const
{
    if (options_.log && static_cast<int>(verbosity) <= debug_level_)
        options_.log(verbosity, text);
}

std::int32_t Agent::debug_level() const { return debug_level_; }

void Agent::set_debug_level(std::int32_t level) { debug_level_ = level; }

Agent::ProcessPtr Agent::lookup(const std::string &name) const
{
    auto found = processes_.find(name);
    return found == processes_.end() ? nullptr : found->second;
}

Agent::ProcessPtr Agent::lookup(std::int32_t id) const
{
    auto found =
        std::find_if(processes_.begin(), processes_.end(), [id](const auto &entry) { return entry.second->id == id; });
    return found == processes_.end() ? nullptr : found->second;
}

Agent::ProcessPtr Agent::find(const std::string &name, const std::string &host) const
{
    ProcessPtr process = lookup(name);
    if (process == nullptr)
        throw AgentError("unknown process " + name);
    if (process->definition.host != host)
        throw AgentError("process " + name + " is not defined for host " + host);
    return process;
}

std::vector<Agent::ProcessPtr> Agent::all_processes() const
{
    std::vector<ProcessPtr> all;
    for (const auto &[name, process] : processes_)
        all.push_back(process);
    return all;
}

void Agent::check_definable(const ProcessSpec &definition) const
{
    if (definition.name.empty())
        throw AgentError("a process needs a name");
    if (definition.command.empty())
        throw AgentError("process " + definition.name + " has no command");
    ProcessPtr process = lookup(definition.name);
    if (process != nullptr && process->active() && !(process->definition == definition))
        throw AgentError("process " + definition.name + " is running with another definition");
}

Agent::ProcessPtr Agent::define(const ProcessSpec &definition)
{
    check_definable(definition);
    ProcessPtr process = lookup(definition.name);
    if (process == nullptr) {
        process     = std::make_shared<Process>();
        process->id = next_process_id_++;
        processes_.emplace(definition.name, process);
    }
    process->definition = definition;
    return process;
}

void Agent::refuse_when_shutting_down() const
{
    if (shutting_down_)
        throw AgentError("the agent is stopping");
}

LaunchRequest Agent::launch_request(const Process &process) const
{
    LaunchRequest request;
    request.command =
        process.extra_args.empty() ? process.definition.command : process.definition.command + " " + process.extra_args;
    request.uid         = static_cast<uid_t>(process.definition.euid);
    request.environment = process.environment;
    request.environment.push_back("PA_SERVER=" + options_.server_name);
    request.environment.push_back("PA_PROCESS_ID=" + std::to_string(process.id));
    request.log_directory = log_directory_.get();
    request.log_name      = log_file_name(process.definition.name);
    request.log_writer    = options_.log_writer;
    return request;
}

pid_t Agent::launch(Lock &lock, const ProcessPtr &process, const std::string &extra_args,
                    const std::vector<std::string> &environment)
{
    // A blank command, which the file's writer puts for a missing one, loads but would run nothing.
    if (process->definition.command.find_first_not_of(" \t\n") == std::string::npos)
        throw AgentError("process " + process->definition.name + " has no command to run");
    process->extra_args  = extra_args;
    process->environment = environment;
    forget_ended_groups(*process);
    const LaunchRequest request = launch_request(*process);
    process->launching          = true;
    process->restart.reset();
    LaunchedChild child;
    try {
        Unlocked unlocked(lock);
        child = paagent::launch(request);
    } catch (const std::system_error &error) {
        process->launching = false;
        process->state     = ProcessState::Failed;
        changed_.notify_all();
        throw AgentError("process " + process->definition.name + " cannot start: " + error.what());
    }
    process->launching  = false;
    process->pid        = child.pid;
    process->identity   = child.identity;
    process->launch_key = child.launch_key;
    // Recorded before its command runs: a crash of the agent from now on leaves a process the
    // next agent knows. One that cannot be recorded never runs its command.
    try {
        write_state();
    } catch (const std::exception &error) {
        paagent::cancel(child);
        process->pid   = 0;
        process->state = ProcessState::Failed;
        changed_.notify_all();
        throw AgentError("cannot record process " + process->definition.name + " in the state file: " + error.what() +
                         "; it was not started");
    }
    process->reported_pid   = 0;
    process->state          = ProcessState::Running;
    process->stop_requested = false;
    process->started        = Clock::now();
    process->groups.push_back(std::make_shared<const ProcessGroup>(child.pid, std::move(child.group)));
    watcher_->watch(child.pid, std::move(child.pidfd));
    paagent::release(child);
    changed_.notify_all();
    log(Verbosity::Event, "started process " + process->definition.name + " (PID " + std::to_string(child.pid) + ")");
    return child.pid;
}

void Agent::await_start(Lock &lock, const ProcessPtr &process, pid_t leader, std::int32_t timeout_seconds)
{
    if (timeout_seconds <= 0)
        return;
    const bool reports = process->definition.type == ProcessType::PaAware;
    process->starting  = true;
    changed_.wait_for(lock, std::chrono::seconds(timeout_seconds), [&] {
        return shutting_down_ || process->pid != leader || (reports && process->reported_pid != 0);
    });
    process->starting        = false;
    process->awaiting_report = false;
    const std::string &name  = process->definition.name;
    const bool exited        = process->pid != leader;
    if (exited && process->last_exit && !(process->last_exit->success() && !reports)) {
        process->state = ProcessState::Failed;
        throw AgentError("process " + name + " " + describe(*process->last_exit) + " while starting");
    }
    refuse_when_shutting_down();
    if (reports && process->reported_pid == 0) {
        throw AgentError("process " + name + " did not report within " + std::to_string(timeout_seconds) + " seconds");
    }
}

bool Agent::wait_until(Lock &lock, Clock::time_point deadline, Waiting waiting, const std::function<bool()> &done)
{
    for (;;) {
        if (done())
            return true;
        if (waiting == Waiting::UntilShutDown)
            refuse_when_shutting_down();
        const auto now = Clock::now();
        if (now >= deadline)
            return false;
        changed_.wait_for(lock, std::min<Clock::duration>(kPollInterval, deadline - now));
    }
}

void Agent::forget_ended_groups(Process &process)
{
    std::erase_if(process.groups, [](const auto &group) { return !group->alive(); });
}

std::vector<Agent::Ending> Agent::signal_groups(const std::vector<ProcessPtr> &processes)
{
    std::vector<Ending> ending;
    for (const auto &process : processes) {
        process->restarts = 0;
        process->restart.reset();
        if (process->pid == 0) {
            process->state = ProcessState::Stopped;
        } else {
            process->stop_requested = true;
        }
        for (const auto &group : process->groups) {
            if (group->signal(SIGTERM))
                ending.push_back({process, group});
        }
        if (!process->groups.empty())
            log(Verbosity::Event, "stopping process " + process->definition.name);
    }
    return ending;
}

void Agent::stop(Lock &lock, const std::vector<ProcessPtr> &processes, Waiting waiting)
{
    // A process being forked has no group to signal yet.
    wait_until(lock, Clock::time_point::max(), waiting, [&] {
        return std::none_of(processes.begin(), processes.end(), [](const auto &p) { return p->launching; });
    });
    std::vector<Ending> ending = signal_groups(processes);
    // Done when every group has ended and each leader's exit is recorded.
    auto left = [&ending] {
        std::vector<Ending> running;
        std::copy_if(ending.begin(), ending.end(), std::back_inserter(running), [](const Ending &entry) {
            return entry.process->pid == entry.group->leader() || entry.group->alive();
        });
        return running;
    };
    if (!wait_until(lock, Clock::now() + options_.grace, waiting, [&] { return left().empty(); })) {
        ending = left();
        for (const auto &[process, group] : ending) {
            log(Verbosity::Event, "process " + process->definition.name + " ignored SIGTERM; killing it");
            group->signal(SIGKILL);
        }
        if (!wait_until(lock, Clock::now() + kKillWait, waiting, [&] { return left().empty(); })) {
            std::string names;
            for (const auto &entry : left())
                names += (names.empty() ? "" : ", ") + entry.process->definition.name;
            throw AgentError("still running after SIGKILL: " + names);
        }
    }
    for (const auto &process : processes)
        forget_ended_groups(*process);
}

void Agent::on_exit(pid_t pid, ExitStatus status)
{
    Lock lock(mutex_);
    auto entry =
        std::find_if(processes_.begin(), processes_.end(), [pid](const auto &item) { return item.second->pid == pid; });
    if (entry == processes_.end())
        return;
    ProcessPtr process    = entry->second;
    process->pid          = 0;
    process->reported_pid = 0;
    process->last_exit    = status;
    // Recorded: the PID may go, and a stop waiting for the group need not wait for the watcher.
    for (const auto &group : process->groups) {
        if (group->leader() == pid)
            group->reap_leader();
    }
    const std::string &name = process->definition.name;
    if (process->stop_requested) {
        process->state = ProcessState::Stopped;
        log(Verbosity::Event, "stopped process " + name);
    } else if (status.success()) {
        process->state = ProcessState::Exited;
        log(Verbosity::Event, "process " + name + " finished");
    } else if (process->starting || !process->definition.managed || shutting_down_) {
        process->state = ProcessState::Failed;
        log(Verbosity::Error, "process " + name + " " + describe(status));
    } else {
        restart_or_fail(process, status);
    }
    record_running();
    changed_.notify_all();
}

void Agent::restart_or_fail(const ProcessPtr &process, ExitStatus status)
{
    const std::string name = process->definition.name;
    if (process->restarts >= process->definition.retry_count) {
        process->state = ProcessState::Failed;
        log(Verbosity::Error, "process " + name + " " + describe(status) +
                                  "; giving up: " + process->definition.alert_message.value_or("no restarts left"));
        return;
    }
    ++process->restarts;
    const auto base        = options_.restart_delay;
    const auto longest     = base * kMaxRestartDelays;
    const bool steady      = Clock::now() - process->started >= longest;
    process->restart_delay = steady || process->restart_delay == std::chrono::milliseconds::zero()
                                 ? base
                                 : std::min(process->restart_delay * 2, longest);
    process->restart       = Clock::now() + process->restart_delay;
    log(Verbosity::Error,
        "process " + name + " " + describe(status) + "; restart " + std::to_string(process->restarts) + " of " +
            std::to_string(process->definition.retry_count) + " in " + std::to_string(process->restart_delay.count()) +
            " ms: " + process->definition.restart_message.value_or("restarting"));
}

void Agent::run_restarts()
{
    Lock lock(mutex_);
    while (!destroying_) {
        auto due = Clock::time_point::max();
        for (const auto &process : all_processes()) {
            if (!process->restart)
                continue;
            if (shutting_down_) {
                process->restart.reset();
                process->state = ProcessState::Failed;
                continue;
            }
            if (*process->restart > Clock::now()) {
                due = std::min(due, *process->restart);
                continue;
            }
            try {
                launch(lock, process, process->extra_args, process->environment);
            } catch (const AgentError &error) {
                log(Verbosity::Error, error.what());
            }
            due = Clock::now();  // the table may have changed while the lock was released
            break;
        }
        if (due == Clock::time_point::max()) {
            changed_.wait(lock);
        } else {
            changed_.wait_until(lock, due);
        }
    }
}

ProcessView Agent::view(const Process &process) const
{
    return {process.definition, process.state, process.reported_pid != 0 ? process.reported_pid : process.pid};
}

void Agent::start_process(const ProcessSpec &definition, std::int32_t timeout_seconds, const std::string &extra_args)
{
    if (auto peer = peer_of(definition.host))
        return options_.peers->start(*peer, definition, timeout_seconds, extra_args);
    Lock lock(mutex_);
    refuse_when_shutting_down();
    ProcessPtr existing = lookup(definition.name);
    if (existing != nullptr && existing->active())
        throw AgentError("process " + definition.name + " is already running");
    ProcessPtr process = define(definition);
    process->restarts  = 0;
    // The process may report before its launch returns: the start waits for that from now on.
    process->awaiting_report = timeout_seconds > 0 && definition.type == ProcessType::PaAware;
    pid_t leader             = 0;
    try {
        leader = launch(lock, process, extra_args, {});
    } catch (const AgentError &) {
        process->awaiting_report = false;
        throw;
    }
    await_start(lock, process, leader, timeout_seconds);
}

void Agent::stop_process(const std::string &name, const std::string &host)
{
    if (auto peer = peer_of(host))
        return options_.peers->stop(*peer, addressed(name, host));
    Lock lock(mutex_);
    refuse_when_shutting_down();
    stop(lock, {find(name, host)}, Waiting::UntilShutDown);
}

void Agent::signal_process(const std::string &name, const std::string &host, int signal)
{
    if (auto peer = peer_of(host))
        return options_.peers->signal(*peer, addressed(name, host), signal);
    std::lock_guard lock(mutex_);
    ProcessPtr process = find(name, host);
    if (signal < 0 || signal > SIGRTMAX)
        throw AgentError("no signal " + std::to_string(signal));
    if (process->pid == 0)
        throw AgentError("process " + name + " is not running");
    if (!process->groups.back()->signal(signal))
        throw AgentError("cannot signal process " + name);
    log(Verbosity::Event, "sent signal " + std::to_string(signal) + " to process " + name);
}

ProcessView Agent::process_status(const std::string &name, const std::string &host) const
{
    if (auto peer = peer_of(host))
        return options_.peers->status(*peer, addressed(name, host));
    std::lock_guard lock(mutex_);
    return view(*find(name, host));
}

void Agent::change_process(const std::string &old_name, const ProcessSpec &definition)
{
    if (auto peer = peer_of(definition.host))
        return options_.peers->change(*peer, old_name, definition);
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
    if (auto peer = peer_of(definition.host))
        return options_.peers->request_state(*peer, definition, state);
    Lock lock(mutex_);
    refuse_when_shutting_down();
    ProcessPtr process = find(definition.name, definition.host);
    const auto request = static_cast<StateRequest>(state);
    if (request != StateRequest::Stop && request != StateRequest::Run && request != StateRequest::Restart) {
        throw AgentError("unknown state request " + std::to_string(state));
    }
    if (request != StateRequest::Run)
        stop(lock, {process}, Waiting::UntilShutDown);
    if (request == StateRequest::Stop)
        return;
    // The stop waited with the lock released: another request may have started it meanwhile.
    if (!process->active())
        launch(lock, process, process->extra_args, process->environment);
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
    Lock lock(mutex_);
    ProcessPtr process = lookup(process_id);
    if (process == nullptr)
        throw AgentError("no process has the id " + std::to_string(process_id));
    const std::string &name = process->definition.name;
    // A report can come before the start that forked the process has learnt its PID.
    if (!wait_until(lock, Clock::now() + kLaunchWait, Waiting::UntilShutDown, [&] { return !process->launching; }))
        throw AgentError("process " + name + " is still being started");
    if (!process->awaiting_report || process->reported_pid != 0)
        throw AgentError("process " + name + " is not waiting for a report");
    if (!descends_from(pid, process->pid))
        throw AgentError("PID " + std::to_string(pid) + " is not process " + name + " or one of its descendants");
    process->reported_pid = pid;
    log(Verbosity::Event, "process " + name + " reported PID " + std::to_string(pid));
    changed_.notify_all();
}

void Agent::stop_all_processes()
{
    Lock lock(mutex_);
    refuse_when_shutting_down();
    stop(lock, all_processes(), Waiting::UntilShutDown);
}

void Agent::start_all_processes()
{
    Lock lock(mutex_);
    refuse_when_shutting_down();
    for (const auto &process : all_processes()) {
        if (!process->active())
            launch(lock, process, process->extra_args, process->environment);
    }
}

void Agent::shut_down(bool stop_processes)
{
    Lock lock(mutex_);
    shutting_down_ = true;
    changed_.notify_all();
    if (!stop_processes)
        return;
    try {
        stop(lock, all_processes(), Waiting::ThroughShutDown);
    } catch (const AgentError &error) {
        log(Verbosity::Error, error.what());
    }
}

}  // namespace paagent
