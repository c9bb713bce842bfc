#include "tds/socket.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>
#include <utility>

namespace paagent::tds {

FileDescriptor &FileDescriptor::operator=(FileDescriptor &&other) noexcept
{
    if (this != &other) {
        Reset();
        fd_ = other.Release();
    }
    return *this;
}

int FileDescriptor::Release() { return std::exchange(fd_, -1); }

void FileDescriptor::Reset()
{
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

StopSignal::StopSignal() : event_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
{
    if (!event_.Valid()) {
        throw std::system_error(errno, std::generic_category(), "eventfd");
    }
}

void StopSignal::Raise()
{
    std::uint64_t one = 1;
    // The counter only needs to become non-zero; a full counter is already raised.
    [[maybe_unused]] auto written = ::write(event_.Get(), &one, sizeof one);
}

const char *ToString(IoResult result)
{
    switch (result) {
    case IoResult::kOk: return "ok";
    case IoResult::kClosed: return "closed by peer";
    case IoResult::kStopped: return "server stopping";
    case IoResult::kTimedOut: return "timed out";
    case IoResult::kFailed: return "socket error";
    }
    return "unknown";
}

Deadline DeadlineAfter(std::chrono::milliseconds timeout) { return std::chrono::steady_clock::now() + timeout; }

IoResult Stream::Wait(short events, Deadline deadline) const
{
    for (;;) {
        int timeout_ms = -1;
        if (deadline) {
            // Rounded up: poll's whole milliseconds must not end the wait before the deadline.
            auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) {
                return IoResult::kTimedOut;
            }
            timeout_ms = static_cast<int>(left.count());
        }
        pollfd fds[2] = {{socket_.Get(), events, 0}, {stop_.Fd(), POLLIN, 0}};
        int ready     = ::poll(fds, 2, timeout_ms);
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready < 0) {
            return IoResult::kFailed;
        }
        if (fds[1].revents != 0) {
            return IoResult::kStopped;
        }
        if (fds[0].revents != 0) {
            return IoResult::kOk;
        }
    }
}

IoResult Stream::ReadExact(std::span<std::uint8_t> out, Deadline deadline)
{
    std::size_t done = 0;
    while (done < out.size()) {
        if (IoResult ready = Wait(POLLIN, deadline); ready != IoResult::kOk) {
            return ready;
        }
        ssize_t got = ::recv(socket_.Get(), out.data() + done, out.size() - done, 0);
        if (got == 0) {
            return IoResult::kClosed;
        }
        if (got < 0) {
            if (errno == EINTR || errno == EAGAIN) {
                continue;
            }
            return errno == ECONNRESET ? IoResult::kClosed : IoResult::kFailed;
        }
        done += static_cast<std::size_t>(got);
    }
    return IoResult::kOk;
}

IoResult Stream::WriteAll(std::span<const std::uint8_t> data, Deadline deadline)
{
    std::size_t done = 0;
    while (done < data.size()) {
        if (IoResult ready = Wait(POLLOUT, deadline); ready != IoResult::kOk) {
            return ready;
        }
        ssize_t sent = ::send(socket_.Get(), data.data() + done, data.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent < 0) {
            if (errno == EINTR || errno == EAGAIN) {
                continue;
            }
            return (errno == EPIPE || errno == ECONNRESET) ? IoResult::kClosed : IoResult::kFailed;
        }
        done += static_cast<std::size_t>(sent);
    }
    return IoResult::kOk;
}

bool Stream::QuietUntil(Deadline until) const { return Wait(POLLIN, until) == IoResult::kTimedOut; }

bool Stream::HasInput() const
{
    pollfd fd{socket_.Get(), POLLIN, 0};
    return ::poll(&fd, 1, 0) > 0 && fd.revents != 0;
}

}  // namespace paagent::tds
