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

std::string Describe(const ExitStatus &status)
{
    if (!status.known) {
        return "ended, with a status the agent cannot learn (it was started by an earlier agent)";
    }
    return status.signalled ? "was killed by signal " + std::to_string(status.code)
                            : "exited with status " + std::to_string(status.code);
}

// A file name for a process's log: its name with path separators replaced.
std::string LogFileName(std::string name)
{
    std::replace(name.begin(), name.end(), '/', '_');
    return name.empty() || name[0] == '.' ? "_" + name + ".log" : name + ".log";
}

// A process as a request for it addresses it: by name and host.
ProcessSpec Addressed(const std::string &name, const std::string &host)
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
    if (!options_.log_dir.empty()) {
        log_directory_ = OpenPrivateDirectory(options_.log_dir.string());
    }
    watcher_   = std::make_unique<ChildWatcher>([this](pid_t pid, ExitStatus status) { OnExit(pid, status); });
    restarter_ = std::thread([this] { RunRestarts(); });
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

void Agent::Log(Verbosity verbosity, const std::string &text) const
{
    if (options_.log && static_cast<int>(verbosity) <= debug_level_) {
        options_.log(verbosity, text);
    }
}

std::int32_t Agent::DebugLevel() const { return debug_level_; }

void Agent::SetDebugLevel(std::int32_t level) { debug_level_ = level; }

Agent::ProcessPtr Agent::Lookup(const std::string &name) const
{
    auto found = processes_.find(name);
    return found == processes_.end() ? nullptr : found->second;
}

Agent::ProcessPtr Agent::Lookup(std::int32_t id) const
{
    auto found =
        std::find_if(processes_.begin(), processes_.end(), [id](const auto &entry) { return entry.second->id == id; });
    return found == processes_.end() ? nullptr : found->second;
}

Agent::ProcessPtr Agent::Find(const std::string &name, const std::string &host) const
{
    ProcessPtr process = Lookup(name);
    if (process == nullptr) {
        throw AgentError("unknown process " + name);
    }
    if (process->definition.host != host) {
        throw AgentError("process " + name + " is not defined for host " + host);
    }
    return process;
}

std::vector<Agent::ProcessPtr> Agent::AllProcesses() const
{
    std::vector<ProcessPtr> all;
    for (const auto &[name, process] : processes_) {
        all.push_back(process);
    }
    return all;
}

void Agent::CheckDefinable(const ProcessSpec &definition) const
{
    if (definition.name.empty()) {
        throw AgentError("a process needs a name");
    }
    if (definition.command.empty()) {
        throw AgentError("process " + definition.name + " has no command");
    }
    ProcessPtr process = Lookup(definition.name);
    if (process != nullptr && process->Active() && !(process->definition == definition)) {
        throw AgentError("process " + definition.name + " is running with another definition");
    }
}

Agent::ProcessPtr Agent::Define(const ProcessSpec &definition)
{
    CheckDefinable(definition);
    ProcessPtr process = Lookup(definition.name);
    if (process == nullptr) {
        process     = std::make_shared<Process>();
        process->id = next_process_id_++;
        processes_.emplace(definition.name, process);
    }
    process->definition = definition;
    return process;
}

void Agent::RefuseWhenShuttingDown() const
{
    if (shutting_down_) {
        throw AgentError("the agent is stopping");
    }
}

LaunchRequest Agent::RequestToLaunch(const Process &process) const
{
    LaunchRequest request;
    request.command =
        process.extra_args.empty() ? process.definition.command : process.definition.command + " " + process.extra_args;
    request.uid         = static_cast<uid_t>(process.definition.euid);
    request.environment = process.environment;
    request.environment.push_back("PA_SERVER=" + options_.server_name);
    request.environment.push_back("PA_PROCESS_ID=" + std::to_string(process.id));
    request.log_directory = log_directory_.Get();
    request.log_name      = LogFileName(process.definition.name);
    request.log_writer    = options_.log_writer;
    return request;
}

