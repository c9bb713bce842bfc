// RAII file descriptors, the server's stop signal, and a poll-based byte stream over a socket.
#ifndef PAAGENT_TDS_SOCKET_H
#define PAAGENT_TDS_SOCKET_H

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>

namespace paagent::tds {

class FileDescriptor {
public:
    FileDescriptor() = default;
    explicit FileDescriptor(int fd) : fd_(fd) {}
    FileDescriptor(FileDescriptor &&other) noexcept : fd_(other.release()) {}
    FileDescriptor &operator=(FileDescriptor &&other) noexcept;
    FileDescriptor(const FileDescriptor &)            = delete;
    FileDescriptor &operator=(const FileDescriptor &) = delete;
    ~FileDescriptor() { reset(); }

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    int release();
    void reset();

private:
    int fd_ = -1;
};

// Level-triggered wake-up shared by every blocking wait of a server: once raised, stays raised.
class StopSignal {
public:
    StopSignal();
    void raise();
    int fd() const { return event_.get(); }

private:
    FileDescriptor event_;
};

enum class IoResult {
    Ok,
    Closed,
    Stopped,
    TimedOut,
    Failed
};
const char *to_string(IoResult result);

using Deadline = std::optional<std::chrono::steady_clock::time_point>;
Deadline deadline_after(std::chrono::milliseconds timeout);

class Stream {
public:
    Stream(FileDescriptor socket, const StopSignal &stop) : socket_(std::move(socket)), stop_(stop) {}

    IoResult read_exact(std::span<std::uint8_t> out, Deadline deadline);
    IoResult write_all(std::span<const std::uint8_t> data, Deadline deadline);
    // True when bytes (or the end of the stream) are waiting to be read.
    bool has_input() const;
    // Waits until `until`; false when input (or the end of the stream) comes first, or the server
    // stops. For pauses in which the client has nothing to say.
    bool quiet_until(Deadline until) const;

private:
    IoResult wait(short events, Deadline deadline) const;

    FileDescriptor socket_;
    const StopSignal &stop_;
};

}  // namespace paagent::tds

#endif  // PAAGENT_TDS_SOCKET_H
