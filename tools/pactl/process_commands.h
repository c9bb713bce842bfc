// pactl's process commands: status, start, stop, restart and signal.
#ifndef PACTL_PROCESS_COMMANDS_H
#define PACTL_PROCESS_COMMANDS_H

#include "failure.h"
#include "output.h"
#include "session.h"

#include <cstdint>
#include <string>
#include <vector>

namespace patools {

struct StartOptions {
    std::string arguments;  // added to the command of a known process
    std::int32_t wait = 0;  // seconds the agent watches the start before it answers
    // Given, the command defines the process from the settings below before starting it.
    std::string command;
    std::string host              = "localhost";
    bool managed                  = false;
    std::int32_t retries          = 0;
    agentclient::ProcessType type = agentclient::ProcessType::kNotPaAware;
};

// The records of the named processes, or of every process; with lenient, names the agent does
// not know are left out instead of refused (for answers merged from several agents).
Json StatusRecords(agentclient::Connection &agent, const std::vector<std::string> &names, bool lenient);
// NotRunning when names were given and one of them has no record or a record not running,
// else Done. Records of agents that gave an error take no part.
Exit StatusExit(const Json &records, const std::vector<std::string> &names);

Exit StartProcesses(Session &session, const Output &output, const std::vector<std::string> &names,
                    const StartOptions &options);
Exit StopProcesses(Session &session, const Output &output, const std::vector<std::string> &names);
Exit RestartProcesses(Session &session, const Output &output, const std::vector<std::string> &names);
Exit SignalProcesses(Session &session, const Output &output, const std::string &signal,
                     const std::vector<std::string> &names);

}  // namespace patools

#endif  // PACTL_PROCESS_COMMANDS_H
