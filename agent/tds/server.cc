#include "tds/server.h"

#include <poll.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <system_error>
#include <utility>

#include "tds/session.h"

namespace paagent::tds {
namespace {
// Pause after a failed accept (such as running out of descriptors) so the loop does not spin.
constexpr int kAcceptRetryMs = 100;
// Connection numbers cycle through the positive SMALLINT range, as on Sybase servers.
constexpr std::uint32_t kMaxSpid = 32767;
}  // namespace

Server::Server(ServerConfig config)
    : config_(std::move(config)), log_(config_.log), throttle_(config_.login_delays), pools_(config_)
{
}

Server::~Server() { Stop(); }

void Server::AddRpc(std::string name, RpcHandler handler)
{
    if (started_) {
        throw std::logic_error("add_rpc after start");
    }
    rpcs_.insert_or_assign(std::move(name), std::move(handler));
}

void Server::Start()
{
    if (started_) {
        throw std::logic_error("a server starts only once");
    }
    started_  = true;
    listener_ = ListenTcp(config_.address, config_.port);
    port_     = BoundPort(listener_);
    log_(LogLevel::kInfo, "listening on ", config_.address, ":", port_, " with ", rpcs_.size(), " RPCs; room for ",
         config_.max_logging_in, " connections logging in (", config_.login_timeout.count(), " ms each), ",
         config_.max_sessions, " sessions and ", config_.max_single_rpc, " single-RPC sessions");
    acceptor_ = std::thread([this] { AcceptLoop(); });
}

void Server::Stop()
{
    stop_.Raise();
    if (acceptor_.joinable()) {
        acceptor_.join();
    }
    std::list<Worker> workers;
    {
        std::lock_guard lock(workers_mutex_);
        workers.swap(workers_);
    }
    for (Worker &worker : workers) {
        worker.thread.join();
    }
    if (listener_.Valid()) {
        listener_.Reset();
        log_(LogLevel::kInfo, "stopped");
    }
}

std::vector<std::string> Server::EndSessions(const std::function<bool(const std::string &user)> &ends)
{
    return pools_.EndSessions(ends);
}

void Server::AcceptLoop()
{
    for (;;) {
        pollfd fds[2] = {{listener_.Get(), POLLIN, 0}, {stop_.Fd(), POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0 && errno != EINTR) {
            log_(LogLevel::kError, "poll on the listening socket failed: ", std::strerror(errno));
            return;
        }
        if (fds[1].revents != 0) {
            return;
        }
        if (fds[0].revents != 0) {
            AcceptOne();
        }
    }
}

void Server::AcceptOne()
{
    AcceptedClient client = AcceptClient(listener_);
    if (!client.socket.Valid()) {
        if (client.error != EINTR && client.error != EAGAIN && client.error != ECONNABORTED) {
            log_(LogLevel::kWarning, "accept failed: ", std::strerror(client.error));
            WaitBeforeRetryingAccept();
        }
        return;
    }
    JoinFinishedWorkers();
    StartSession(std::move(client));
}

// A flood of connections that do not log in fills the logging-in pool; from then on each new
// connection displaces one of them. That is logged once per flood, and each displacement at the
// debug level only, so that the flood does not fill the log.
void Server::StartSession(AcceptedClient client)
{
    std::uint32_t spid = next_spid_;
    next_spid_         = spid % kMaxSpid + 1;
    std::optional<Displaced> displaced;
    int socket = client.socket.Get();
    AdmittedClient admitted{std::move(client.socket), pools_.Admit(socket, spid, client.peer, displaced), spid,
                            std::move(client.address), std::move(client.peer)};
    if (displaced) {
        log_(making_room_ ? LogLevel::kDebug : LogLevel::kWarning, "closed connection ", displaced->spid, " (",
             displaced->peer, ") to make room: ", config_.max_logging_in, " connections are logging in",
             making_room_ ? "" : "; each new connection now displaces one of them");
    }
    making_room_  = displaced.has_value();
    auto finished = std::make_shared<std::atomic<bool>>(false);
    auto run      = [this, finished, spid, admitted = std::move(admitted)]() mutable {
        SessionContext context{config_, rpcs_, log_, stop_, throttle_};
        Session(std::move(admitted), context).Run();
        // Logged once the session has left its pool and closed its socket.
        log_(LogLevel::kDebug, "connection ", spid, " closed");
        finished->store(true);
    };
    std::lock_guard lock(workers_mutex_);
    try {
        workers_.push_back(Worker{std::thread(std::move(run)), finished});
    } catch (const std::system_error &error) {
        log_(LogLevel::kError, "no thread for connection ", spid, ": ", error.what());
    }
}

void Server::JoinFinishedWorkers()
{
    std::lock_guard lock(workers_mutex_);
    for (auto it = workers_.begin(); it != workers_.end();) {
        if (it->finished->load()) {
            it->thread.join();
            it = workers_.erase(it);
        } else {
            ++it;
        }
    }
}

void Server::WaitBeforeRetryingAccept()
{
    pollfd stop{stop_.Fd(), POLLIN, 0};
    ::poll(&stop, 1, kAcceptRetryMs);
}

}  // namespace paagent::tds
