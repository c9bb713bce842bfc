// The end of a login that FreeTDS cannot end by itself.
#ifndef AGENTCLIENT_LOGIN_STOP_H
#define AGENTCLIENT_LOGIN_STOP_H

#include <atomic>
#include <chrono>
#include <sys/socket.h>
#include <sys/types.h>

#include <ctpublic.h>

namespace pa {

// The TCP addresses the interfaces file gives for a server name.
struct AgentAddresses {
    static constexpr int kCapacity = 8;
    sockaddr_storage entries[kCapacity];
    int count = 0;

    bool Contains(const sockaddr_storage &peer) const;
};

// Looks server up in the interfaces file and resolves its query address; false when it is not
// there or does not resolve.
bool FindAgentAddresses(const char *server, AgentAddresses &addresses);

// A login that gets no answer cannot be ended from inside FreeTDS 1.3: its client-message
// handler may only say "wait again", since "give up" makes FreeTDS log out from inside the
// very wait that timed out and wait for itself without end; and it gives no access to its
// socket. While a LoginStop lives around ct_connect, a watcher thread stands ready to end the
// login once its deadline passes, by shutting down the socket the calling thread waits on, and
// then only when every one of these holds:
//   - the thread is inside the Client-Library for this login, not running the caller's code
//     (a logger: see CallerCode), and stays there while the watcher acts;
//   - the descriptor is the first one of the poll(2) the thread is blocked in, read the same
//     before and after the watcher duplicates it;
//   - it is a TCP socket connected to an address the interfaces file gives for the server, and
//     was not one of the sockets connected there when the login began.
// The shut-down makes FreeTDS read the end of the connection and fail the login. Where the
// thread's wait cannot be seen (no /proc, process_vm_readv refused), the server's address is
// not known or the thread cannot start, nothing is done and the log says so once: the login
// then ends only when the agent answers or closes.
//
// Where FreeTDS gives its socket (CS_ENDPOINT), none of this runs: the client-message handler
// shuts the socket down itself, on the calling thread (StopLoginOnEndpoint).
class LoginStop {
public:
    LoginStop(const char *server, std::chrono::steady_clock::time_point deadline);
    ~LoginStop();
    LoginStop(const LoginStop &)            = delete;
    LoginStop &operator=(const LoginStop &) = delete;

    // Called once ct_connect has returned: leaves the Client-Library, after a watcher still
    // acting on the login is done, and says whether the login's socket was shut down.
    bool Finish();
    bool Stopped() const { return stopped_.load(std::memory_order_acquire); }

private:
    friend class LoginWatcher;
    friend class CallerCode;
    static constexpr int kSnapshotCapacity = 64;

    // The calling thread leaves the Client-Library, once a watcher acting on it is done; false
    // when it was already out. Enter brings it back.
    bool Leave();
    void Enter();
    // Whether descriptor is this login's socket, by the last two rules above.
    bool Owns(int descriptor) const;
    // Records the sockets already connected to the server; false when that cannot be known.
    bool TakeSnapshot();

    pid_t thread_;
    std::chrono::steady_clock::time_point deadline_;
    std::chrono::steady_clock::time_point next_attempt_;
    std::atomic<int> state_;
    std::atomic<bool> stopped_{false};
    AgentAddresses addresses_;
    ino_t snapshot_[kSnapshotCapacity];
    int snapshot_count_ = 0;
    bool watched_       = false;
    LoginStop *outer_;  // the login of the same thread this one runs inside (from a logger)
    LoginStop *next_     = nullptr;
    LoginStop *previous_ = nullptr;
};

// While it lives, the calling thread runs the caller's code (a logger): a login of the thread is
// not stopped meanwhile, and the socket that code may wait on is never touched.
class CallerCode {
public:
    CallerCode();
    ~CallerCode();
    CallerCode(const CallerCode &)            = delete;
    CallerCode &operator=(const CallerCode &) = delete;

private:
    LoginStop *login_;
};

// From the client-message handler, on the calling thread, once a login's deadline has passed:
// shuts the connection's socket down where FreeTDS gives it (CS_ENDPOINT). False where it does
// not, and the watcher acts instead.
bool StopLoginOnEndpoint(CS_CONNECTION *connection);

}  // namespace pa

#endif
