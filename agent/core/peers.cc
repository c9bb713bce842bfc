// Forwarding requests to the other agents: the peers file, and the connections to each peer.
#include "core/peers.h"

#include <agentclient/agentclient.hpp>
#include <algorithm>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <type_traits>
#include <utility>
#include <vector>

#include "core/request_user.h"
#include "tds/protected_file.h"

namespace paagent {

namespace ac = agentclient;

std::map<std::string, PeerLogin> LoadPeers(const std::filesystem::path &path)
{
    // The file holds passwords for other agents: only its owner may read it.
    std::istringstream file(tds::ReadProtectedFile(path, "peers file", tds::Readers::kOwnerOnly));
    std::map<std::string, PeerLogin> logins;
    std::string line;
    for (int number = 1; std::getline(file, line); ++number) {
        if (line.empty() || line[0] == '#') {
            continue;
        }
        const std::string where = path.string() + ":" + std::to_string(number) + ": ";
        const auto first        = line.find(':');
        const auto second       = first == std::string::npos ? first : line.find(':', first + 1);
        if (first == 0 || second == std::string::npos || second == first + 1) {
            throw std::runtime_error(where + "expected server:user:password");
        }
        const std::string server = line.substr(0, first);
        if (!logins.emplace(server, PeerLogin{line.substr(first + 1, second - first - 1), line.substr(second + 1)})
                 .second) {
            throw std::runtime_error(where + "server " + server + " is listed twice");
        }
    }
    return logins;
}

// The idle connections to one peer for one user, each with the login it was opened with.
struct Peers::Pool {
    // Idle connections kept per peer and user; more, opened for requests at once, close when done.
    static constexpr std::size_t kKept = 4;

    std::mutex mutex;
    std::vector<std::pair<ac::Connection, PeerLogin>> idle;

    // An idle connection of login, if any; those of a login a reload replaced are closed.
    std::optional<ac::Connection> Take(const PeerLogin &login)
    {
        std::lock_guard lock(mutex);
        std::erase_if(idle, [&](const auto &entry) { return entry.second != login; });
        if (idle.empty()) {
            return std::nullopt;
        }
        std::optional<ac::Connection> taken(std::move(idle.back().first));
        idle.pop_back();
        return taken;
    }

