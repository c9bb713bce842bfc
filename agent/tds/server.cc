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

Server::~Server() { stop(); }

void Server::add_rpc(std::string name, RpcHandler handler)
{
    if (started_) {
        throw std::logic_error("add_rpc after start");
    }
    rpcs_.insert_or_assign(std::move(name), std::move(handler));
}

void Server::start()
{
    if (started_) {
        throw std::logic_error("a server starts only once");
    }
    started_  = true;
    listener_ = listen_tcp(config_.address, config_.port);
    port_     = bound_port(listener_);
    log_(LogLevel::Info, "listening on ", config_.address, ":", port_, " with ", rpcs_.size(), " RPCs; room for ",
         config_.max_logging_in, " connections logging in (", config_.login_timeout.count(), " ms each), ",
         config_.max_sessions, " sessions and ", config_.max_single_rpc, " single-RPC sessions");
    acceptor_ = std::thread([this] { accept_loop(); });
}

void Server::stop()
{
    stop_.raise();
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
    if (listener_.valid()) {
        listener_.reset();
        log_(LogLevel::Info, "stopped");
    }
}

void Server::accept_loop()
{
    for (;;) {
        pollfd fds[2] = {{listener_.get(), POLLIN, 0}, {stop_.fd(), POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0 && errno != EINTR) {
            log_(LogLevel::Error, "poll on the listening socket failed: ", std::strerror(errno));
            return;
        }
        if (fds[1].revents != 0)
            return;
        if (fds[0].revents != 0)
            accept_one();
    }
}

void Server::accept_one()
{
    AcceptedClient client = accept_client(listener_);
    if (!client.socket.valid()) {
        if (client.error != EINTR && client.error != EAGAIN && client.error != ECONNABORTED) {
            log_(LogLevel::Warning, "accept failed: ", std::strerror(client.error));
            wait_before_retrying_accept();
        }
        return;
    }
    join_finished_workers();
    start_session(std::move(client));
}

// A flood of connections that do not log in fills the logging-in pool; from then on each new
// connection displaces one of them. That is logged once per flood, and each displacement at the
// debug level only, so that the flood does not fill the log.
void Server::start_session(AcceptedClient client)
{
    std::uint32_t spid = next_spid_;
    next_spid_         = spid % kMaxSpid + 1;
    std::optional<Displaced> displaced;
    int socket = client.socket.get();
    AdmittedClient admitted{std::move(client.socket), pools_.admit(socket, spid, client.peer, displaced), spid,
                            std::move(client.address), std::move(client.peer)};
    if (displaced) {
        log_(making_room_ ? LogLevel::Debug : LogLevel::Warning, "closed connection ", displaced->spid, " (",
             displaced->peer, ") to make room: ", config_.max_logging_in, " connections are logging in",
             making_room_ ? "" : "; each new connection now displaces one of them");
    }
    making_room_  = displaced.has_value();
    auto finished = std::make_shared<std::atomic<bool>>(false);
    auto run      = [this, finished, spid, admitted = std::move(admitted)]() mutable {
        SessionContext context{config_, rpcs_, log_, stop_, throttle_};
        Session(std::move(admitted), context).run();
        // Logged once the session has left its pool and closed its socket.
        log_(LogLevel::Debug, "connection ", spid, " closed");
        finished->store(true);
    };
    std::lock_guard lock(workers_mutex_);
    try {
        workers_.push_back(Worker{std::thread(std::move(run)), finished});
    } catch (const std::system_error &error) {
        log_(LogLevel::Error, "no thread for connection ", spid, ": ", error.what());
    }
}

void Server::join_finished_workers()
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

void Server::wait_before_retrying_accept()
{
    pollfd stop{stop_.fd(), POLLIN, 0};
    ::poll(&stop, 1, kAcceptRetryMs);
}

}  // namespace paagent::tds
