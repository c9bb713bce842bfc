#include "process_commands.h"

#include "signal_names.h"

#include <algorithm>
#include <functional>
#include <unistd.h>

namespace patools {

namespace ac = agentclient;

namespace {

// The agent's request for a process to stop and start again.
constexpr std::int32_t kRestartRequest = 2;

// What happened to the process, with its state now: "started web: running, PID 4242".
Outcome ProcessOutcome(ac::Connection &agent, const ac::Process &process, const std::string &done)
{
    const ac::ProcessStatus status = agent.Status(process);
    Json record                    = {{"action", done}};
    record.update(ProcessRecord(process, status));
    std::string sentence = done + " " + process.name + ": " + ProcessStateWord(status.state);
    if (status.pid != 0) {
        sentence += ", PID " + std::to_string(status.pid);
    }
    return {std::move(sentence), std::move(record)};
}

// Does action to each process in turn and reports each one's state after it. A failure ends
// the command once what was done before it has been reported.
Exit ActOnEach(ac::Connection &agent, const Output &output, const std::vector<ac::Process> &processes,
               const std::string &done, const std::function<void(const ac::Process &)> &action)
{
    std::vector<Outcome> outcomes;
    for (const ac::Process &process : processes) {
        try {
            action(process);
        } catch (...) {
            output.Outcomes(outcomes);
            throw;
        }
        outcomes.push_back(ProcessOutcome(agent, process, done));
    }
    output.Outcomes(outcomes);
    return Exit::kDone;
}

// The process --command defines: it runs as the user pactl runs as.
ac::Process Definition(const std::string &name, const StartOptions &options)
{
    ac::Process process;
    process.name        = name;
    process.host        = options.host;
    process.command     = options.command;
    process.euid        = static_cast<std::int32_t>(getuid());
    process.managed     = options.managed;
    process.retry_count = options.retries;
    process.type        = options.type;
    return process;
}

std::vector<ac::Process> ProcessesToStart(Session &session, const std::vector<std::string> &names,
                                          const StartOptions &options)
{
    if (options.command.empty()) {
        return FindProcesses(session.Agent(), names);
    }
    if (names.size() != 1) {
        throw UsageError("--command defines one process; name exactly one");
    }
    return {Definition(names.front(), options)};
}

}  // namespace

Json StatusRecords(ac::Connection &agent, const std::vector<std::string> &names, bool lenient)
{
    std::vector<ac::Process> processes = lenient ? agent.Processes() : FindProcesses(agent, names);
    if (lenient && !names.empty()) {
        std::erase_if(processes, [&](const ac::Process &process) {
            return std::find(names.begin(), names.end(), process.name) == names.end();
        });
    }
    return ProcessRecords(agent, processes);
}

Exit StatusExit(const Json &records, const std::vector<std::string> &names)
{
    const bool running = std::all_of(records.begin(), records.end(), [](const Json &record) {
        return record.contains("error") || record["state_code"] == kRunning;
    });
    const bool found   = std::all_of(names.begin(), names.end(), [&](const std::string &name) {
        return std::any_of(records.begin(), records.end(),
                             [&](const Json &record) { return record.value("name", "") == name; });
    });
    return names.empty() || (running && found) ? Exit::kDone : Exit::kNotRunning;
}

Exit StartProcesses(Session &session, const Output &output, const std::vector<std::string> &names,
                    const StartOptions &options)
{
    const std::vector<ac::Process> processes = ProcessesToStart(session, names, options);
    ac::Connection &agent                    = session.Agent();
    return ActOnEach(agent, output, processes, "started", [&](const ac::Process &p) {
        if (!options.arguments.empty()) {
            agent.StartWithArgs(p, options.arguments);
        } else {
            agent.Start(p, options.wait);
        }
    });
}

Exit StopProcesses(Session &session, const Output &output, const std::vector<std::string> &names)
{
    ac::Connection &agent = session.Agent();
    return ActOnEach(agent, output, FindProcesses(agent, names), "stopped",
                     [&](const ac::Process &process) { agent.Stop(process); });
}

Exit RestartProcesses(Session &session, const Output &output, const std::vector<std::string> &names)
{
    ac::Connection &agent = session.Agent();
    return ActOnEach(agent, output, FindProcesses(agent, names), "restarted",
                     [&](const ac::Process &process) { agent.ForwardState(process, kRestartRequest); });
}

Exit SignalProcesses(Session &session, const Output &output, const std::string &signal,
                     const std::vector<std::string> &names)
{
    const int number      = ParseSignal(signal);
    ac::Connection &agent = session.Agent();
    return ActOnEach(agent, output, FindProcesses(agent, names), "sent " + SignalName(number) + " to",
                     [&](const ac::Process &process) { agent.Signal(process, number); });
}

}  // namespace patools
