#include "records.h"

#include "failure.h"

#include <protocol/states.h>

#include <algorithm>
#include <array>
#include <set>
#include <string>
#include <utility>

namespace patools {

namespace ac = agentclient;

namespace {

constexpr std::array kTypeWords = {
    std::pair{ac::ProcessType::kDaemon, "daemon"},
    std::pair{ac::ProcessType::kPaAware, "aware"},
    std::pair{ac::ProcessType::kNotPaAware, "plain"},
};

// The name at index state of names, or "unknown".
template <std::size_t N>
std::string StateWord(const std::array<std::string_view, N> &names, std::int32_t state)
{
    return std::string(state >= 0 && static_cast<std::size_t>(state) < N ? names[static_cast<std::size_t>(state)]
                                                                         : "unknown");
}

Json MemberValue(const ac::MemberValue &value)
{
    if (const auto *number = std::get_if<std::int32_t>(&value)) {
        return *number;
    }
    if (const auto *text = std::get_if<std::string>(&value)) {
        return *text;
    }
    return nullptr;
}

std::string JoinNames(const std::vector<std::string> &names)
{
    std::string joined;
    for (const std::string &name : names) {
        joined += (joined.empty() ? "" : ", ") + name;
    }
    return joined;
}

// What fetch answers for the processes of each host the list names, asked of the agent that
// serves it; none from an agent older than fetch's request.
template <class Record>
std::vector<Record> PerHost(ac::Connection &agent, const std::vector<ac::Process> &processes,
                            std::vector<Record> (ac::Connection::*fetch)(const std::string &, const std::string &))
{
    std::set<std::string> hosts;
    for (const ac::Process &process : processes) {
        hosts.insert(process.host);
    }
    std::vector<Record> records;
    for (const std::string &host : hosts) {
        try {
            std::vector<Record> of_host = (agent.*fetch)({}, host);
            records.insert(records.end(), of_host.begin(), of_host.end());
        } catch (const ac::Error &error) {
            if (error.Code() != PaNOT_SUPPORTED) {
                throw;
            }
        }
    }
    return records;
}

// The process's record among records, none when there is none.
template <class Record>
const Record *RecordOf(const std::vector<Record> &records, const ac::Process &process)
{
    auto found = std::find_if(records.begin(), records.end(),
                              [&](const Record &r) { return r.name == process.name && r.host == process.host; });
    return found != records.end() ? &*found : nullptr;
}

// How the last run ended: "exit 3", "signal 9", or null.
Json LastExit(const ac::ProcessStats &stats)
{
    if (stats.last_exit_signal) {
        return "signal " + std::to_string(*stats.last_exit_signal);
    }
    return stats.last_exit_status ? Json("exit " + std::to_string(*stats.last_exit_status)) : Json();
}

}  // namespace

void AddStats(Json &record, const ac::ProcessStats *stats)
{
    if (stats == nullptr) {
        for (const char *key : {"uptime_seconds", "restarts", "cpu_user_seconds", "cpu_system_seconds", "cpu_percent",
                                "memory_bytes", "threads", "descriptors", "started_at", "last_exit"}) {
            record[key] = nullptr;
        }
        return;
    }
    const double cpu             = stats->cpu_user_seconds + stats->cpu_system_seconds;
    record["uptime_seconds"]     = stats->uptime_seconds;
    record["restarts"]           = stats->restarts;
    record["cpu_user_seconds"]   = stats->cpu_user_seconds;
    record["cpu_system_seconds"] = stats->cpu_system_seconds;
    // A lifetime average, as ps shows it.
    record["cpu_percent"]  = stats->uptime_seconds > 0 ? Json(100 * cpu / stats->uptime_seconds) : Json();
    record["memory_bytes"] = stats->memory_bytes;
    record["threads"]      = stats->threads;
    record["descriptors"]  = stats->descriptors;
    record["started_at"]   = stats->started_at;
    record["last_exit"]    = LastExit(*stats);
}

std::string ProcessStateWord(std::int32_t state) { return StateWord(pa::protocol::kProcessStateNames, state); }

std::string ServiceStateWord(std::int32_t state) { return StateWord(pa::protocol::kServiceStateNames, state); }

std::string TypeWord(ac::ProcessType type)
{
    auto found =
        std::find_if(kTypeWords.begin(), kTypeWords.end(), [type](const auto &entry) { return entry.first == type; });
    return found != kTypeWords.end() ? found->second : "unknown";
}

std::optional<ac::ProcessType> TypeFromWord(std::string_view word)
{
    auto found =
        std::find_if(kTypeWords.begin(), kTypeWords.end(), [word](const auto &entry) { return entry.second == word; });
    return found != kTypeWords.end() ? std::optional(found->first) : std::nullopt;
}

Json ProcessRecord(const ac::Process &process, const ac::ProcessStatus &status)
{
    return {{"name", process.name},
            {"host", process.host},
            {"state", ProcessStateWord(status.state)},
            {"state_code", status.state},
            {"pid", status.pid},
            {"command", process.command},
            {"type", TypeWord(process.type)},
            {"managed", process.managed},
            {"retries", process.retry_count},
            {"euid", process.euid}};
}

Json MemberRecord(const ac::Member &member, const ac::ProcessStatus &status)
{
    Json record     = ProcessRecord(member.process, status);
    record["value"] = MemberValue(member.value);
    return record;
}

Json ServiceRecord(const ac::Service &service, std::int32_t state, Json members)
{
    return {{"name", service.name},
            {"type", service.type == ac::ServiceType::kMaster ? "master" : "non-master"},
            {"start", service.start == ac::ServiceStart::kAuto ? "auto" : "manual"},
            {"state", ServiceStateWord(state)},
            {"state_code", state},
            {"members", std::move(members)}};
}

Json RouteRecord(const ac::Route &route) { return {{"host", route.host}, {"server", route.server}}; }

Json RouteRecords(const std::vector<ac::Route> &routes)
{
    Json records = Json::array();
    for (const ac::Route &route : routes) {
        records.push_back(RouteRecord(route));
    }
    return records;
}

std::vector<ac::Process> FindProcesses(ac::Connection &agent, const std::vector<std::string> &names)
{
    std::vector<ac::Process> known = agent.Processes();
    if (names.empty()) {
        return known;
    }
    std::vector<ac::Process> found;
    std::vector<std::string> unknown;
    for (const std::string &name : names) {
        auto process = std::find_if(known.begin(), known.end(), [&](const ac::Process &p) { return p.name == name; });
        if (process == known.end()) {
            unknown.push_back(name);
        } else {
            found.push_back(*process);
        }
    }
    if (!unknown.empty()) {
        throw Failure(Exit::kFailed, agent.Server() + " knows no process " + JoinNames(unknown));
    }
    return found;
}

ac::Service FindService(ac::Connection &agent, const std::string &name)
{
    for (ac::Service &service : agent.Services()) {
        if (service.name == name) {
            return std::move(service);
        }
    }
    throw Failure(Exit::kFailed, agent.Server() + " knows no service " + name);
}

Json ProcessRecords(ac::Connection &agent, const std::vector<ac::Process> &processes)
{
    const auto health = PerHost<ac::ProcessHealth>(agent, processes, &ac::Connection::Health);
    const auto stats  = PerHost<ac::ProcessStats>(agent, processes, &ac::Connection::Stats);
    Json records      = Json::array();
    for (const ac::Process &process : processes) {
        Json record = ProcessRecord(process, agent.Status(process));
        const ac::ProcessHealth none;
        const ac::ProcessHealth *found = RecordOf(health, process);
        const ac::ProcessHealth &known = found != nullptr ? *found : none;
        record["health"]               = known.health ? Json(ac::HealthWord(*known.health)) : Json();
        record["health_output"]        = known.output;
        record["status_text"]          = known.status_text;
        AddStats(record, RecordOf(stats, process));
        records.push_back(std::move(record));
    }
    return records;
}

Json DescribeService(ac::Connection &agent, const ac::Service &service)
{
    Json members = Json::array();
    for (const ac::Member &member : service.members) {
        members.push_back(MemberRecord(member, agent.Status(member.process)));
    }
    return ServiceRecord(service, agent.Status(service), std::move(members));
}

}  // namespace patools
