// The processes an earlier agent started, as the state file records them: taken on at start,
// and the file rewritten whenever one starts or ends.
#include "core/agent_process.h"
#include "core/atomic_file.h"
#include "core/state_store.h"

namespace paagent {

int Agent::adopt_recorded()
{
    if (options_.state_file.empty())
        return 0;
    const auto began                         = Clock::now();
    const std::vector<RunningRecord> records = recorded();
    Lock lock(mutex_);
    int adopted = 0;
    for (const RunningRecord &record : records)
        adopted += adopt(record) ? 1 : 0;
    record_running();
    const auto took = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - began);
    log(Verbosity::Event, "adopted " + std::to_string(adopted) + " of " + std::to_string(records.size()) +
                              " recorded processes in " + std::to_string(took.count()) + " us");
    return adopted;
}

std::vector<RunningRecord> Agent::recorded() const
{
    const std::string path = options_.state_file.string();
    std::optional<std::string> text;
    try {
        text = read_state_text(options_.state_file);
    } catch (const std::runtime_error &error) {
        log(Verbosity::Error, error.what() + std::string("; no process taken on"));
        return {};
    }
    ParsedState state = parse_state(text.value_or(""));
    for (const BadLine &line : state.bad_lines) {
        log(Verbosity::Error,
            path + ":" + std::to_string(line.number) + ": " + line.reason + "; what it records is not taken on");
    }
    // The file is rewritten next: what it holds that the agent could not read stays beside it.
    if (!state.bad_lines.empty()) {
        try {
            log(Verbosity::Error, "kept " + path + " as " + keep_aside(options_.state_file, *text).string());
        } catch (const std::runtime_error &error) {
            log(Verbosity::Error, "cannot keep " + path + " aside: " + error.what());
        }
    }
    return std::move(state.records);
}

bool Agent::adopt(const RunningRecord &record)
{
    const std::string &name = record.definition.name;
    if (record.pid == 0)
        return take_on_pending_restart(record);
    const std::string pid = std::to_string(record.pid);
    const RecordedLaunch launch{record.pid, record.identity, record.launch_key,
                                static_cast<uid_t>(record.definition.euid)};
    std::string refusal;
    std::optional<LaunchedChild> taken = paagent::adopt(launch, refusal);
    if (!refusal.empty()) {
        log(Verbosity::Error, "not taking on process " + name + " (PID " + pid + "): " + refusal);
        return false;
    }
    if (!taken) {
        log(Verbosity::Event,
            "forgot process " + name + " (PID " + pid + "): it has ended, or its PID now belongs to another process");
        return false;
    }
    ProcessPtr process = lookup(name);
    try {
        if (process == nullptr)
            process = define(record.definition);
    } catch (const AgentError &error) {
        log(Verbosity::Error, "cannot take on process " + name + " (PID " + pid + "): " + error.what());
        return false;
    }
    if (process->active()) {
        log(Verbosity::Error, "process " + name + " is recorded twice; PID " + pid + " not taken on");
        return false;
    }
    process->pid         = record.pid;
    process->identity    = record.identity;
    process->launch_key  = record.launch_key;
    process->state       = ProcessState::Running;
    process->extra_args  = record.extra_args;
    process->environment = record.environment;
    process->groups.push_back(std::make_shared<const ProcessGroup>(record.pid, std::move(taken->group)));
    watcher_->watch(record.pid, std::move(taken->pidfd));
    log(Verbosity::Event, "adopted process " + name + " (PID " + pid + ")");
    return true;
}

// A managed process that was waiting for its restart when the earlier agent ended: restarted
// now, so that the agent's end does not lose it. Only as the configuration defines it: what the
// state file says is no reason to run a command.
bool Agent::take_on_pending_restart(const RunningRecord &record)
{
    const std::string &name = record.definition.name;
    ProcessPtr process      = lookup(name);
    if (process == nullptr) {
        log(Verbosity::Error, "dropped the restart of process " + name + ": the configuration does not define it");
        return false;
    }
    if (process->active())
        return false;
    process->extra_args  = record.extra_args;
    process->environment = record.environment;
    process->restart     = Clock::now();
    changed_.notify_all();
    log(Verbosity::Event, "process " + name + " was waiting for its restart; restarting it");
    return true;
}

void Agent::write_state() const
{
    if (options_.state_file.empty())
        return;
    std::vector<RunningRecord> records;
    for (const auto &[name, process] : processes_) {
        // A process waiting for its restart is recorded too, without a PID.
        if (process->pid != 0 || process->restart) {
            records.push_back({process->definition, process->pid, process->identity, process->launch_key,
                               process->extra_args, process->environment});
        }
    }
    replace_file(options_.state_file, format_state(records), Durability::ProcessCrash);
}

void Agent::record_running() const
{
    try {
        write_state();
    } catch (const std::exception &error) {
        log(Verbosity::Error, std::string("cannot record the running processes: ") + error.what());
    }
}

}  // namespace paagent