pid_t Agent::Launch(Lock &lock, const ProcessPtr &process, const std::string &extra_args,
                    const std::vector<std::string> &environment)
{
    // A blank command, which the file's writer puts for a missing one, loads but would run nothing.
    if (process->definition.command.find_first_not_of(" \t\n") == std::string::npos) {
        throw AgentError("process " + process->definition.name + " has no command to run");
    }
    process->extra_args  = extra_args;
    process->environment = environment;
    ForgetEndedGroups(*process);
    const LaunchRequest request = RequestToLaunch(*process);
    process->launching          = true;
    process->restart.reset();
    LaunchedChild child;
    try {
        Unlocked unlocked(lock);
        child = paagent::Launch(request);
    } catch (const std::system_error &error) {
        process->launching = false;
        process->state     = ProcessState::kFailed;
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
        WriteState();
    } catch (const std::exception &error) {
        paagent::Cancel(child);
        process->pid   = 0;
        process->state = ProcessState::kFailed;
        changed_.notify_all();
        throw AgentError("cannot record process " + process->definition.name + " in the state file: " + error.what() +
                         "; it was not started");
    }
    process->reported_pid   = 0;
    process->state          = ProcessState::kRunning;
    process->stop_requested = false;
    process->started        = Clock::now();
    process->groups.push_back(std::make_shared<const ProcessGroup>(child.pid, std::move(child.group)));
    watcher_->Watch(child.pid, std::move(child.pidfd));
    paagent::Release(child);
    changed_.notify_all();
    Log(Verbosity::kEvent, "started process " + process->definition.name + " (PID " + std::to_string(child.pid) + ")");
    return child.pid;
}

void Agent::AwaitStart(Lock &lock, const ProcessPtr &process, pid_t leader, std::int32_t timeout_seconds)
{
    if (timeout_seconds <= 0) {
        return;
    }
    const bool reports = process->definition.type == ProcessType::kPaAware;
    process->starting  = true;
    changed_.wait_for(lock, std::chrono::seconds(timeout_seconds), [&] {
        return shutting_down_ || process->pid != leader || (reports && process->reported_pid != 0);
    });
    process->starting        = false;
    process->awaiting_report = false;
    const std::string &name  = process->definition.name;
    const bool exited        = process->pid != leader;
    if (exited && process->last_exit && !(process->last_exit->Success() && !reports)) {
        process->state = ProcessState::kFailed;
        throw AgentError("process " + name + " " + Describe(*process->last_exit) + " while starting");
    }
    RefuseWhenShuttingDown();
    if (reports && process->reported_pid == 0) {
        throw AgentError("process " + name + " did not report within " + std::to_string(timeout_seconds) + " seconds");
    }
}

bool Agent::WaitUntil(Lock &lock, Clock::time_point deadline, Waiting waiting, const std::function<bool()> &done)
{
    for (;;) {
        if (done()) {
            return true;
        }
        if (waiting == Waiting::kUntilShutDown) {
            RefuseWhenShuttingDown();
        }
        const auto now = Clock::now();
        if (now >= deadline) {
            return false;
        }
        changed_.wait_for(lock, std::min<Clock::duration>(kPollInterval, deadline - now));
    }
}

void Agent::ForgetEndedGroups(Process &process)
{
    std::erase_if(process.groups, [](const auto &group) { return !group->Alive(); });
}

std::vector<Agent::Ending> Agent::SignalGroups(const std::vector<ProcessPtr> &processes)
{
    std::vector<Ending> ending;
    for (const auto &process : processes) {
        process->restarts = 0;
        process->restart.reset();
        if (process->pid == 0) {
            process->state = ProcessState::kStopped;
        } else {
            process->stop_requested = true;
        }
        for (const auto &group : process->groups) {
            if (group->Signal(SIGTERM)) {
                ending.push_back({process, group});
            }
        }
        if (!process->groups.empty()) {
            Log(Verbosity::kEvent, "stopping process " + process->definition.name);
        }
    }
    return ending;
}

void Agent::Stop(Lock &lock, const std::vector<ProcessPtr> &processes, Waiting waiting)
{
    // A process being forked has no group to signal yet.
    WaitUntil(lock, Clock::time_point::max(), waiting, [&] {
        return std::none_of(processes.begin(), processes.end(), [](const auto &p) { return p->launching; });
    });
    std::vector<Ending> ending = SignalGroups(processes);
    // Done when every group has ended and each leader's exit is recorded.
    auto left = [&ending] {
        std::vector<Ending> running;
        std::copy_if(ending.begin(), ending.end(), std::back_inserter(running), [](const Ending &entry) {
            return entry.process->pid == entry.group->Leader() || entry.group->Alive();
        });
        return running;
    };
    if (!WaitUntil(lock, Clock::now() + options_.grace, waiting, [&] { return left().empty(); })) {
        ending = left();
        for (const auto &[process, group] : ending) {
            Log(Verbosity::kEvent, "process " + process->definition.name + " ignored SIGTERM; killing it");
            group->Signal(SIGKILL);
        }
        if (!WaitUntil(lock, Clock::now() + kKillWait, waiting, [&] { return left().empty(); })) {
            std::string names;
            for (const auto &entry : left()) {
                names += (names.empty() ? "" : ", ") + entry.process->definition.name;
            }
            throw AgentError("still running after SIGKILL: " + names);
        }
    }
    for (const auto &process : processes) {
        ForgetEndedGroups(*process);
    }
}

