// One thread that gives up the work whose clients have gone.
#include "core/hang_up_watcher.h"

#include <cerrno>
#include <csignal>
#include <system_error>
#include <utility>

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include "tds/request_client.h"

namespace paagent {

namespace {

constexpr std::uint64_t kWakeId = 0;  // ids of watches start at 1

}  // namespace

HangUpWatcher::HangUpWatcher() : epoll_(epoll_create1(EPOLL_CLOEXEC)), wake_(eventfd(0, EFD_CLOEXEC))
{
    epoll_event event{};
    event.events   = EPOLLIN;
    event.data.u64 = kWakeId;
    if (!epoll_.Valid() || !wake_.Valid() || epoll_ctl(epoll_.Get(), EPOLL_CTL_ADD, wake_.Get(), &event) != 0) {
        throw std::system_error(errno, std::generic_category(), "cannot watch clients for their hang-ups");
    }
    // The watcher takes none of the process's signals: SIGCHLD is for the supervisor's thread,
    // which may start after it.
    sigset_t all, previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    thread_ = std::thread([this] { Run(); });
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

HangUpWatcher::~HangUpWatcher()
{
    const std::uint64_t one = 1;
    (void)!write(wake_.Get(), &one, sizeof one);
    thread_.join();
}

HangUpWatcher::Watch HangUpWatcher::WatchClient(std::function<void()> gone)
{
    const int client = tds::RequestClientSocket();
    if (client < 0) {
        return {};
    }
    std::lock_guard lock(mutex_);
    const std::uint64_t id = next_id_++;
    epoll_event event{};
    event.events   = EPOLLRDHUP | EPOLLONESHOT;
    event.data.u64 = id;
    if (epoll_ctl(epoll_.Get(), EPOLL_CTL_ADD, client, &event) != 0) {
        return {};  // the work ends at its own bound
    }
    watched_.emplace(id, Watched{client, std::move(gone), false});
    return Watch(this, id);
}

bool HangUpWatcher::Forget(std::uint64_t id)
{
    std::lock_guard lock(mutex_);
    const auto found = watched_.find(id);
    const bool gone  = found->second.gone;
    epoll_ctl(epoll_.Get(), EPOLL_CTL_DEL, found->second.client, nullptr);
    watched_.erase(found);
    return gone;
}

void HangUpWatcher::Run()
{
    for (;;) {
        epoll_event events[16];
        const int count = epoll_wait(epoll_.Get(), events, 16, -1);
        for (int i = 0; i < count; ++i) {
            if (events[i].data.u64 == kWakeId) {
                return;
            }
            // A watch forgotten since the event came is gone from the map.
            std::lock_guard lock(mutex_);
            if (auto found = watched_.find(events[i].data.u64); found != watched_.end()) {
                found->second.gone = true;
                found->second.on_gone();
            }
        }
    }
}

HangUpWatcher::Watch::Watch(Watch &&other) noexcept
    : watcher_(std::exchange(other.watcher_, nullptr)), id_(other.id_), gone_(other.gone_)
{
}

HangUpWatcher::Watch &HangUpWatcher::Watch::operator=(Watch &&other) noexcept
{
    if (this != &other) {
        Stop();
        watcher_ = std::exchange(other.watcher_, nullptr);
        id_      = other.id_;
        gone_    = other.gone_;
    }
    return *this;
}

bool HangUpWatcher::Watch::Stop()
{
    if (watcher_ != nullptr) {
        gone_ = std::exchange(watcher_, nullptr)->Forget(id_);
    }
    return gone_;
}

}  // namespace paagent
