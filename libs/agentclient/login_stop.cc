// The watcher that ends logins FreeTDS cannot end, and the proofs it acts on.
#include "login_stop.h"

#include <agentclient/pa.h>

#include <cerrno>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <mutex>
#include <netdb.h>
#include <netinet/in.h>
#include <new>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>

namespace pa {

namespace {

using Clock = std::chrono::steady_clock;

// How often a late login's wait is looked for again: the thread may have been between two waits.
constexpr auto kRetryInterval = std::chrono::milliseconds(100);
constexpr size_t kLineSize    = 512;

// Where the calling thread is, as the watcher may see it.
enum State : int {
    kOutside,  // in the caller's code, or done: the watcher keeps off
    kInside,   // inside the Client-Library for the login
    kActing,   // inside, and held there while the watcher acts
};

// Why a login could not be watched; each is logged once per process.
enum Unavailable : unsigned {
    kNoThread  = 1U << 0,
    kNoView    = 1U << 1,
    kNoMemory  = 1U << 2,
    kNoAddress = 1U << 3,
    kNoList    = 1U << 4,
    kNotFound  = 1U << 5,
};

// How long past its deadline a login's socket is looked for before the log says it was not found.
constexpr auto kSearchLimit = std::chrono::seconds(1);

std::atomic<unsigned> said{0};

// What each reason says, and at which level.
struct Saying {
    unsigned reason;
    int32_t level;
    const char *text;
};

constexpr Saying kSayings[] = {
    {kNoThread, PaMSG_ERROR, "Cannot start the thread that ends late logins"},
    {kNoView, PaMSG_ERROR, "Cannot see the calling thread's wait in /proc/self/task"},
    {kNoMemory, PaMSG_ERROR, "Cannot read the calling thread's wait with process_vm_readv"},
    {kNoAddress, PaMSG_WARNING, "A server's address is not in the interfaces file"},
    {kNoList, PaMSG_ERROR, "Cannot list the process's descriptors in /proc/self/fd"},
    {kNotFound, PaMSG_ERROR, "A late login was not found waiting on its own socket"},
};

void SayOnce(unsigned reasons)
{
    unsigned fresh = reasons & ~said.fetch_or(reasons);
    for (const Saying &saying : kSayings) {
        if ((fresh & saying.reason) != 0) {
            PaMsgLog(saying.level, "%s: a login that gets no answer is not ended before the agent answers or closes.",
                     saying.text);
        }
    }
}

thread_local LoginStop *current_login = nullptr;

// The system call a thread is blocked in, as /proc/self/task/TID/syscall shows it.
struct BlockedCall {
    long number = -1;
    unsigned long arguments[3]{};

