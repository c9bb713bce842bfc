// The TDS 5.0 protocol server: listens, logs clients in, and dispatches RPCs to registered handlers.
#ifndef PAAGENT_TDS_SERVER_H
#define PAAGENT_TDS_SERVER_H

#include <atomic>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tds/connection_pools.h"
#include "tds/listener.h"
#include "tds/login_throttle.h"
#include "tds/server_config.h"
#include "tds/socket.h"

namespace paagent::tds {

class Server {
public:
    explicit Server(ServerConfig config);
    ~Server();
    Server(const Server &)            = delete;
    Server &operator=(const Server &) = delete;

    // Registers the handler for RPCs called `name`. Throws std::logic_error after start().
    void AddRpc(std::string name, RpcHandler handler);

    // Binds, listens and starts accepting. Throws std::system_error or std::invalid_argument
    // when the address cannot be used, std::logic_error when called twice.
    void Start();
    // The bound port (useful with port 0); 0 before start().
    std::uint16_t Port() const { return port_; }

    // Ends the sessions whose user `ends` picks by shutting their sockets down: a session waiting
    // for its client ends at once, one whose request is being served once the request's handler
    // returns. The users of the sessions ended, one per session.
    std::vector<std::string> EndSessions(const std::function<bool(const std::string &user)> &ends);

    // Closes every connection and joins all threads. Handlers in progress run to completion.
    // Idempotent; also done by the destructor.
    void Stop();

private:
    struct Worker {
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> finished;
    };

    void AcceptLoop();
    void AcceptOne();
    void StartSession(AcceptedClient client);
    void JoinFinishedWorkers();
    void WaitBeforeRetryingAccept();

    ServerConfig config_;
    RpcTable rpcs_;
    Logger log_;
    StopSignal stop_;
    LoginThrottle throttle_;
    ConnectionPools pools_;
    bool making_room_ = false;  // whether the last connection accepted displaced another
    FileDescriptor listener_;
    std::uint16_t port_      = 0;
    bool started_            = false;
    std::uint32_t next_spid_ = 1;
    std::thread acceptor_;
    std::mutex workers_mutex_;
    std::list<Worker> workers_;
};

}  // namespace paagent::tds

#endif  // PAAGENT_TDS_SERVER_H