void Agent::OnExit(pid_t pid, ExitStatus status)
{
    Lock lock(mutex_);
    auto entry =
        std::find_if(processes_.begin(), processes_.end(), [pid](const auto &item) { return item.second->pid == pid; });
    if (entry == processes_.end()) {
        return;
    }
    ProcessPtr process    = entry->second;
    process->pid          = 0;
    process->reported_pid = 0;
    process->last_exit    = status;
    // Recorded: the PID may go, and a stop waiting for the group need not wait for the watcher.
    for (const auto &group : process->groups) {
        if (group->Leader() == pid) {
            group->ReapLeader();
        }
    }
    const std::string &name = process->definition.name;
    if (process->stop_requested) {
        process->state = ProcessState::kStopped;
        Log(Verbosity::kEvent, "stopped process " + name);
    } else if (status.Success()) {
        process->state = ProcessState::kExited;
        Log(Verbosity::kEvent, "process " + name + " finished");
    } else if (process->starting || !process->definition.managed || shutting_down_) {
        process->state = ProcessState::kFailed;
        Log(Verbosity::kError, "process " + name + " " + Describe(status));
    } else {
        RestartOrFail(process, status);
    }
    RecordRunning();
    changed_.notify_all();
}

void Agent::RestartOrFail(const ProcessPtr &process, ExitStatus status)
{
    const std::string name = process->definition.name;
    if (process->restarts >= process->definition.retry_count) {
        process->state = ProcessState::kFailed;
        Log(Verbosity::kError, "process " + name + " " + Describe(status) +
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
    Log(Verbosity::kError,
        "process " + name + " " + Describe(status) + "; restart " + std::to_string(process->restarts) + " of " +
            std::to_string(process->definition.retry_count) + " in " + std::to_string(process->restart_delay.count()) +
            " ms: " + process->definition.restart_message.value_or("restarting"));
}

void Agent::RunRestarts()
{
    Lock lock(mutex_);
    while (!destroying_) {
        auto due = Clock::time_point::max();
        for (const auto &process : AllProcesses()) {
            if (!process->restart) {
                continue;
            }
            if (shutting_down_) {
                process->restart.reset();
                process->state = ProcessState::kFailed;
                continue;
            }
            if (*process->restart > Clock::now()) {
                due = std::min(due, *process->restart);
                continue;
            }
            try {
                Launch(lock, process, process->extra_args, process->environment);
            } catch (const AgentError &error) {
                Log(Verbosity::kError, error.what());
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

ProcessView Agent::View(const Process &process) const
{
    return {process.definition, process.state, process.reported_pid != 0 ? process.reported_pid : process.pid};
}

void Agent::StartProcess(const ProcessSpec &definition, std::int32_t timeout_seconds, const std::string &extra_args)
{
    if (auto peer = PeerOf(definition.host)) {
        return options_.peers->Start(*peer, definition, timeout_seconds, extra_args);
    }
    Lock lock(mutex_);
    RefuseWhenShuttingDown();
    ProcessPtr existing = Lookup(definition.name);
    if (existing != nullptr && existing->Active()) {
        throw AgentError("process " + definition.name + " is already running");
    }
    ProcessPtr process = Define(definition);
    process->restarts  = 0;
    // The process may report before its launch returns: the start waits for that from now on.
    process->awaiting_report = timeout_seconds > 0 && definition.type == ProcessType::kPaAware;
    pid_t leader             = 0;
    try {
        leader = Launch(lock, process, extra_args, {});
    } catch (const AgentError &) {
        process->awaiting_report = false;
        throw;
    }
    AwaitStart(lock, process, leader, timeout_seconds);
}

void Agent::StopProcess(const std::string &name, const std::string &host)
{
    if (auto peer = PeerOf(host)) {
        return options_.peers->Stop(*peer, Addressed(name, host));
    }
    Lock lock(mutex_);
    RefuseWhenShuttingDown();
    Stop(lock, {Find(name, host)}, Waiting::kUntilShutDown);
}

void Agent::SignalProcess(const std::string &name, const std::string &host, int signal)
{
    if (auto peer = PeerOf(host)) {
        return options_.peers->Signal(*peer, Addressed(name, host), signal);
    }
    std::lock_guard lock(mutex_);
    ProcessPtr process = Find(name, host);
    if (signal < 0 || signal > SIGRTMAX) {
        throw AgentError("no signal " + std::to_string(signal));
    }
    if (process->pid == 0) {
        throw AgentError("process " + name + " is not running");
    }
    if (!process->groups.back()->Signal(signal)) {
        throw AgentError("cannot signal process " + name);
    }
    Log(Verbosity::kEvent, "sent signal " + std::to_string(signal) + " to process " + name);
}

ProcessView Agent::ProcessStatus(const std::string &name, const std::string &host) const
{
    if (auto peer = PeerOf(host)) {
        return options_.peers->Status(*peer, Addressed(name, host));
    }
    std::lock_guard lock(mutex_);
    return View(*Find(name, host));
}

void Agent::ChangeProcess(const std::string &old_name, const ProcessSpec &definition)
{
    if (auto peer = PeerOf(definition.host)) {
        return options_.peers->Change(*peer, old_name, definition);
    }
    std::lock_guard lock(mutex_);
    auto entry = processes_.find(old_name);
    if (entry == processes_.end()) {
        throw AgentError("unknown process " + old_name);
    }
    if (definition.name != old_name && processes_.count(definition.name) != 0) {
        throw AgentError("process " + definition.name + " is already defined");
    }
    if (definition.command.empty()) {
        throw AgentError("process " + definition.name + " has no command");
    }
    auto node                 = processes_.extract(entry);
    node.key()                = definition.name;
    node.mapped()->definition = definition;
    processes_.insert(std::move(node));
    Log(Verbosity::kEvent, "changed process " + old_name);
}

void Agent::RequestState(const ProcessSpec &definition, std::int32_t state)
{
    if (auto peer = PeerOf(definition.host)) {
        return options_.peers->RequestState(*peer, definition, state);
    }
    Lock lock(mutex_);
    RefuseWhenShuttingDown();
    ProcessPtr process = Find(definition.name, definition.host);
    const auto request = static_cast<StateRequest>(state);
    if (request != StateRequest::kStop && request != StateRequest::kRun && request != StateRequest::kRestart) {
        throw AgentError("unknown state request " + std::to_string(state));
    }
    if (request != StateRequest::kRun) {
        Stop(lock, {process}, Waiting::kUntilShutDown);
    }
    if (request == StateRequest::kStop) {
        return;
    }
    // The stop waited with the lock released: another request may have started it meanwhile.
    if (!process->Active()) {
        Launch(lock, process, process->extra_args, process->environment);
    }
}

std::vector<ProcessView> Agent::Processes(bool running_only) const
{
    std::lock_guard lock(mutex_);
    std::vector<ProcessView> views;
    for (const auto &[name, process] : processes_) {
        if (!running_only || process->pid != 0) {
            views.push_back(View(*process));
        }
    }
    return views;
}

void Agent::ReportPid(std::int32_t process_id, pid_t pid)
{
    Lock lock(mutex_);
    ProcessPtr process = Lookup(process_id);
    if (process == nullptr) {
        throw AgentError("no process has the id " + std::to_string(process_id));
    }
    const std::string &name = process->definition.name;
    // A report can come before the start that forked the process has learnt its PID.
    if (!WaitUntil(lock, Clock::now() + kLaunchWait, Waiting::kUntilShutDown, [&] { return !process->launching; })) {
        throw AgentError("process " + name + " is still being started");
    }
    if (!process->awaiting_report || process->reported_pid != 0) {
        throw AgentError("process " + name + " is not waiting for a report");
    }
    if (!DescendsFrom(pid, process->pid)) {
        throw AgentError("PID " + std::to_string(pid) + " is not process " + name + " or one of its descendants");
    }
    process->reported_pid = pid;
    Log(Verbosity::kEvent, "process " + name + " reported PID " + std::to_string(pid));
    changed_.notify_all();
}

void Agent::StopAllProcesses()
{
    Lock lock(mutex_);
    RefuseWhenShuttingDown();
    Stop(lock, AllProcesses(), Waiting::kUntilShutDown);
}

void Agent::StartAllProcesses()
{
    Lock lock(mutex_);
    RefuseWhenShuttingDown();
    for (const auto &process : AllProcesses()) {
        if (!process->Active()) {
            Launch(lock, process, process->extra_args, process->environment);
        }
    }
}

void Agent::ShutDown(bool stop_processes)
{
    Lock lock(mutex_);
    shutting_down_ = true;
    changed_.notify_all();
    if (!stop_processes) {
        return;
    }
    try {
        Stop(lock, AllProcesses(), Waiting::kThroughShutDown);
    } catch (const AgentError &error) {
        Log(Verbosity::kError, error.what());
    }
}

}  // namespace paagent
