// A hard bound on how long one call may keep its thread inside the Client-Library.
#ifndef AGENTCLIENT_CALL_DEADLINE_H
#define AGENTCLIENT_CALL_DEADLINE_H

#include <atomic>
#include <chrono>
#include <cstdint>
#include <sys/types.h>

namespace pa {

// Seconds a call may run past the time-out it was given before its socket is shut down.
constexpr int32_t kCallMarginSeconds = 1;

// While it lives, bounds the calling thread's waits on the network: once the deadline has
// passed, the socket the thread is found waiting on is shut down, so that the wait ends with a
// closed connection instead of going on.
//
// FreeTDS cannot bound every wait itself: a login that gets no answer makes it send a logout
// from inside the wait that timed out, and it then waits for itself without end; a reply that
// never ends (rows that keep coming) resets its time-out with every packet. Client-Library gives
// no access to the socket, so a process-wide watcher thread finds it in the wait the calling
// thread is blocked in (the poll(2) arguments shown in /proc/self/task/TID/syscall) and shuts
// that socket down, which both ends the wait and makes FreeTDS close the connection.
class CallDeadline {
public:
    explicit CallDeadline(int32_t seconds);
    ~CallDeadline();
    CallDeadline(const CallDeadline &)            = delete;
    CallDeadline &operator=(const CallDeadline &) = delete;

    // Whether the deadline passed and the thread's socket was shut down.
    bool Expired() const { return expired_.load(std::memory_order_acquire); }

private:
    friend class DeadlineWatcher;

    CallDeadline *next_     = nullptr;
    CallDeadline *previous_ = nullptr;
    pid_t thread_;
    std::chrono::steady_clock::time_point deadline_;
    std::atomic<bool> expired_{false};
    bool watched_ = false;
};

}  // namespace pa

#endif
