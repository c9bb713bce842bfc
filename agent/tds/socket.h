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
    FileDescriptor(FileDescriptor &&other) noexcept : fd_(other.Release()) {}
    FileDescriptor &operator=(FileDescriptor &&other) noexcept;
    FileDescriptor(const FileDescriptor &)            = delete;
    FileDescriptor &operator=(const FileDescriptor &) = delete;
    ~FileDescriptor() { Reset(); }

    int Get() const { return fd_; }
    bool Valid() const { return fd_ >= 0; }
    int Release();
    void Reset();

private:
    int fd_ = -1;
};

// Level-triggered wake-up shared by every blocking wait of a server: once raised, stays raised.
class StopSignal {
public:
    StopSignal();
    void Raise();
    int Fd() const { return event_.Get(); }

private:
    FileDescriptor event_;
};

enum class IoResult {
    kOk,
    kClosed,
    kStopped,
    kTimedOut,
    kFailed
};
const char *ToString(IoResult result);

using Deadline = std::optional<std::chrono::steady_clock::time_point>;
Deadline DeadlineAfter(std::chrono::milliseconds timeout);

class Stream {
public:
    Stream(FileDescriptor socket, const StopSignal &stop) : socket_(std::move(socket)), stop_(stop) {}

    IoResult ReadExact(std::span<std::uint8_t> out, Deadline deadline);
    IoResult WriteAll(std::span<const std::uint8_t> data, Deadline deadline);
    // True when bytes (or the end of the stream) are waiting to be read.
    bool HasInput() const;
    // Waits until `until`; false when input (or the end of the stream) comes first, or the server
    // stops. For pauses in which the client has nothing to say.
    bool QuietUntil(Deadline until) const;
    // The socket, to be polled for the peer's hang-up by code that must not read it.
    int Descriptor() const { return socket_.Get(); }

private:
    IoResult Wait(short events, Deadline deadline) const;

    FileDescriptor socket_;
    const StopSignal &stop_;
};

}  // namespace paagent::tds

#endif  // PAAGENT_TDS_SOCKET_H
