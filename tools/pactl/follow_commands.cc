#include "follow_commands.h"

#include "errors.h"
#include "fan_out.h"
#include "signal_names.h"
#include "stop_signal.h"

#include <protocol/events.h>
#include <protocol/time_text.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <iostream>
#include <mutex>
#include <thread>

namespace patools {

namespace ac = agentclient;

namespace {

using namespace std::chrono_literals;

// A moment as RFC 3339 says, in UTC with milliseconds: 2026-12-07T13:45:01.123Z.
std::string Rfc3339(std::int64_t time_ms)
{
    char text[pa::protocol::kTimeTextSize];
    pa::protocol::TimeText(time_ms, text);
    return text;
}

// One JSON Lines record; output that is not UTF-8 is shown with replacement characters.
void WriteJsonLine(const Json &record)
{
    std::cout << record.dump(-1, ' ', false, Json::error_handler_t::replace) << '\n' << std::flush;
}

Json OrNull(const std::optional<std::string> &text) { return text ? Json(*text) : Json(nullptr); }

// The process the output is asked of: by name, on the host given or else its own as the agent
// lists it. A name the agent does not list goes to it as it is, for the agent to say why not.
ac::Process Addressed(ac::Connection &agent, const LogsOptions &options)
{
    ac::Process process;
    process.name = options.name;
    process.host = options.host;
    if (process.host.empty()) {
        const std::vector<ac::Process> known = agent.Processes();
        auto found =
            std::find_if(known.begin(), known.end(), [&](const ac::Process &p) { return p.name == options.name; });
        process.host = found != known.end() ? found->host : "localhost";
    }
    return process;
}

// Writes output as it comes: the bytes as they are, or one JSON record per line with the
// cursor after it. A line cut by the end of a read waits for its end in the next.
class OutputWriter {
public:
    OutputWriter(const ac::Process &process, bool json) : process_(process), json_(json) {}

    void Write(const ac::Output &piece)
    {
        if (piece.lost != 0) {
            Lost(piece.lost);
        }
        if (!json_) {
            std::cout.write(piece.data.data(), static_cast<std::streamsize>(piece.data.size())) << std::flush;
            return;
        }
        const std::int64_t start = piece.cursor - static_cast<std::int64_t>(piece.data.size());
        std::size_t from         = 0;
        for (std::size_t end = piece.data.find('\n'); end != std::string::npos; end = piece.data.find('\n', from)) {
            partial_.append(piece.data, from, end - from);
            Line(start + static_cast<std::int64_t>(end) + 1);
            from = end + 1;
        }
        partial_.append(piece.data, from);
        end_ = piece.cursor;
    }

    // Writes what is left of a line that has not ended.
    void Finish()
    {
        if (json_ && !partial_.empty()) {
            Line(end_);
        }
    }

private:
    void Lost(std::int64_t bytes)
    {
        if (json_) {
            WriteJsonLine({{"process", process_.name}, {"host", process_.host}, {"lost", bytes}});
            return;
        }
        std::cerr << "pactl: " << bytes << " bytes of the output of " << process_.name
                  << " were rotated away before they could be read\n";
    }

    void Line(std::int64_t cursor)
    {
        WriteJsonLine({{"process", process_.name}, {"host", process_.host}, {"cursor", cursor}, {"line", partial_}});
        partial_.clear();
    }

    const ac::Process &process_;
    bool json_;
    std::string partial_;
    std::int64_t end_ = 0;
};

// What a follower of one agent hands over: an event, or the reason it cannot go on.
struct Arrival {
    std::string server;
    std::optional<ac::Event> event;
    std::optional<Explanation> failure;
};

// The events of several followers, merged in the order they come.
class Arrivals {
public:
    explicit Arrivals(std::size_t followers) : running_(followers) {}

