#include "tds/listener.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <cerrno>
#include <stdexcept>
#include <system_error>

namespace paagent::tds {
namespace {
// The kernel caps this at its own limit (net.core.somaxconn). A long queue lets a burst of
// connections wait for accept() rather than have their handshakes dropped and retried a second
// later; the pools decide what becomes of them.
constexpr int kBacklog = SOMAXCONN;

[[noreturn]] void ThrowErrno(const std::string &what) { throw std::system_error(errno, std::generic_category(), what); }
}  // namespace

FileDescriptor ListenTcp(const std::string &address, std::uint16_t port)
{
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port   = htons(port);
    if (::inet_pton(AF_INET, address.c_str(), &addr.sin_addr) != 1) {
        throw std::invalid_argument("not an IPv4 address: " + address);
    }
    FileDescriptor listener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!listener.Valid()) {
        ThrowErrno("socket");
    }
    int on = 1;
    ::setsockopt(listener.Get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (::bind(listener.Get(), reinterpret_cast<const sockaddr *>(&addr), sizeof addr) != 0) {
        ThrowErrno("bind " + address + ":" + std::to_string(port));
    }
    if (::listen(listener.Get(), kBacklog) != 0) {
        ThrowErrno("listen");
    }
    return listener;
}

std::uint16_t BoundPort(const FileDescriptor &listener)
{
    sockaddr_in addr{};
    socklen_t length = sizeof addr;
    if (::getsockname(listener.Get(), reinterpret_cast<sockaddr *>(&addr), &length) != 0) {
        ThrowErrno("getsockname");
    }
    return ntohs(addr.sin_port);
}

bool IsLoopbackAddress(const std::string &address)
{
    in_addr parsed{};
    return ::inet_pton(AF_INET, address.c_str(), &parsed) == 1 && (ntohl(parsed.s_addr) >> 24) == 127;
}

AcceptedClient AcceptClient(const FileDescriptor &listener)
{
    sockaddr_in addr{};
    socklen_t length = sizeof addr;
    AcceptedClient client;
    client.socket =
        FileDescriptor(::accept4(listener.Get(), reinterpret_cast<sockaddr *>(&addr), &length, SOCK_CLOEXEC));
    if (!client.socket.Valid()) {
        client.error = errno;
        return client;
    }
    int on = 1;
    ::setsockopt(client.socket.Get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &addr.sin_addr, text, sizeof text);
    client.address = text;
    client.peer    = client.address + ":" + std::to_string(ntohs(addr.sin_port));
    return client;
}

}  // namespace paagent::tds
