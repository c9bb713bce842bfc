// What the tools show of the agent's processes, services and routes: one JSON object each, the
// same for the tables and for --json, so that both say the same thing.
#ifndef PATOOLS_RECORDS_H
#define PATOOLS_RECORDS_H

#include <agentclient/agentclient.hpp>

#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace patools {

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
// Adds a process's figures to its record: uptime_seconds, restarts, cpu_user_seconds,
// cpu_system_seconds, cpu_percent (over its uptime; null while it does not run), memory_bytes,
// threads, descriptors, started_at and last_exit ("exit N", "signal N" or null); each null for
// no figures, from an agent older than them.
void AddStats(Json &record, const agentclient::ProcessStats *stats);

// Reading the agent: every process in the agent's order, or those named in the order named; a
// name the agent does not know is a Failure that names every such name.
std::vector<agentclient::Process> FindProcesses(agentclient::Connection &agent, const std::vector<std::string> &names);
agentclient::Service FindService(agentclient::Connection &agent, const std::string &name);
// The records of the processes, each with its state, health and figures now: the process
// record and health (a word, or null while it does not run or from an agent older than health),
// health_output and status_text, and its figures (see AddStats).
Json ProcessRecords(agentclient::Connection &agent, const std::vector<agentclient::Process> &processes);
// The service's record, its members each with their state now.
Json DescribeService(agentclient::Connection &agent, const agentclient::Service &service);

}  // namespace patools

#endif  // PATOOLS_RECORDS_H