    void Push(Arrival arrival)
    {
        std::lock_guard lock(mutex_);
        queue_.push_back(std::move(arrival));
        changed_.notify_one();
    }
    void FollowerEnded()
    {
        std::lock_guard lock(mutex_);
        --running_;
        changed_.notify_one();
    }
    // The next arrival, or none once every follower has ended.
    std::optional<Arrival> Next()
    {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [this] { return !queue_.empty() || running_ == 0; });
        if (queue_.empty()) {
            return std::nullopt;
        }
        Arrival arrival = std::move(queue_.front());
        queue_.pop_front();
        return arrival;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Arrival> queue_;
    std::size_t running_;
};

// Follows one agent's events on the calling thread until stopped; never throws.
void Follow(const std::string &server, ac::Connection *session_agent, const Credentials &credentials,
            const WatchOptions &options, StopSignal &stop, Arrivals &arrivals)
{
    try {
        std::optional<ac::Connection> own;
        ac::Connection &agent = session_agent != nullptr ? *session_agent : own.emplace(Connect(server, credentials));
        StopSignal::Watch watch(stop, agent);
        agent.FollowEvents(
            options.since,
            [&](const ac::Event &event) {
                arrivals.Push({server, event, std::nullopt});
                return !stop.Stopped();
            },
            options.host);
    } catch (...) {
        if (!stop.Stopped()) {
            arrivals.Push({server, std::nullopt, Explain(std::current_exception())});
        }
    }
    arrivals.FollowerEnded();
}

bool Wanted(const ac::Event &event, const std::vector<std::string> &names)
{
    auto named = [&](const std::optional<std::string> &name) {
        return name && std::find(names.begin(), names.end(), *name) != names.end();
    };
    return names.empty() || event.kind == ac::EventKind::kLost || named(event.process) || named(event.service);
}

Json EventRecord(const ac::Event &event, const std::optional<std::string> &server)
{
    Json record;
    if (server) {
        record["server"] = *server;
    }
    record["cursor"]  = event.cursor;
    record["time"]    = Rfc3339(event.time_ms);
    record["kind"]    = std::string(pa::protocol::EventKindName(static_cast<std::int32_t>(event.kind)));
    record["process"] = OrNull(event.process);
    record["service"] = OrNull(event.service);
    record["host"]    = OrNull(event.host);
    record["pid"]     = event.pid != 0 ? Json(event.pid) : Json(nullptr);
    record["status"]  = event.status >= 0 ? Json(event.status) : Json(nullptr);
    record["signal"]  = event.signal != 0 ? Json(event.signal) : Json(nullptr);
    record["message"] = OrNull(event.message);
    record["user"]    = OrNull(event.user);
    record["lost"]    = event.kind == ac::EventKind::kLost ? Json(event.lost) : Json(nullptr);
    return record;
}

// One line for a person: when, what, about what, and the details that apply.
std::string EventLine(const ac::Event &event, const std::optional<std::string> &server)
{
    std::string line = Rfc3339(event.time_ms);
    if (server) {
        line += " " + *server;
    }
    line += " " + std::string(pa::protocol::EventKindName(static_cast<std::int32_t>(event.kind)));
    if (event.kind == ac::EventKind::kLost) {
        line += event.lost >= 0 ? " " + std::to_string(event.lost) + " events" : " events (the agent restarted)";
    }
    if (event.process) {
        line += " " + *event.process;
    }
    if (event.service) {
        line += " service " + *event.service;
    }
    if (event.host) {
        line += " on " + *event.host;
    }
    if (event.pid != 0) {
        line += " pid " + std::to_string(event.pid);
    }
    if (event.signal != 0) {
        line += " signal " + SignalName(event.signal);
    } else if (event.status >= 0) {
        line += " status " + std::to_string(event.status);
    }
    if (event.message) {
        line += ": " + *event.message;
    }
    if (event.user) {
        line += " (by " + *event.user + ")";
    }
    return line;
}

}  // namespace

Exit Logs(Session &session, const Output &output, const LogsOptions &options)
{
    StopSignal stop;
    ac::Connection &agent     = session.Agent();
    const ac::Process process = Addressed(agent, options);
    const StopSignal::Watch watch(stop, agent);
    OutputWriter writer(process, output.AsJson());
    try {
        const ac::Output last = agent.ReadOutput(process, -1, options.lines, 0s);
        writer.Write(last);
        if (options.follow) {
            agent.FollowOutput(process, last.cursor, 0, [&](const ac::Output &piece) {
                writer.Write(piece);
                return !stop.Stopped();
            });
        }
    } catch (const ac::Error &) {
        if (!stop.Stopped()) {
            throw;
        }
    }
    writer.Finish();
    return Exit::kDone;
}

Exit Watch(Session &session, const Output &output, const WatchOptions &options)
{
    StopSignal stop;
    const bool many                        = options.all || !options.servers.empty();
    const std::vector<std::string> servers = options.all ? AllServers(session)
                                             : many      ? options.servers
                                                         : std::vector<std::string>{session.ServerName()};
    const Credentials &credentials         = session.Login();
    Arrivals arrivals(servers.size());
    std::vector<std::jthread> followers;
    for (const std::string &server : servers) {
        ac::Connection *own = many ? nullptr : &session.Agent();
        followers.emplace_back([&, server, own] { Follow(server, own, credentials, options, stop, arrivals); });
    }
    std::int64_t shown = 0;
    std::size_t failed = 0;
    std::optional<Explanation> failure;
    while (std::optional<Arrival> arrival = arrivals.Next()) {
        if (arrival->failure) {
            ++failed;
            failure = arrival->failure;
            if (many) {
                std::cerr << "pactl: " << arrival->server << ": " << failure->message << '\n';
            }
            continue;
        }
        if (stop.Stopped() || !Wanted(*arrival->event, options.names)) {
            continue;
        }
        const std::optional<std::string> server = many ? std::optional(arrival->server) : std::nullopt;
        if (output.AsJson()) {
            WriteJsonLine(EventRecord(*arrival->event, server));
        } else {
            std::cout << EventLine(*arrival->event, server) << '\n' << std::flush;
        }
        if (options.count && ++shown >= *options.count) {
            stop.Stop();
        }
    }
    if (failure && (!many || failed == servers.size())) {
        throw Failure(failure->status,
                      many ? "none of the " + std::to_string(servers.size()) + " agents could be followed"
                           : failure->message);
    }
    return Exit::kDone;
}

}  // namespace patools
