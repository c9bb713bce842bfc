// The processes an earlier agent started, as the state file records them: taken on at start,
// and the file rewritten whenever one starts or ends.
#include "core/agent_process.h"
#include "core/atomic_file.h"
#include "core/state_store.h"

namespace paagent {

int Agent::AdoptRecorded()
{
    if (options_.state_file.empty()) {
        return 0;
    }
    const auto began                         = Clock::now();
    const std::vector<RunningRecord> records = Recorded();
    Lock lock(mutex_);
    int adopted = 0;
    for (const RunningRecord &record : records) {
        adopted += Adopt(record) ? 1 : 0;
    }
    RecordRunning();
    const auto took = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - began);
    Log(Verbosity::kEvent, "adopted " + std::to_string(adopted) + " of " + std::to_string(records.size()) +
                               " recorded processes in " + std::to_string(took.count()) + " us");
    return adopted;
}

std::vector<RunningRecord> Agent::Recorded() const
{
    const std::string path = options_.state_file.string();
    std::optional<std::string> text;
    try {
        text = ReadStateText(options_.state_file);
    } catch (const std::runtime_error &error) {
        Log(Verbosity::kError, error.what() + std::string("; no process taken on"));
        return {};
    }
    ParsedState state = ParseState(text.value_or(""));
    for (const BadLine &line : state.bad_lines) {
        Log(Verbosity::kError,
            path + ":" + std::to_string(line.number) + ": " + line.reason + "; what it records is not taken on");
    }
    // The file is rewritten next: what it holds that the agent could not read stays beside it.
    if (!state.bad_lines.empty()) {
        try {
            Log(Verbosity::kError, "kept " + path + " as " + KeepAside(options_.state_file, *text).string());
        } catch (const std::runtime_error &error) {
            Log(Verbosity::kError, "cannot keep " + path + " aside: " + error.what());
        }
    }
    return std::move(state.records);
}

bool Agent::Adopt(const RunningRecord &record)
{
    const std::string &name = record.definition.name;
    if (record.pid == 0) {
        return TakeOnPendingRestart(record);
    }
    const std::string pid = std::to_string(record.pid);
    const RecordedLaunch launch{record.pid, record.identity, record.launch_key,
                                static_cast<uid_t>(record.definition.euid)};
    std::string refusal;
    std::optional<LaunchedChild> taken = paagent::Adopt(launch, refusal);
    if (!refusal.empty()) {
        Log(Verbosity::kError, "not taking on process " + name + " (PID " + pid + "): " + refusal);
        return false;
    }
    if (!taken) {
        Log(Verbosity::kEvent,
            "forgot process " + name + " (PID " + pid + "): it has ended, or its PID now belongs to another process");
        return false;
    }
    ProcessPtr process = Lookup(name);
    try {
        if (process == nullptr) {
            process = Define(record.definition);
        }
    } catch (const AgentError &error) {
        Log(Verbosity::kError, "cannot take on process " + name + " (PID " + pid + "): " + error.what());
        return false;
    }
    if (process->Active()) {
        Log(Verbosity::kError, "process " + name + " is recorded twice; PID " + pid + " not taken on");
        return false;
    }
    process->pid         = record.pid;
    process->identity    = record.identity;
    process->launch_key  = record.launch_key;
    process->state       = ProcessState::kRunning;
    process->extra_args  = record.extra_args;
    process->environment = record.environment;
    process->groups.push_back(std::make_shared<const ProcessGroup>(record.pid, std::move(taken->group)));
    watcher_->Watch(record.pid, std::move(taken->pidfd));
    Log(Verbosity::kEvent, "adopted process " + name + " (PID " + pid + ")");
    return true;
}

// A managed process that was waiting for its restart when the earlier agent ended: restarted
// now, so that the agent's end does not lose it. Only as the configuration defines it: what the
// state file says is no reason to run a command.
bool Agent::TakeOnPendingRestart(const RunningRecord &record)
{
    const std::string &name = record.definition.name;
    ProcessPtr process      = Lookup(name);
    if (process == nullptr) {
        Log(Verbosity::kError, "dropped the restart of process " + name + ": the configuration does not define it");
        return false;
    }
    if (process->Active()) {
        return false;
    }
    process->extra_args  = record.extra_args;
    process->environment = record.environment;
    process->restart     = Clock::now();
    changed_.notify_all();
    Log(Verbosity::kEvent, "process " + name + " was waiting for its restart; restarting it");
    return true;
}

void Agent::WriteState() const
{
    if (options_.state_file.empty()) {
        return;
    }
    std::vector<RunningRecord> records;
    for (const auto &[name, process] : processes_) {
        // A process waiting for its restart is recorded too, without a PID.
        if (process->pid != 0 || process->restart) {
            records.push_back({process->definition, process->pid, process->identity, process->launch_key,
                               process->extra_args, process->environment});
        }
    }
    ReplaceFile(options_.state_file, FormatState(records), Durability::kProcessCrash);
}

void Agent::RecordRunning() const
{
    try {
        WriteState();
    } catch (const std::exception &error) {
        Log(Verbosity::kError, std::string("cannot record the running processes: ") + error.what());
    }
}

}  // namespace paagent
