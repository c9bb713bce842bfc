// Which processes hold the client end of a real connection over this host's addresses.
#include "core/socket_owner.h"
#include "tds/socket.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstring>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <optional>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace paagent {
namespace {

using tds::FileDescriptor;

sockaddr_storage AddressOf(const std::string &text, in_port_t port)
{
    sockaddr_storage storage{};
    if (text.find(':') == std::string::npos) {
        auto *v4       = reinterpret_cast<sockaddr_in *>(&storage);
        v4->sin_family = AF_INET;
        v4->sin_port   = htons(port);
        inet_pton(AF_INET, text.c_str(), &v4->sin_addr);
    } else {
        auto *v6        = reinterpret_cast<sockaddr_in6 *>(&storage);
        v6->sin6_family = AF_INET6;
        v6->sin6_port   = htons(port);
        inet_pton(AF_INET6, text.c_str(), &v6->sin6_addr);
    }
    return storage;
}

// An IPv4 address of this host other than loopback, if it has one.
std::optional<std::string> OutwardAddress()
{
    ifaddrs *all = nullptr;
    if (getifaddrs(&all) != 0) {
        return std::nullopt;
    }
    std::optional<std::string> found;
    for (const ifaddrs *entry = all; entry != nullptr && !found; entry = entry->ifa_next) {
        if (entry->ifa_addr != nullptr && entry->ifa_addr->sa_family == AF_INET) {
            char text[INET_ADDRSTRLEN];
            inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in *>(entry->ifa_addr)->sin_addr, text, sizeof text);
            if (std::strncmp(text, "127.", 4) != 0) {
                found = text;
            }
        }
    }
    freeifaddrs(all);
    return found;
}

// A connection from client_address to a listener on listen_address, both ends in this process.
struct Connection {
    FileDescriptor client;
    FileDescriptor server;
};

bool Connect(const std::string &listen_address, const std::string &client_address, Connection &connection)
{
    sockaddr_storage bound = AddressOf(listen_address, 0);
    socklen_t length       = sizeof bound;
    const FileDescriptor listener(socket(bound.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const int dual_stack = 0;
    if (bound.ss_family == AF_INET6) {
        setsockopt(listener.Get(), IPPROTO_IPV6, IPV6_V6ONLY, &dual_stack, sizeof dual_stack);
    }
    if (bind(listener.Get(), reinterpret_cast<sockaddr *>(&bound), length) != 0 || listen(listener.Get(), 1) != 0 ||
        getsockname(listener.Get(), reinterpret_cast<sockaddr *>(&bound), &length) != 0) {
        return false;
    }
    const in_port_t port    = ntohs(bound.ss_family == AF_INET ? reinterpret_cast<sockaddr_in *>(&bound)->sin_port
                                                               : reinterpret_cast<sockaddr_in6 *>(&bound)->sin6_port);
    sockaddr_storage target = AddressOf(client_address, port);
    connection.client       = FileDescriptor(socket(target.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (connect(connection.client.Get(), reinterpret_cast<sockaddr *>(&target), sizeof target) != 0) {
        return false;
    }
    connection.server = FileDescriptor(accept4(listener.Get(), nullptr, nullptr, SOCK_CLOEXEC));
    return connection.server.Get() >= 0;
}

TEST(SocketOwner, OnlyTheProcessTreeHoldingTheLoopbackClientSocketIsItsOwner)
{
    const std::optional<std::string> outward = OutwardAddress();
    const struct {
        const char *rule;
        std::string listen;
        std::string client;
        bool child_holds;  // the client's socket is a child's alone, else this process's alone
        bool ask_child;    // about the child, else about this process
        bool held;
    } rows[] = {
        {"this process holds its socket", "127.0.0.1", "127.0.0.1", false, false, true},
        {"a child that does not hold it", "127.0.0.1", "127.0.0.1", false, true, false},
        {"a descendant holds it", "127.0.0.1", "127.0.0.1", true, false, true},
        {"the child holding it", "127.0.0.1", "127.0.0.1", true, true, true},
        {"over IPv6 loopback", "::1", "::1", false, false, true},
        {"an IPv4 client of a dual-stack listener", "::", "127.0.0.1", false, false, true},
        {"a client beyond loopback", "0.0.0.0", outward.value_or(""), false, false, false},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.rule);
        if (row.client.empty()) {
            continue;  // no address but loopback to come from
        }
        Connection connection;
        ASSERT_TRUE(Connect(row.listen, row.client, connection)) << std::strerror(errno);
        int ready[2], go[2];
        ASSERT_EQ(pipe(ready), 0);
        ASSERT_EQ(pipe(go), 0);
        const pid_t child = fork();
        if (child == 0) {
            char byte = 0;
            if (!row.child_holds) {
                connection.client.Reset();
            }
            close(ready[0]);
            close(go[1]);
            (void)!write(ready[1], &byte, 1);
            (void)!read(go[0], &byte, 1);
            _exit(0);
        }
        close(ready[1]);
        close(go[0]);
        if (row.child_holds) {
            connection.client.Reset();
        }
        char byte = 0;
        ASSERT_EQ(read(ready[0], &byte, 1), 1);
        EXPECT_EQ(PeerHeldBy(connection.server.Get(), row.ask_child ? child : getpid()), row.held);
        close(go[1]);
        close(ready[0]);
        waitpid(child, nullptr, 0);
    }
}

}  // namespace
}  // namespace paagent
