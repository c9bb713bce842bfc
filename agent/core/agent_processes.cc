// The agent's processes: requests for them go to the agent that serves their host, or to the
// supervisor.
#include <cmath>
#include <set>
#include <stdexcept>
#include <time.h>
#include <unistd.h>

#include <protocol/rpc_table.h>

#include "core/access.h"
#include "core/agent.h"
#include "core/group_usage.h"
#include "core/request_user.h"

namespace paagent {

namespace {

// A process as a request for it addresses it: by name and host.
Process Addressed(const std::string &name, const std::string &host)
{
    Process process;
    process.name = name;
    process.host = host;
    return process;
}

// A wait is 0 to kLongestWait seconds.
void RefuseLongWait(std::chrono::seconds wait)
{
    if (wait.count() < 0 || wait > kLongestWait) {
        throw AgentError("a wait is 0 to " + std::to_string(kLongestWait.count()) + " seconds, not " +
                         std::to_string(wait.count()));
    }
}

}  // namespace

Agent::Agent(AgentOptions options)
    : log_(std::move(options.log)), peers_(std::move(options.peers)), output_(options.supervision.log_dir)
{
    if (options.supervision.grace > kMaxGrace) {
        throw std::invalid_argument("the grace period may be at most " + std::to_string(kMaxGrace.count()) +
                                    " seconds");
    }
    here_    = {options.supervision.server_name, std::move(options.host_name), peers_ != nullptr};
    events_  = std::make_unique<EventLog>(options.events_kept, EventLog::FirstNumberNow(), std::move(options.on_event));
    auto log = [this](Verbosity verbosity, const std::string &text) { Log(verbosity, text); };
    auto emit                          = [this](agentclient::Event event) { events_->Emit(std::move(event)); };
    options.supervision.log            = log;
    options.supervision.emit           = emit;
    options.supervision.check_settings = [this](const std::string &name) { return CheckSettingsOf(name); };
    supervisor_                        = std::make_unique<Supervisor>(std::move(options.supervision));
    catalog_ = std::make_unique<Catalog>(CatalogOptions{here_, std::move(options.persist), log, emit}, *supervisor_);
}

Agent::~Agent() = default;

void Agent::Log(Verbosity verbosity, const std::string &text) const
{
    // What a client's request does, its audit line tells at this verbosity (see audit.h): the
    // steps it takes are details. The request's user marks its threads, the supervisor's too.
    if (verbosity == Verbosity::kEvent && RequestUser()) {
        verbosity = Verbosity::kRequest;
    }
    if (log_ && static_cast<int>(verbosity) <= debug_level_) {
        log_(verbosity, text);
    }
}

std::int32_t Agent::DebugLevel() const { return debug_level_; }

void Agent::SetDebugLevel(std::int32_t level) { debug_level_ = level; }

void Agent::SetCheckSettings(ChecksDirectory checks)
{
    check_settings_.store(std::make_shared<const std::map<std::string, CheckSettings>>(std::move(checks.settings)));
}

std::optional<CheckSettings> Agent::CheckSettingsOf(const std::string &name) const
{
    const auto settings = check_settings_.load();
    const auto found    = settings->find(name);
    if (found == settings->end()) {
        return std::nullopt;
    }
    return found->second;
}

void Agent::RefuseWhenShuttingDown() const
{
    if (shutting_down_) {
        throw AgentError("the agent is stopping");
    }
}

void Agent::StartProcess(const Process &definition, std::int32_t timeout_seconds, const std::string &extra_args)
{
    if (auto peer = catalog_->PeerOf(definition.host)) {
        RequireUnlimited("start processes", definition.host);
        return peers_->Start(*peer, definition, timeout_seconds, extra_args);
    }
    supervisor_->Start(definition, timeout_seconds, extra_args);
}

void Agent::StopProcess(const std::string &name, const std::string &host)
{
    if (auto peer = catalog_->PeerOf(host)) {
        return peers_->Stop(*peer, Addressed(name, host));
    }
    supervisor_->StopOne(name, host);
}

void Agent::SignalProcess(const std::string &name, const std::string &host, int signal)
{
    if (auto peer = catalog_->PeerOf(host)) {
        return peers_->Signal(*peer, Addressed(name, host), signal);
    }
    supervisor_->Signal(name, host, signal);
}

ProcessView Agent::ProcessStatus(const std::string &name, const std::string &host) const
{
    if (auto peer = catalog_->PeerOf(host)) {
        return peers_->Status(*peer, Addressed(name, host));
    }
    return supervisor_->Status(name, host);
}

agentclient::Output Agent::ProcessOutput(const std::string &name, const std::string &host, std::int64_t cursor,
                                         std::int32_t tail_lines, std::chrono::seconds wait) const
{
    if (cursor < pa::protocol::kEndCursor) {
        throw AgentError("an output cursor is " + std::to_string(pa::protocol::kEndCursor) + " or at least 0, not " +
                         std::to_string(cursor));
    }
    if (tail_lines < 0) {
        throw AgentError("a number of last lines cannot be negative");
    }
    RefuseLongWait(wait);
    if (auto peer = catalog_->PeerOf(host)) {
        return peers_->ReadOutput(*peer, Addressed(name, host), cursor, tail_lines,
                                  static_cast<std::int32_t>(wait.count()));
    }
    return output_.Read(supervisor_->LogOf(name, host), cursor, tail_lines, wait, pa::protocol::kOutputReplyBytes);
}

std::vector<ProcessView> Agent::LocalViews(const std::string &name, const std::string &host) const
{
    if (!name.empty() && !host.empty()) {
        return {supervisor_->Status(name, host)};
    }
    // Without a host, a process is known by its name alone: names are unique to an agent.
    std::vector<ProcessView> views = supervisor_->List(false);
    if (!name.empty()) {
        std::erase_if(views, [&name](const ProcessView &view) { return view.definition.name != name; });
        if (views.empty()) {
            throw AgentError("process " + name + " is not defined");
        }
    }
    return views;
}

std::vector<agentclient::ProcessHealth> Agent::HealthOf(const std::string &name, const std::string &host) const
{
    if (auto peer = catalog_->PeerOf(host)) {
        return peers_->Health(*peer, name, host);
    }
    std::vector<agentclient::ProcessHealth> rows;
    for (const ProcessView &view : LocalViews(name, host)) {
        const HealthView &health = view.health;
        rows.push_back({view.definition.name, view.definition.host, health.health, health.output, health.status_text});
    }
    return rows;
}

std::vector<agentclient::ProcessStats> Agent::StatsOf(const std::string &name, const std::string &host) const
{
    if (auto peer = catalog_->PeerOf(host)) {
        return peers_->Stats(*peer, name, host);
    }
    const std::vector<ProcessView> views = LocalViews(name, host);
    std::set<pid_t> groups;
    for (const ProcessView &view : views) {
        if (view.life.group != 0) {
            groups.insert(view.life.group);
        }
    }
    const std::map<pid_t, GroupUsage> usage = UsageOfGroups(groups);
    static const double kTicks              = static_cast<double>(sysconf(_SC_CLK_TCK));
    static const auto kPageBytes            = static_cast<std::int64_t>(sysconf(_SC_PAGESIZE));
    // Process start times count from boot, as this clock does.
    timespec boot{};
    clock_gettime(CLOCK_BOOTTIME, &boot);
    const double since_boot = static_cast<double>(boot.tv_sec) + static_cast<double>(boot.tv_nsec) / 1e9;
    const double wall = std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    std::vector<agentclient::ProcessStats> rows;
    for (const ProcessView &view : views) {
        agentclient::ProcessStats &row = rows.emplace_back();
        row.name                       = view.definition.name;
        row.host                       = view.definition.host;
        row.state                      = static_cast<std::int32_t>(view.state);
        row.pid                        = view.pid;
        row.restarts                   = view.life.restarts;
        row.last_exit_status           = view.life.last_exit_status;
        row.last_exit_signal           = view.life.last_exit_signal;
        const auto found               = usage.find(view.life.group);
        if (found == usage.end()) {
            continue;
        }
        const GroupUsage &group = found->second;
        if (group.leader_start != 0) {
            row.uptime_seconds = std::max(0.0, since_boot - static_cast<double>(group.leader_start) / kTicks);
            row.started_at     = std::llround(wall - row.uptime_seconds);
        }
        row.cpu_user_seconds   = static_cast<double>(group.user_ticks) / kTicks;
        row.cpu_system_seconds = static_cast<double>(group.system_ticks) / kTicks;
        row.memory_bytes       = static_cast<std::int64_t>(group.resident_pages) * kPageBytes;
        row.threads            = group.threads;
        row.descriptors        = group.descriptors;
    }
    return rows;
}

void Agent::ChangeProcess(const std::string &old_name, const Process &definition)
{
    if (auto peer = catalog_->PeerOf(definition.host)) {
        RequireUnlimited("define processes", definition.host);
        return peers_->Change(*peer, old_name, definition);
    }
    supervisor_->Change(old_name, definition);
}

void Agent::RequestState(const Process &definition, std::int32_t state)
{
    if (auto peer = catalog_->PeerOf(definition.host)) {
        RequireUnlimited("change the state of processes", definition.host);
        return peers_->RequestState(*peer, definition, state);
    }
    RefuseWhenShuttingDown();
    const auto request = static_cast<StateRequest>(state);
    if (request != StateRequest::kStop && request != StateRequest::kRun && request != StateRequest::kRestart) {
        supervisor_->Status(definition.name, definition.host);
        throw AgentError("unknown state request " + std::to_string(state));
    }
    if (request != StateRequest::kRun) {
        supervisor_->StopOne(definition.name, definition.host);
    }
    if (request != StateRequest::kStop) {
        supervisor_->Relaunch(definition.name, definition.host);
    }
}

void Agent::StopAllProcesses()
{
    RefuseWhenShuttingDown();
    supervisor_->StopAll();
}

void Agent::StartAllProcesses()
{
    RefuseWhenShuttingDown();
    supervisor_->StartAll();
}

void Agent::ShutDown(bool stop_processes)
{
    shutting_down_ = true;
    output_.Stop();
    events_->Emit(NewEvent(EventKind::kAgentStopping));
    events_->Close();
    supervisor_->ShutDown(stop_processes);
}

EventBatch Agent::Events(const std::string &host, std::int64_t cursor, std::chrono::seconds wait) const
{
    RefuseLongWait(wait);
    // The host as a process's is addressed: the agent of another host serves its events.
    if (auto peer = host != pa::protocol::kNoValue ? catalog_->PeerOf(host) : std::nullopt) {
        return peers_->WaitEvents(*peer, host, cursor, static_cast<std::int32_t>(wait.count()));
    }
    std::atomic<bool> gone           = false;
    const HangUpWatcher::Watch watch = hang_ups_.WatchClient([this, &gone] {
        gone = true;
        events_->Wake();
    });
    return events_->After(cursor, wait, &gone);
}

}  // namespace paagent
