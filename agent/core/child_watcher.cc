#include "core/child_watcher.h"

#include <cerrno>
#include <cstdint>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/wait.h>
#include <system_error>
#include <unistd.h>
#include <utility>
#include <vector>

namespace paagent {

ChildWatcher::ChildWatcher(ExitHandler on_exit)
    : on_exit_(std::move(on_exit)), wake_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
{
    if (!wake_.Valid()) {
        throw std::system_error(errno, std::generic_category(), "eventfd");
    }
    thread_ = std::thread([this] { Run(); });
}

ChildWatcher::~ChildWatcher()
{
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    Wake();
    thread_.join();
}

void ChildWatcher::Watch(pid_t pid, tds::FileDescriptor pidfd)
{
    {
        std::lock_guard lock(mutex_);
        children_.emplace(pid, std::move(pidfd));
    }
    Wake();
}

void ChildWatcher::Wake()
{
    std::uint64_t one = 1;
    (void)!write(wake_.Get(), &one, sizeof one);
}

void ChildWatcher::Run()
{
    for (;;) {
        std::vector<pollfd> fds{{wake_.Get(), POLLIN, 0}};
        std::vector<pid_t> pids;
        {
            std::lock_guard lock(mutex_);
            if (stopping_) {
                return;
            }
            for (const auto &[pid, fd] : children_) {
                fds.push_back({fd.Get(), POLLIN, 0});
                pids.push_back(pid);
            }
        }
        if (poll(fds.data(), fds.size(), -1) < 0) {
            continue;  // EINTR: look again
        }
        if (fds[0].revents != 0) {
            std::uint64_t count = 0;
            (void)!read(wake_.Get(), &count, sizeof count);
        }
        for (std::size_t i = 1; i < fds.size(); ++i) {
            if (fds[i].revents == 0) {
                continue;
            }
            const auto pidfd = static_cast<id_t>(fds[i].fd);
            siginfo_t info{};
            // A process that is not the agent's child (or a child reaped elsewhere) cannot be
            // waited for: its exit is known, its status is not.
            ExitStatus status{false, -1, false};
            if (waitid(P_PIDFD, pidfd, &info, WEXITED | WNOWAIT) == 0) {
                status = {info.si_code != CLD_EXITED, info.si_status};
            }
            pid_t pid = pids[i - 1];
            on_exit_(pid, status);
            // Reaped only once the exit is reported, if the handler has not reaped it: until
            // then the PID stays the child's and cannot name another process.
            (void)waitid(P_PIDFD, pidfd, &info, WEXITED);
            std::lock_guard lock(mutex_);
            children_.erase(pid);
        }
    }
}

}  // namespace paagent
