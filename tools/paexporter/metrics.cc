#include "metrics.h"

#include <records.h>

#include <protocol/states.h>

#include <algorithm>
#include <set>
#include <sstream>
#include <utility>

namespace paexporter {

namespace ac = agentclient;

namespace {

using Labels = std::vector<std::pair<std::string, std::string>>;

// A label value as the text format writes it.
std::string Escaped(const std::string &value)
{
    std::string escaped;
    for (char c : value) {
        if (c == '\\' || c == '"') {
            escaped += '\\';
            escaped += c;
        } else if (c == '\n') {
            escaped += "\\n";
        } else {
            escaped += c;
        }
    }
    return escaped;
}

// One metric family: its HELP and TYPE lines, then its samples.
class Family {
public:
    Family(std::string name, std::string type, std::string help)
        : name_(std::move(name)), type_(std::move(type)), help_(std::move(help))
    {
        samples_.precision(12);  // CPU seconds of a long-running process keep their milliseconds
    }

    template <class Number>
    void Add(const Labels &labels, Number value)
    {
        samples_ << name_ << '{';
        for (std::size_t i = 0; i < labels.size(); ++i) {
            samples_ << (i == 0 ? "" : ",") << labels[i].first << "=\"" << Escaped(labels[i].second) << '"';
        }
        samples_ << "} " << value << '\n';
    }

    void WriteTo(std::ostream &out) const
    {
        out << "# HELP " << name_ << ' ' << help_ << "\n# TYPE " << name_ << ' ' << type_ << '\n' << samples_.str();
    }

private:
    std::string name_;
    std::string type_;
    std::string help_;
    std::ostringstream samples_;
};

Labels ProcessLabels(const patools::Json &record)
{
    return {{"server", record["server"]}, {"host", record["host"]}, {"process", record["name"]}};
}

// The processes' states and figures in one call to the agent: a scrape of thousands of processes
// does not make a call for each.
patools::Json ProcessFigures(ac::Connection &agent)
{
    patools::Json records = patools::Json::array();
    try {
        for (const ac::ProcessStats &stats : agent.Stats()) {
            patools::Json record = {{"kind", "process"},
                                    {"name", stats.name},
                                    {"host", stats.host},
                                    {"state_code", stats.state},
                                    {"pid", stats.pid}};
            patools::AddStats(record, &stats);
            records.push_back(std::move(record));
        }
        return records;
    } catch (const ac::Error &error) {
        if (error.Code() != PaNOT_SUPPORTED) {
            throw;
        }
    }
    // An agent older than the figures still tells each process's state and PID.
    for (const ac::Process &process : agent.Processes()) {
        const ac::ProcessStatus status = agent.Status(process);
        records.push_back({{"kind", "process"},
                           {"name", process.name},
                           {"host", process.host},
                           {"state_code", status.state},
                           {"pid", status.pid}});
    }
    return records;
}

}  // namespace

patools::Json MetricRecords(ac::Connection &agent)
{
    patools::Json records = ProcessFigures(agent);
    // Looked up once for each member: a scrape of thousands of processes stays linear.
    std::set<std::pair<std::string, std::string>> running_processes;
    for (const patools::Json &record : records) {
        if (record["state_code"] == patools::kRunning) {
            running_processes.emplace(record["name"], record["host"]);
        }
    }
    for (const ac::Service &service : agent.Services()) {
        const auto running = std::count_if(service.members.begin(), service.members.end(), [&](const ac::Member &m) {
            return running_processes.contains({m.process.name, m.process.host});
        });
        records.push_back(
            {{"kind", "service"}, {"name", service.name}, {"members", service.members.size()}, {"running", running}});
    }
    return records;
}

std::string Metrics(const Answers &answers, const EventCounts &counts)
{
    Family up("pa_agent_up", "gauge", "Whether the agent answered this scrape within the time-out (1) or not (0).");
    Family state("pa_process_state", "gauge",
                 "The process's state: 1 for the state it is in, 0 for the others (stopped, running, exited, failed).");
    Family pid("pa_process_pid", "gauge", "The process's PID, 0 while it does not run.");
    Family restarts("pa_process_restarts", "gauge", "The process's restarts since it was last asked to start.");
    Family started("pa_process_start_time_seconds", "gauge", "When the running process started, in Unix time.");
    Family cpu("pa_process_cpu_seconds_total", "counter", "CPU time of the process's group by mode (user, system).");
    Family memory("pa_process_resident_memory_bytes", "gauge", "Resident memory of the process's group.");
    Family threads("pa_process_threads", "gauge", "Threads of the process's group.");
    Family descriptors("pa_process_open_fds", "gauge", "Open file descriptors of the process's group.");
    Family members("pa_service_members", "gauge", "The number of the service's member processes.");
    Family running("pa_service_members_running", "gauge", "The number of the service's member processes that run.");
    Family events("pa_events_total", "counter", "The agent's events by kind since the exporter started.");

    for (const std::string &server : answers.servers) {
        up.Add({{"server", server}}, answers.ErrorOf(server).empty() ? 1 : 0);
    }
    for (const patools::Json &record : answers.records) {
        if (record.value("kind", "") == "process") {
            Labels labels = ProcessLabels(record);
            pid.Add(labels, record["pid"].get<std::int64_t>());
            if (record.contains("restarts")) {
                restarts.Add(labels, record["restarts"].get<std::int64_t>());
            }
            if (record.contains("restarts") && record["pid"] != 0) {
                started.Add(labels, record["started_at"].get<std::int64_t>());
                memory.Add(labels, record["memory_bytes"].get<std::int64_t>());
                threads.Add(labels, record["threads"].get<std::int64_t>());
                descriptors.Add(labels, record["descriptors"].get<std::int64_t>());
                Labels modes = labels;
                modes.emplace_back("mode", "user");
                cpu.Add(modes, record["cpu_user_seconds"].get<double>());
                modes.back().second = "system";
                cpu.Add(modes, record["cpu_system_seconds"].get<double>());
            }
            labels.emplace_back("state", "");
            for (std::string_view word : pa::protocol::kProcessStateNames) {
                labels.back().second = word;
                state.Add(labels, patools::ProcessStateWord(record["state_code"]) == word ? 1 : 0);
            }
        } else if (record.value("kind", "") == "service") {
            const Labels labels = {{"server", record["server"]}, {"service", record["name"]}};
            members.Add(labels, record["members"].get<std::int64_t>());
            running.Add(labels, record["running"].get<std::int64_t>());
        }
    }
    for (const auto &[server, kinds] : counts) {
        for (const auto &[kind, count] : kinds) {
            events.Add({{"server", server}, {"kind", kind}}, count);
        }
    }
    std::ostringstream text;
    for (const Family *family :
         {&up, &state, &pid, &restarts, &started, &cpu, &memory, &threads, &descriptors, &members, &running, &events}) {
        family->WriteTo(text);
    }
    return text.str();
}

}  // namespace paexporter
