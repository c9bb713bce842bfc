// What pactl shows of the agent's processes, services and routes: one JSON object each, the
// same for the tables and for --json, so that both say the same thing.
#ifndef PACTL_RECORDS_H
#define PACTL_RECORDS_H

#include <agentclient/agentclient.hpp>

#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pactl {

using Json = nlohmann::ordered_json;

// The agent's state number for a running process (and for a service whose members all run).
inline constexpr std::int32_t kRunning = 1;

// The agent's state numbers as words: stopped, running, exited, failed (processes); stopped,
// running, partial (services); "unknown" for any other.
std::string ProcessStateWord(std::int32_t state);
std::string ServiceStateWord(std::int32_t state);

// Process types as pactl names them: daemon, aware (reports to the agent) and plain.
std::string TypeWord(agentclient::ProcessType type);
std::optional<agentclient::ProcessType> TypeFromWord(std::string_view word);

// name, host, state, state_code, pid, command, type, managed, retries, euid.
Json ProcessRecord(const agentclient::Process &process, const agentclient::ProcessStatus &status);
// A process record with the member's value: null, a number or a text.
Json MemberRecord(const agentclient::Member &member, const agentclient::ProcessStatus &status);
// name, type (master, non-master), start (auto, manual), state, state_code, members.
Json ServiceRecord(const agentclient::Service &service, std::int32_t state, Json members);
// host, server.
Json RouteRecord(const agentclient::Route &route);
Json RouteRecords(const std::vector<agentclient::Route> &routes);

// Reading the agent: every process in the agent's order, or those named in the order named; a
// name the agent does not know is a Failure that names every such name.
std::vector<agentclient::Process> FindProcesses(agentclient::Connection &agent, const std::vector<std::string> &names);
agentclient::Service FindService(agentclient::Connection &agent, const std::string &name);
// The records of the processes, each with its state now.
Json ProcessRecords(agentclient::Connection &agent, const std::vector<agentclient::Process> &processes);
// The service's record, its members each with their state now.
Json DescribeService(agentclient::Connection &agent, const agentclient::Service &service);

}  // namespace pactl

#endif  // PACTL_RECORDS_H