    void GiveBack(ac::Connection connection, const PeerLogin &login)
    {
        std::lock_guard lock(mutex);
        if (idle.size() < kKept) {
            idle.emplace_back(std::move(connection), login);
        }
    }
};

Peers::Peers(std::string server_name, std::map<std::string, PeerLogin> logins, std::chrono::seconds timeout,
             std::chrono::seconds stop_allowance)
    : server_name_(std::move(server_name)), logins_(std::move(logins)), timeout_(timeout),
      stop_allowance_(stop_allowance)
{
}

Peers::~Peers() = default;

void Peers::ReplaceLogins(std::map<std::string, PeerLogin> logins)
{
    std::lock_guard lock(logins_mutex_);
    logins_ = std::move(logins);
}

PeerLogin Peers::Login(const std::string &server) const
{
    std::lock_guard lock(logins_mutex_);
    auto found = logins_.find(server);
    if (found == logins_.end()) {
        throw AgentError("no login for peer " + server + " in the peers file");
    }
    return found->second;
}

Peers::Pool &Peers::PoolOf(const std::string &server, const std::string &caller)
{
    std::lock_guard lock(pools_mutex_);
    auto &entry = pools_[{server, caller}];
    if (!entry) {
        entry = std::make_unique<Pool>();
    }
    return *entry;
}

template <class Call>
auto Peers::On(const std::string &server, std::chrono::seconds bound, const Call &call)
{
    const PeerLogin login = this->Login(server);
    // The agent's own work, such as the automatic start of a service, is named by the agent alone.
    const std::string caller                 = RequestUser() ? *RequestUser() + "@" + server_name_ : server_name_;
    Pool &peer                               = PoolOf(server, caller);
    std::optional<ac::Connection> connection = peer.Take(login);
    HangUpWatcher::Watch watch;  // after connection, which it may abandon
    try {
        if (!connection) {
            ac::Options options;
            options.application = kForwardApplication;
            options.host_name   = caller;
            options.timeout     = bound;
            connection.emplace(server, login.user, login.password, std::move(options));
        } else if (connection->Timeout() != bound) {
            connection->SetTimeout(bound);
        }
        watch = hang_ups_.WatchClient([&peer = *connection] { peer.Abandon(); });
        // An abandoned connection serves no later request.
        if constexpr (std::is_void_v<decltype(call(*connection))>) {
            call(*connection);
            if (!watch.Stop()) {
                peer.GiveBack(std::move(*connection), login);
            }
        } else {
            auto answer = call(*connection);
            if (!watch.Stop()) {
                peer.GiveBack(std::move(*connection), login);
            }
            return answer;
        }
    } catch (const ac::Error &error) {
        if (watch.Stop()) {
            throw AgentError("the call to peer " + server + " was given up: its client has gone");
        }
        // A refusal is the peer's answer, passed on as it is, and its connection serves again;
        // anything else is this agent's.
        if (!error.AgentText().empty() && connection) {
            peer.GiveBack(std::move(*connection), login);
            throw AgentError(error.AgentText());
        }
        throw AgentError("peer " + server + (error.Unreachable() ? " cannot be reached: " : ": ") + error.what());
    }
}

void Peers::Start(const std::string &server, const Process &process, std::int32_t timeout_seconds,
                  const std::string &extra_args)
{
    // The peer watches its process no longer than this agent waits for any peer.
    const auto watched = static_cast<std::int32_t>(std::min<std::int64_t>(timeout_seconds, timeout_.count()));
    On(server, timeout_, [&](ac::Connection &peer) {
        extra_args.empty() ? peer.Start(process, watched) : peer.StartWithArgs(process, extra_args);
    });
}

void Peers::Stop(const std::string &server, const Process &process)
{
    On(server, timeout_ + stop_allowance_, [&](ac::Connection &peer) { peer.Stop(process); });
}

void Peers::Signal(const std::string &server, const Process &process, std::int32_t signal)
{
    On(server, timeout_, [&](ac::Connection &peer) { peer.Signal(process, signal); });
}

ProcessView Peers::Status(const std::string &server, const Process &process)
{
    return On(server, timeout_, [&](ac::Connection &peer) {
        const ac::ProcessStatus status = peer.Status(process);
        return ProcessView{process, static_cast<ProcessState>(status.state), status.pid, {}, {}};
    });
}

void Peers::Change(const std::string &server, const std::string &old_name, const Process &process)
{
    On(server, timeout_, [&](ac::Connection &peer) { peer.Change(old_name, process); });
}

void Peers::RequestState(const std::string &server, const Process &process, std::int32_t state)
{
    On(server, timeout_ + stop_allowance_, [&](ac::Connection &peer) { peer.ForwardState(process, state); });
}

std::vector<ProcessView> Peers::Running(const std::string &server)
{
    return On(server, timeout_, [&](ac::Connection &peer) {
        std::vector<ProcessView> views;
        for (Process &record : peer.Processes(false)) {
            // The PID a list carries is the view's, not part of the definition.
            const pid_t pid = std::exchange(record.pid, 0);
            views.push_back({std::move(record), ProcessState::kRunning, pid, {}, {}});
        }
        return views;
    });
}

// A peer that waits for output or events answers within the wait; the call may take that and
// this agent's usual bound.
ac::Output Peers::ReadOutput(const std::string &server, const Process &process, std::int64_t cursor,
                             std::int32_t tail_lines, std::int32_t wait_seconds)
{
    return On(server, timeout_ + std::chrono::seconds(wait_seconds), [&](ac::Connection &peer) {
        return peer.ReadOutput(process, cursor, tail_lines, std::chrono::seconds(wait_seconds));
    });
}

ac::EventBatch Peers::WaitEvents(const std::string &server, const std::string &host, std::int64_t cursor,
                                 std::int32_t wait_seconds)
{
    return On(server, timeout_ + std::chrono::seconds(wait_seconds),
              [&](ac::Connection &peer) { return peer.WaitEvents(cursor, std::chrono::seconds(wait_seconds), host); });
}

std::vector<ac::ProcessHealth> Peers::Health(const std::string &server, const std::string &name,
                                             const std::string &host)
{
    return On(server, timeout_, [&](ac::Connection &peer) { return peer.Health(name, host); });
}

std::vector<ac::ProcessStats> Peers::Stats(const std::string &server, const std::string &name, const std::string &host)
{
    return On(server, timeout_, [&](ac::Connection &peer) { return peer.Stats(name, host); });
}

}  // namespace paagent
