// Work done for clients that may hang up before their answers come: one thread watches the
// clients' sockets and gives the work up once its client has gone.
#ifndef PAAGENT_CORE_HANG_UP_WATCHER_H
#define PAAGENT_CORE_HANG_UP_WATCHER_H

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

#include "tds/socket.h"

namespace paagent {

class HangUpWatcher {
public:
    // Throws std::system_error when it cannot watch.
    HangUpWatcher();
    ~HangUpWatcher();
    HangUpWatcher(const HangUpWatcher &)            = delete;
    HangUpWatcher &operator=(const HangUpWatcher &) = delete;

    // Work watched until Stop or its end.
    class Watch {
    public:
        Watch() = default;
        Watch(Watch &&other) noexcept;
        Watch &operator=(Watch &&other) noexcept;
        ~Watch() { Stop(); }

        // Ends the watch, after which gone is no longer called; whether the client had gone.
        bool Stop();

    private:
        friend class HangUpWatcher;
        Watch(HangUpWatcher *watcher, std::uint64_t id) : watcher_(watcher), id_(id) {}

        HangUpWatcher *watcher_ = nullptr;
        std::uint64_t id_       = 0;
        bool gone_              = false;
    };

    // Calls gone, once, on the watcher's thread, if the client of the request this thread answers
    // hangs up while the watch lasts; gone must not block. Watches nothing outside a request, or
    // when the socket cannot be watched.
    Watch WatchClient(std::function<void()> gone);

private:
    struct Watched {
        int client;
        std::function<void()> on_gone;
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
