// Calls made for clients that may hang up before their answers come: one thread watches the
// clients' sockets and abandons a call once its client has gone.
#ifndef PAAGENT_CORE_HANG_UP_WATCHER_H
#define PAAGENT_CORE_HANG_UP_WATCHER_H

#include <cstdint>
#include <map>
#include <mutex>
#include <thread>

#include "tds/socket.h"

namespace agentclient {
class Connection;
}

namespace paagent {

class HangUpWatcher {
public:
    // Throws std::system_error when it cannot watch.
    HangUpWatcher();
    ~HangUpWatcher();
    HangUpWatcher(const HangUpWatcher &)            = delete;
    HangUpWatcher &operator=(const HangUpWatcher &) = delete;

    // A call watched until Stop or its end.
    class Watch {
    public:
        Watch() = default;
        Watch(Watch &&other) noexcept;
        Watch &operator=(Watch &&other) noexcept;
        ~Watch() { Stop(); }

        // Ends the watch; whether the client had gone and the call was abandoned.
        bool Stop();

    private:
        friend class HangUpWatcher;
        Watch(HangUpWatcher *watcher, std::uint64_t id) : watcher_(watcher), id_(id) {}

        HangUpWatcher *watcher_ = nullptr;
        std::uint64_t id_       = 0;
        bool gone_              = false;
    };

    // Abandons the call on connection (see agentclient::Connection::Abandon) if the client of
    // the request this thread answers hangs up while the watch lasts; watches nothing outside a
    // request, or when the socket cannot be watched.
    Watch WatchClient(agentclient::Connection &connection);

private:
    struct Watched {
        int client;
        agentclient::Connection *connection;
        bool gone;
    };

    bool Forget(std::uint64_t id);
    void Run();

    tds::FileDescriptor epoll_;
    tds::FileDescriptor wake_;
    std::mutex mutex_;
    std::map<std::uint64_t, Watched> watched_;  // by the ids their epoll events carry
    std::uint64_t next_id_ = 1;
    std::thread thread_;
};

}  // namespace paagent

#endif  // PAAGENT_CORE_HANG_UP_WATCHER_H
