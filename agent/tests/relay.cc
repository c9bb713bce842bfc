#include "tests/relay.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include "tds/listener.h"
#include "tds/protocol.h"

namespace paagent::tds::testing {
namespace {

FileDescriptor connect_to(std::uint16_t port)
{
    FileDescriptor socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in to{};
    to.sin_family      = AF_INET;
    to.sin_port        = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(socket.get(), reinterpret_cast<sockaddr *>(&to), sizeof to) != 0)
        socket.reset();
    return socket;
}

// Moves what `from` has to `to` and appends it to `record`; false at the end of `from`'s stream.
bool pass(int from, int to, std::vector<std::uint8_t> &record)
{
    std::uint8_t buffer[4096];
    ssize_t got = ::recv(from, buffer, sizeof buffer, 0);
    if (got <= 0)
        return false;
    record.insert(record.end(), buffer, buffer + got);
    return ::send(to, buffer, static_cast<std::size_t>(got), MSG_NOSIGNAL) == got;
}

}  // namespace

Relay::Relay(std::uint16_t server_port)
    : server_port_(server_port), listener_(listen_tcp("127.0.0.1", 0)), stop_(::eventfd(0, EFD_CLOEXEC)),
      port_(bound_port(listener_)), thread_([this] { run(); })
{
}

Relay::~Relay()
{
    std::uint64_t one = 1;
    (void)!::write(stop_.get(), &one, sizeof one);
    thread_.join();
}

Recording Relay::recording(int connections, std::chrono::milliseconds limit)
{
    std::unique_lock lock(mutex_);
    ended_.wait_for(lock, limit, [&] { return connections_ended_ >= connections; });
    return recorded_;
}

void Relay::run()
{
    for (;;) {
        pollfd fds[2] = {{listener_.get(), POLLIN, 0}, {stop_.get(), POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0 || fds[1].revents != 0)
            return;
        AcceptedClient client = accept_client(listener_);
        if (client.socket.valid())
            forward(std::move(client.socket));
    }
}

void Relay::forward(FileDescriptor client)
{
    FileDescriptor server = connect_to(server_port_);
    for (bool open = server.valid(); open;) {
        pollfd fds[3] = {{client.get(), POLLIN, 0}, {server.get(), POLLIN, 0}, {stop_.get(), POLLIN, 0}};
        if (::poll(fds, 3, -1) < 0 || fds[2].revents != 0)
            break;
        std::lock_guard lock(mutex_);
        if (fds[0].revents != 0)
            open = pass(client.get(), server.get(), recorded_.from_client);
        if (open && fds[1].revents != 0)
            open = pass(server.get(), client.get(), recorded_.from_server);
    }
    std::lock_guard lock(mutex_);
    ++connections_ended_;
    ended_.notify_all();
}

std::vector<std::vector<std::uint8_t>> split_messages(const std::vector<std::uint8_t> &stream)
{
    std::vector<std::vector<std::uint8_t>> messages(1);
    for (std::size_t at = 0; at + kHeaderSize <= stream.size();) {
        std::size_t length = std::size_t{stream[at + 2]} << 8 | stream[at + 3];
        if (length < kHeaderSize || at + length > stream.size())
            break;
        messages.back().insert(messages.back().end(), stream.begin() + static_cast<std::ptrdiff_t>(at),
                               stream.begin() + static_cast<std::ptrdiff_t>(at + length));
        if ((stream[at + 1] & kLastPacketStatus) != 0)
            messages.emplace_back();
        at += length;
    }
    messages.pop_back();
    return messages;
}

}  // namespace paagent::tds::testing