    bool operator==(const BlockedCall &) const = default;
};

// False when the thread is in no system call; sets *unavailable when the view cannot be read.
bool ReadBlockedCall(pid_t thread, BlockedCall &call, bool *unavailable)
{
    char path[64];
    std::snprintf(path, sizeof path, "/proc/self/task/%d/syscall", static_cast<int>(thread));
    int file = open(path, O_RDONLY | O_CLOEXEC);
    if (file < 0) {
        *unavailable = true;
        return false;
    }
    char line[256];
    ssize_t length = read(file, line, sizeof line - 1);
    close(file);
    if (length <= 0) {
        *unavailable = length < 0;
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

bool ReadFirstPolled(unsigned long address, pollfd &polled)
{
    iovec local{&polled, sizeof polled};
    iovec remote{reinterpret_cast<void *>(address), sizeof polled};
    return process_vm_readv(getpid(), &local, 1, &remote, 1, 0) == static_cast<ssize_t>(sizeof polled);
}

bool SameAddress(const sockaddr_storage &a, const sockaddr_storage &b)
{
    if (a.ss_family != b.ss_family) {
        return false;
    }
    if (a.ss_family == AF_INET) {
        const auto &x = reinterpret_cast<const sockaddr_in &>(a);
        const auto &y = reinterpret_cast<const sockaddr_in &>(b);
        return x.sin_port == y.sin_port && x.sin_addr.s_addr == y.sin_addr.s_addr;
    }
    if (a.ss_family == AF_INET6) {
        const auto &x = reinterpret_cast<const sockaddr_in6 &>(a);
        const auto &y = reinterpret_cast<const sockaddr_in6 &>(b);
        return x.sin6_port == y.sin6_port && std::memcmp(&x.sin6_addr, &y.sin6_addr, sizeof x.sin6_addr) == 0;
    }
    return false;
}

// The inode of descriptor when it is a TCP socket connected to one of addresses, else 0.
ino_t ConnectedTo(int descriptor, const AgentAddresses &addresses)
{
    int type           = 0;
    int protocol       = 0;
    socklen_t int_size = sizeof type;
    if (getsockopt(descriptor, SOL_SOCKET, SO_TYPE, &type, &int_size) != 0 || type != SOCK_STREAM) {
        return 0;
    }
    int_size = sizeof protocol;
    if (getsockopt(descriptor, SOL_SOCKET, SO_PROTOCOL, &protocol, &int_size) != 0 || protocol != IPPROTO_TCP) {
        return 0;
    }
    sockaddr_storage peer{};
    socklen_t peer_size = sizeof peer;
    struct stat status {};
    if (getpeername(descriptor, reinterpret_cast<sockaddr *>(&peer), &peer_size) != 0 || !addresses.Contains(peer) ||
        fstat(descriptor, &status) != 0) {
        return 0;
    }
    return status.st_ino;
}

// Splits line into up to count words separated by blanks.
int Words(char *line, char **words, int count)
{
    int found = 0;
    for (char *save = nullptr, *word = strtok_r(line, " \t\r\n", &save); word != nullptr && found < count;
         word = strtok_r(nullptr, " \t\r\n", &save)) {
        words[found++] = word;
    }
    return found;
}

bool Resolve(const char *host, const char *port, AgentAddresses &addresses)
{
    addrinfo hints{};
    hints.ai_family   = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found   = nullptr;
    if (getaddrinfo(host, port, &hints, &found) != 0) {
        return false;
    }
    for (addrinfo *entry = found; entry != nullptr && addresses.count < AgentAddresses::kCapacity;
         entry           = entry->ai_next) {
        if (entry->ai_addrlen <= sizeof(sockaddr_storage)) {
            sockaddr_storage &slot = addresses.entries[addresses.count++];
            slot                   = sockaddr_storage{};
            std::memcpy(&slot, entry->ai_addr, entry->ai_addrlen);
        }
    }
    freeaddrinfo(found);
    return addresses.count > 0;
}

}  // namespace

bool AgentAddresses::Contains(const sockaddr_storage &peer) const
{
    for (int i = 0; i < count; ++i) {
        if (SameAddress(entries[i], peer)) {
            return true;
        }
    }
    return false;
}

bool FindAgentAddresses(const char *server, AgentAddresses &addresses)
{
    addresses.count = 0;
    char path[PATH_MAX];
    if (PaGetInterfacesFilePath(path, sizeof path) <= 0) {
        return false;
    }
    FILE *file = std::fopen(path, "re");
    if (file == nullptr) {
        return false;
    }
    // An entry is its name at the start of a line, then indented lines such as
    // "query tcp 5.0 HOST PORT".
    char line[kLineSize];
    bool in_entry = false;
    while (std::fgets(line, sizeof line, file) != nullptr && addresses.count == 0) {
        bool indented = line[0] == ' ' || line[0] == '\t';
        char *words[5];
        int count = Words(line, words, 5);
        if (!indented) {
            in_entry = count > 0 && std::strcmp(words[0], server) == 0;
        } else if (in_entry && count == 5 && std::strcmp(words[0], "query") == 0 && std::strcmp(words[1], "tcp") == 0) {
            Resolve(words[3], words[4], addresses);
        }
    }
    std::fclose(file);
    return addresses.count > 0;
}

// The process's one watcher: the logins under a deadline, and the thread that ends late ones.
// It lives in static storage and is never destroyed, as its thread may be waiting at exit; the
// library is linked never to be unloaded, so its thread's code stays in place.
class LoginWatcher {
public:
    static LoginWatcher &Instance()
    {
        alignas(LoginWatcher) static unsigned char storage[sizeof(LoginWatcher)];
        static LoginWatcher *watcher = new (storage) LoginWatcher();
        return *watcher;
    }

    bool Watch(LoginStop &login)
    {
        std::lock_guard lock(mutex_);
        if (!StartThread()) {
            return false;
        }
        login.next_ = logins_;
        if (logins_ != nullptr) {
            logins_->previous_ = &login;
        }
        logins_ = &login;
        wake_.notify_one();
        return true;
    }

    void Forget(LoginStop &login)
    {
        std::lock_guard lock(mutex_);
        (login.previous_ != nullptr ? login.previous_->next_ : logins_) = login.next_;
        if (login.next_ != nullptr) {
            login.next_->previous_ = login.previous_;
        }
    }

private:
    LoginWatcher() { pthread_atfork(nullptr, nullptr, &LoginWatcher::AfterFork); }

    // Only the forking thread lives on in a child: the watcher's thread and its logins are gone.
    static void AfterFork()
    {
        LoginWatcher &watcher = Instance();
        new (&watcher.mutex_) std::mutex();
        new (&watcher.wake_) std::condition_variable();
        watcher.logins_  = nullptr;
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
        running_ = pthread_create(&thread, &attributes, &LoginWatcher::Run, this) == 0;
        pthread_attr_destroy(&attributes);
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
        return running_;
    }

    static void *Run(void *self)
    {
        pthread_setname_np(pthread_self(), "pa-login-stop");
        static_cast<LoginWatcher *>(self)->Loop();
        return nullptr;
    }

    // Sleeps until the earliest attempt is due, then tries to end every late login; one whose
    // thread was not found waiting is tried again shortly.
    [[noreturn]] void Loop()
    {
        std::unique_lock lock(mutex_);
        for (;;) {
            const LoginStop *earliest = nullptr;
            for (const LoginStop *login = logins_; login != nullptr; login = login->next_) {
                if (!login->Stopped() && (earliest == nullptr || login->next_attempt_ < earliest->next_attempt_)) {
                    earliest = login;
                }
            }
            if (earliest == nullptr) {
                wake_.wait(lock);
                continue;
            }
            // A copy: the login may end, and its record go, while the watcher sleeps.
            Clock::time_point due = earliest->next_attempt_;
            if (Clock::now() < due) {
                wake_.wait_until(lock, due);
                continue;
            }
            unsigned unavailable = 0;
            for (LoginStop *login = logins_; login != nullptr; login = login->next_) {
                Clock::time_point now = Clock::now();
                if (!login->Stopped() && login->next_attempt_ <= now && !TryStop(*login, unavailable)) {
                    login->next_attempt_ = now + kRetryInterval;
                    if (now - login->deadline_ > kSearchLimit) {
                        unavailable |= kNotFound;
                    }
                }
            }
            if (unavailable != 0) {
                // Logged unlocked: a logger may itself log in.
                lock.unlock();
                SayOnce(unavailable);
                lock.lock();
            }
        }
    }

    // Holds the login's thread inside the Client-Library while it looks for the login's socket
    // in the thread's wait and shuts it down.
    static bool TryStop(LoginStop &login, unsigned &unavailable)
    {
        int expected = kInside;
        if (!login.state_.compare_exchange_strong(expected, kActing, std::memory_order_acq_rel)) {
            return false;
        }
        bool no_view = false;
        BlockedCall before;
        pollfd polled{};
        bool stopped = false;
        if (ReadBlockedCall(login.thread_, before, &no_view) && IsPoll(before.number) && before.arguments[1] != 0) {
            if (!ReadFirstPolled(before.arguments[0], polled)) {
                unavailable |= kNoMemory;
            } else if (int copy = fcntl(polled.fd, F_DUPFD_CLOEXEC, 0); copy >= 0) {
                BlockedCall after;
                pollfd again{};
                stopped = ReadBlockedCall(login.thread_, after, &no_view) && after == before &&
                          ReadFirstPolled(after.arguments[0], again) && again.fd == polled.fd && login.Owns(copy) &&
                          shutdown(copy, SHUT_RDWR) == 0;
                close(copy);
            }
        }
        if (no_view) {
            unavailable |= kNoView;
        }
        if (stopped) {
            login.stopped_.store(true, std::memory_order_release);
        }
        login.state_.store(kInside, std::memory_order_release);
        login.state_.notify_all();
        return stopped;
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    LoginStop *logins_ = nullptr;
    bool running_      = false;
};

LoginStop::LoginStop(const char *server, Clock::time_point deadline)
    : thread_(gettid()), deadline_(deadline), next_attempt_(deadline), state_(kInside), outer_(current_login)
{
    current_login = this;
#ifndef CS_ENDPOINT
    unsigned unavailable = 0;
    if (!FindAgentAddresses(server, addresses_)) {
        unavailable = kNoAddress;
    } else if (!TakeSnapshot()) {
        unavailable = kNoList;
    } else if (!(watched_ = LoginWatcher::Instance().Watch(*this))) {
        unavailable = kNoThread;
    }
    SayOnce(unavailable);
#else
    (void)server;
#endif
}

LoginStop::~LoginStop()
{
    Leave();
    if (watched_) {
        LoginWatcher::Instance().Forget(*this);
    }
    current_login = outer_;
}

bool LoginStop::Leave()
{
    int expected = kInside;
    while (!state_.compare_exchange_weak(expected, kOutside, std::memory_order_acq_rel)) {
        if (expected == kOutside) {
            return false;
        }
        if (expected == kActing) {
            state_.wait(kActing, std::memory_order_acquire);
        }
        expected = kInside;
    }
    return true;
}

void LoginStop::Enter() { state_.store(kInside, std::memory_order_release); }

bool LoginStop::Finish()
{
    Leave();
    return Stopped();
}

bool LoginStop::Owns(int descriptor) const
{
    ino_t inode = ConnectedTo(descriptor, addresses_);
    if (inode == 0) {
        return false;
    }
    for (int i = 0; i < snapshot_count_; ++i) {
        if (snapshot_[i] == inode) {
            return false;
        }
    }
    return true;
}

bool LoginStop::TakeSnapshot()
{
    DIR *directory = opendir("/proc/self/fd");
    if (directory == nullptr) {
        return false;
    }
    bool complete = true;
    while (dirent *entry = readdir(directory)) {
        char *end       = nullptr;
        long descriptor = std::strtol(entry->d_name, &end, 10);
        if (end == entry->d_name || *end != '\0' || descriptor == dirfd(directory)) {
            continue;
        }
        if (ino_t inode = ConnectedTo(static_cast<int>(descriptor), addresses_); inode != 0) {
            complete = complete && snapshot_count_ < kSnapshotCapacity;
            if (complete) {
                snapshot_[snapshot_count_++] = inode;
            }
        }
    }
    closedir(directory);
    return complete;
}

CallerCode::CallerCode() : login_(current_login)
{
    // Only the outermost stretch of the caller's code comes back in: a logger may log again.
    if (login_ != nullptr && !login_->Leave()) {
        login_ = nullptr;
    }
}

CallerCode::~CallerCode()
{
    if (login_ != nullptr) {
        login_->Enter();
    }
}

bool StopLoginOnEndpoint(CS_CONNECTION *connection)
{
#ifdef CS_ENDPOINT
    CS_INT socket = -1;
    return ct_con_props(connection, CS_GET, CS_ENDPOINT, &socket, CS_UNUSED, nullptr) == CS_SUCCEED && socket >= 0 &&
           shutdown(socket, SHUT_RDWR) == 0;
#else
    (void)connection;
    return false;
#endif
}

}  // namespace pa
