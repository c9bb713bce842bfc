// Forwarding requests to the other agents: the peers file, and the connections to each peer.
#include "core/peers.h"

#include <agentclient/agentclient.hpp>

#include <fstream>
#include <optional>
#include <stdexcept>
#include <type_traits>
#include <vector>

namespace paagent {

namespace {

namespace ac = agentclient;

ProcessView from_client(const ac::Process &record)
{
    ProcessView view;
    view.definition = {record.name,         record.host,       record.command,
                       record.euid,         record.managed,    record.restartMessage,
                       record.alertMessage, record.retryCount, static_cast<ProcessType>(record.type)};
    view.state      = ProcessState::Running;
    view.pid        = record.pid;
    return view;
}

}  // namespace

ac::Process to_client(const ProcessSpec &process)
{
    ac::Process record;
    record.name           = process.name;
    record.host           = process.host;
    record.command        = process.command;
    record.euid           = process.euid;
    record.managed        = process.managed;
    record.restartMessage = process.restart_message;
    record.alertMessage   = process.alert_message;
    record.retryCount     = process.retry_count;
    record.type           = static_cast<ac::ProcessType>(process.type);
    return record;
}

std::map<std::string, PeerLogin> load_peers(const std::filesystem::path &path)
{
    std::ifstream file(path);
    if (!file)
        throw std::runtime_error("cannot read peers file " + path.string());
    // The file holds passwords for other agents: only its owner may read it.
    using std::filesystem::perms;
    const perms shared = perms::group_read | perms::group_write | perms::others_read | perms::others_write;
    std::error_code error;
    const auto permissions = std::filesystem::status(path, error).permissions();
    if (error || (permissions & shared) != perms::none) {
        throw std::runtime_error("peers file " + path.string() +
                                 " may be read or written by its group or others; allow only its owner (chmod 600)");
    }
    std::map<std::string, PeerLogin> logins;
    std::string line;
    for (int number = 1; std::getline(file, line); ++number) {
        if (line.empty() || line[0] == '#')
            continue;
        const std::string where = path.string() + ":" + std::to_string(number) + ": ";
        const auto first        = line.find(':');
        const auto second       = first == std::string::npos ? first : line.find(':', first + 1);
        if (first == 0 || second == std::string::npos || second == first + 1)
            throw std::runtime_error(where + "expected server:user:password");
        const std::string server = line.substr(0, first);
        if (!logins.emplace(server, PeerLogin{line.substr(first + 1, second - first - 1), line.substr(second + 1)})
                 .second) {
            throw std::runtime_error(where + "server " + server + " is listed twice");
        }
    }
    return logins;
}

// The idle connections to one peer, each with the login it was opened with.
struct Peers::Pool {
    // Idle connections kept per peer; more, opened for requests at once, close when done.
    static constexpr std::size_t kKept = 4;

    std::mutex mutex;
    std::vector<std::pair<ac::Connection, PeerLogin>> idle;

    // An idle connection of login, if any; those of a login a reload replaced are closed.
    std::optional<ac::Connection> take(const PeerLogin &login)
    {
        std::lock_guard lock(mutex);
        std::erase_if(idle, [&](const auto &entry) { return entry.second != login; });
        if (idle.empty())
            return std::nullopt;
        std::optional<ac::Connection> taken(std::move(idle.back().first));
        idle.pop_back();
        return taken;
    }

    void give_back(ac::Connection connection, const PeerLogin &login)
    {
        std::lock_guard lock(mutex);
        if (idle.size() < kKept)
            idle.emplace_back(std::move(connection), login);
    }
};

Peers::Peers(std::map<std::string, PeerLogin> logins, std::chrono::seconds timeout, std::chrono::seconds stop_allowance)
    : logins_(std::move(logins)), timeout_(timeout), stop_allowance_(stop_allowance)
{
}

Peers::~Peers() = default;

void Peers::replace_logins(std::map<std::string, PeerLogin> logins)
{
    std::lock_guard lock(logins_mutex_);
    logins_ = std::move(logins);
}

PeerLogin Peers::login(const std::string &server) const
{
    std::lock_guard lock(logins_mutex_);
    auto found = logins_.find(server);
    if (found == logins_.end())
        throw AgentError("no login for peer " + server + " in the peers file");
    return found->second;
}

Peers::Pool &Peers::pool(const std::string &server)
{
    std::lock_guard lock(pools_mutex_);
    auto &entry = pools_[server];
    if (!entry)
        entry = std::make_unique<Pool>();
    return *entry;
}

template <class Call>
auto Peers::on(const std::string &server, std::chrono::seconds bound, const Call &call)
{
    const PeerLogin login                    = this->login(server);
    Pool &peer                               = pool(server);
    std::optional<ac::Connection> connection = peer.take(login);
    try {
        if (!connection) {
            ac::Options options;
            options.application = kForwardApplication;
            options.timeout     = bound;
            connection.emplace(server, login.user, login.password, std::move(options));
        } else if (connection->Timeout() != bound) {
            connection->SetTimeout(bound);
        }
        if constexpr (std::is_void_v<decltype(call(*connection))>) {
            call(*connection);
            peer.give_back(std::move(*connection), login);
        } else {
            auto answer = call(*connection);
            peer.give_back(std::move(*connection), login);
            return answer;
        }
    } catch (const ac::Error &error) {
        // A refusal is the peer's answer, passed on as it is, and its connection serves again;
        // anything else is this agent's.
        if (!error.agentText().empty() && connection) {
            peer.give_back(std::move(*connection), login);
            throw AgentError(error.agentText());
        }
        throw AgentError("peer " + server + (error.unreachable() ? " cannot be reached: " : ": ") + error.what());
    }
}

void Peers::start(const std::string &server, const ProcessSpec &process, std::int32_t timeout_seconds,
                  const std::string &extra_args)
{
    on(server, timeout_, [&](ac::Connection &peer) {
        extra_args.empty() ? peer.Start(to_client(process), timeout_seconds)
                           : peer.StartWithArgs(to_client(process), extra_args);
    });
}

void Peers::stop(const std::string &server, const ProcessSpec &process)
{
    on(server, timeout_ + stop_allowance_, [&](ac::Connection &peer) { peer.Stop(to_client(process)); });
}

void Peers::signal(const std::string &server, const ProcessSpec &process, std::int32_t signal)
{
    on(server, timeout_, [&](ac::Connection &peer) { peer.Signal(to_client(process), signal); });
}

ProcessView Peers::status(const std::string &server, const ProcessSpec &process)
{
    return on(server, timeout_, [&](ac::Connection &peer) {
        const ac::ProcessStatus status = peer.Status(to_client(process));
        return ProcessView{process, static_cast<ProcessState>(status.state), status.pid};
    });
}

void Peers::change(const std::string &server, const std::string &old_name, const ProcessSpec &process)
{
    on(server, timeout_, [&](ac::Connection &peer) { peer.Change(old_name, to_client(process)); });
}

void Peers::request_state(const std::string &server, const ProcessSpec &process, std::int32_t state)
{
    on(server, timeout_ + stop_allowance_, [&](ac::Connection &peer) { peer.ForwardState(to_client(process), state); });
}

std::vector<ProcessView> Peers::running(const std::string &server)
{
    return on(server, timeout_, [&](ac::Connection &peer) {
        std::vector<ProcessView> views;
        for (const ac::Process &record : peer.Processes(false))
            views.push_back(from_client(record));
        return views;
    });
}

}  // namespace paagent
