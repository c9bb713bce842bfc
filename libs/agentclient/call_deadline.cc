// The watcher that enforces call deadlines by shutting down the socket a late call waits on.
#include "call_deadline.h"

#include <agentclient/pa.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <mutex>
#include <new>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>

namespace pa {

namespace {

using Clock = std::chrono::steady_clock;

// How often a late call's wait is looked for again: the thread may have been between two waits.
constexpr auto kRetryInterval = std::chrono::milliseconds(100);

// The system call a thread is blocked in, as /proc/self/task/TID/syscall shows it.
struct BlockedCall {
    long number = -1;
    unsigned long arguments[3]{};

    bool operator==(const BlockedCall &) const = default;
};

bool ReadBlockedCall(pid_t thread, BlockedCall &call)
{
    char path[64];
    std::snprintf(path, sizeof path, "/proc/self/task/%d/syscall", static_cast<int>(thread));
    int file = open(path, O_RDONLY | O_CLOEXEC);
    if (file < 0) {
        // Without this view of its threads the process's calls are bound by the
        // Client-Library's own time-outs alone: said once.
        static std::atomic<bool> said{false};
        if (errno != ENOENT && !said.exchange(true)) {
            PaMsgLog(PaMSG_ERROR, "Cannot read %s (%s): a call that outlives its time-out cannot be ended.", path,
                     strerrordesc_np(errno));
        }
        return false;
    }
    char line[256];
    ssize_t length = read(file, line, sizeof line - 1);
    close(file);
    if (length <= 0) {
        return false;
    }
    line[length] = '\0';
    // "running" or a negative number: not inside a system call.
    char *cursor = line;
    call.number  = std::strtol(cursor, &cursor, 10);
    for (unsigned long &argument : call.arguments) {
        argument = std::strtoul(cursor, &cursor, 16);
    }
    return cursor != line && call.number >= 0;
}

bool IsPoll(long number)
{
#ifdef SYS_poll
    if (number == SYS_poll) {
        return true;
    }
#endif
    return number == SYS_ppoll;
}

// A connected stream socket of the internet families: what Client-Library talks to agents on.
bool IsNetworkStream(int descriptor)
{
    int type           = 0;
    socklen_t typeSize = sizeof type;
    sockaddr_storage address{};
    socklen_t addressSize = sizeof address;
    return getsockopt(descriptor, SOL_SOCKET, SO_TYPE, &type, &typeSize) == 0 && type == SOCK_STREAM &&
           getsockname(descriptor, reinterpret_cast<sockaddr *>(&address), &addressSize) == 0 &&
           (address.ss_family == AF_INET || address.ss_family == AF_INET6);
}

// Shuts down the socket that thread polls first, when it is blocked in poll(2) on a network
// socket. The descriptor is duplicated and the thread seen still in the same wait before the
// shut-down, so a descriptor closed and reused meanwhile is never touched.
void ShutDownPolledSocket(pid_t thread)
{
    BlockedCall before;
    if (!ReadBlockedCall(thread, before) || !IsPoll(before.number) || before.arguments[1] == 0) {
        return;
    }
    pollfd polled{};
    iovec local{&polled, sizeof polled};
    iovec remote{reinterpret_cast<void *>(before.arguments[0]), sizeof polled};
    if (process_vm_readv(getpid(), &local, 1, &remote, 1, 0) != static_cast<ssize_t>(sizeof polled)) {
        return;
    }
    int copy = fcntl(polled.fd, F_DUPFD_CLOEXEC, 0);
    if (copy < 0) {
        return;
    }
    BlockedCall after;
    if (ReadBlockedCall(thread, after) && after == before && IsNetworkStream(copy)) {
        shutdown(copy, SHUT_RDWR);
    }
    close(copy);
}

}  // namespace

// The process's one watcher: the calls under a deadline, and the thread that ends their waits.
// It lives in static storage and is never destroyed, as its thread may be waiting at exit.
class DeadlineWatcher {
public:
    static DeadlineWatcher &Instance()
    {
        alignas(DeadlineWatcher) static unsigned char storage[sizeof(DeadlineWatcher)];
        static DeadlineWatcher *watcher = new (storage) DeadlineWatcher();
        return *watcher;
    }

