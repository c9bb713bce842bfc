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
        reset();
        fd_ = other.release();
    }
    return *this;
}

int FileDescriptor::release() { return std::exchange(fd_, -1); }

void FileDescriptor::reset()
{
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

StopSignal::StopSignal() : event_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
{
    if (!event_.valid()) {
        throw std::system_error(errno, std::generic_category(), "eventfd");
    }
}

void StopSignal::raise()
{
    std::uint64_t one = 1;
    // The counter only needs to become non-zero; a full counter is already raised.
    [[maybe_unused]] auto written = ::write(event_.get(), &one, sizeof one);
}

const char *to_string(IoResult result)
{
    switch (result) {
    case IoResult::Ok: return "ok";
    case IoResult::Closed: return "closed by peer";
    case IoResult::Stopped: return "server stopping";
    case IoResult::TimedOut: return "timed out";
    case IoResult::Failed: return "socket error";
    }
    return "unknown";
}

Deadline deadline_after(std::chrono::milliseconds timeout) { return std::chrono::steady_clock::now() + timeout; }

IoResult Stream::wait(short events, Deadline deadline) const
{
    for (;;) {
        int timeout_ms = -1;
        if (deadline) {
            // Rounded up: poll's whole milliseconds must not end the wait before the deadline.
            auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0)
                return IoResult::TimedOut;
            timeout_ms = static_cast<int>(left.count());
        }
        pollfd fds[2] = {{socket_.get(), events, 0}, {stop_.fd(), POLLIN, 0}};
        int ready     = ::poll(fds, 2, timeout_ms);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready < 0)
            return IoResult::Failed;
        if (fds[1].revents != 0)
            return IoResult::Stopped;
        if (fds[0].revents != 0)
            return IoResult::Ok;
    }
}

IoResult Stream::read_exact(std::span<std::uint8_t> out, Deadline deadline)
{
    std::size_t done = 0;
    while (done < out.size()) {
        if (IoResult ready = wait(POLLIN, deadline); ready != IoResult::Ok)
            return ready;
        ssize_t got = ::recv(socket_.get(), out.data() + done, out.size() - done, 0);
        if (got == 0)
            return IoResult::Closed;
        if (got < 0) {
            if (errno == EINTR || errno == EAGAIN)
                continue;
            return errno == ECONNRESET ? IoResult::Closed : IoResult::Failed;
        }
        done += static_cast<std::size_t>(got);
    }
    return IoResult::Ok;
}

IoResult Stream::write_all(std::span<const std::uint8_t> data, Deadline deadline)
{
    std::size_t done = 0;
    while (done < data.size()) {
        if (IoResult ready = wait(POLLOUT, deadline); ready != IoResult::Ok)
            return ready;
        ssize_t sent = ::send(socket_.get(), data.data() + done, data.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent < 0) {
            if (errno == EINTR || errno == EAGAIN)
                continue;
            return (errno == EPIPE || errno == ECONNRESET) ? IoResult::Closed : IoResult::Failed;
        }
        done += static_cast<std::size_t>(sent);
    }
    return IoResult::Ok;
}

bool Stream::quiet_until(Deadline until) const { return wait(POLLIN, until) == IoResult::TimedOut; }

bool Stream::has_input() const
{
    pollfd fd{socket_.get(), POLLIN, 0};
    return ::poll(&fd, 1, 0) > 0 && fd.revents != 0;
}

}  // namespace paagent::tds