    void Watch(CallDeadline &call)
    {
        std::lock_guard lock(mutex_);
        call.watched_ = StartThread();
        if (!call.watched_) {
            return;
        }
        call.next_ = calls_;
        if (calls_ != nullptr) {
            calls_->previous_ = &call;
        }
        calls_ = &call;
        wake_.notify_one();
    }

    void Forget(CallDeadline &call)
    {
        if (!call.watched_) {
            return;
        }
        std::lock_guard lock(mutex_);
        (call.previous_ != nullptr ? call.previous_->next_ : calls_) = call.next_;
        if (call.next_ != nullptr) {
            call.next_->previous_ = call.previous_;
        }
    }

private:
    DeadlineWatcher() { pthread_atfork(nullptr, nullptr, &DeadlineWatcher::AfterFork); }

    // Only the forking thread lives on in a child: its watcher and its calls are gone.
    static void AfterFork()
    {
        DeadlineWatcher &watcher = Instance();
        new (&watcher.mutex_) std::mutex();
        new (&watcher.wake_) std::condition_variable();
        watcher.calls_   = nullptr;
        watcher.running_ = false;
    }

    bool StartThread()
    {
        if (running_) {
            return true;
        }
        // The watcher takes none of the caller's signals.
        sigset_t all, previous;
        sigfillset(&all);
        pthread_sigmask(SIG_SETMASK, &all, &previous);
        pthread_attr_t attributes;
        pthread_attr_init(&attributes);
        pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
        pthread_t thread;
        running_ = pthread_create(&thread, &attributes, &DeadlineWatcher::Run, this) == 0;
        pthread_attr_destroy(&attributes);
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
        if (!running_) {
            PaMsgLog(PaMSG_ERROR, "Failed to start the thread that bounds calls; calls are bounded by "
                                  "the Client-Library's time-outs alone.");
        }
        return running_;
    }

    static void *Run(void *self)
    {
        pthread_setname_np(pthread_self(), "pa-deadline");
        static_cast<DeadlineWatcher *>(self)->Loop();
        return nullptr;
    }

    // Sleeps until the earliest deadline, then ends the waits of every late call and looks at
    // them again shortly, for as long as they stay late.
    [[noreturn]] void Loop()
    {
        std::unique_lock lock(mutex_);
        for (;;) {
            CallDeadline *earliest = nullptr;
            for (CallDeadline *call = calls_; call != nullptr; call = call->next_) {
                if (earliest == nullptr || call->deadline_ < earliest->deadline_) {
                    earliest = call;
                }
            }
            if (earliest == nullptr) {
                wake_.wait(lock);
                continue;
            }
            // A copy: the call may end, and its deadline go, while the watcher sleeps.
            Clock::time_point next = earliest->deadline_;
            if (Clock::now() < next) {
                wake_.wait_until(lock, next);
                continue;
            }
            for (CallDeadline *call = calls_; call != nullptr; call = call->next_) {
                Clock::time_point now = Clock::now();
                if (call->deadline_ <= now) {
                    call->expired_.store(true, std::memory_order_release);
                    ShutDownPolledSocket(call->thread_);
                    call->deadline_ = now + kRetryInterval;
                }
            }
        }
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    CallDeadline *calls_ = nullptr;
    bool running_        = false;
};

CallDeadline::CallDeadline(int32_t seconds)
    : thread_(gettid()), deadline_(Clock::now() + std::chrono::seconds(seconds + kCallMarginSeconds))
{
    DeadlineWatcher::Instance().Watch(*this);
}

CallDeadline::~CallDeadline() { DeadlineWatcher::Instance().Forget(*this); }

}  // namespace pa
