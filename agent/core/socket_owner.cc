#include "core/socket_owner.h"

#include <arpa/inet.h>
#include <array>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <memory>
#include <netinet/in.h>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace paagent {

namespace {

constexpr std::size_t kMaxTreeProcesses = 1024;

// An address in IPv6 form, IPv4 ones mapped (::ffff:a.b.c.d): an IPv4 client of a dual-stack
// listener is seen mapped from one end and plain from the other.
using Address = std::array<unsigned char, 16>;

constexpr Address kMappedPrefix = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
constexpr Address kLoopback6    = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};

struct Endpoint {
    Address address{};
    std::uint16_t port = 0;

    bool operator==(const Endpoint &) const = default;
};

Endpoint Mapped(const unsigned char *v4, std::uint16_t port)
{
    Endpoint endpoint{kMappedPrefix, port};
    std::memcpy(&endpoint.address[12], v4, 4);
    return endpoint;
}

std::optional<Endpoint> EndpointOf(const sockaddr_storage &storage)
{
    if (storage.ss_family == AF_INET) {
        sockaddr_in v4{};
        std::memcpy(&v4, &storage, sizeof v4);
        return Mapped(reinterpret_cast<const unsigned char *>(&v4.sin_addr), ntohs(v4.sin_port));
    }
    if (storage.ss_family == AF_INET6) {
        sockaddr_in6 v6{};
        std::memcpy(&v6, &storage, sizeof v6);
        Endpoint endpoint{{}, ntohs(v6.sin6_port)};
        std::memcpy(endpoint.address.data(), &v6.sin6_addr, endpoint.address.size());
        return endpoint;
    }
    return std::nullopt;
}

bool Loopback(const Endpoint &endpoint)
{
    const bool mapped = std::memcmp(endpoint.address.data(), kMappedPrefix.data(), 12) == 0;
    return (mapped && endpoint.address[12] == 127) || endpoint.address == kLoopback6;
}

// "0100007F:1F90": the address as the kernel holds it, printed 32 bits at a time in this
// host's order, then the port.
std::optional<Endpoint> ParseProcEndpoint(std::string_view text)
{
    const std::size_t colon    = text.find(':');
    const std::string_view hex = text.substr(0, colon);
    if (colon == std::string_view::npos || (hex.size() != 8 && hex.size() != 32)) {
        return std::nullopt;
    }
    unsigned char raw[16];
    for (std::size_t word = 0; word < hex.size() / 8; ++word) {
        std::uint32_t value     = 0;
        const char *first       = hex.data() + word * 8;
        const auto [end, error] = std::from_chars(first, first + 8, value, 16);
        if (error != std::errc() || end != first + 8) {
            return std::nullopt;
        }
        std::memcpy(raw + word * 4, &value, 4);
    }
    const std::string_view port_text = text.substr(colon + 1);
    std::uint16_t port               = 0;
    const auto [end, error]          = std::from_chars(port_text.data(), port_text.data() + port_text.size(), port, 16);
    if (error != std::errc() || end != port_text.data() + port_text.size()) {
        return std::nullopt;
    }
    if (hex.size() == 8) {
        return Mapped(raw, port);
    }
    Endpoint endpoint{{}, port};
    std::memcpy(endpoint.address.data(), raw, endpoint.address.size());
    return endpoint;
}

// The inode of the TCP socket of this network namespace whose own end is local and whose other
// end is remote.
std::optional<ino_t> InodeOf(const Endpoint &local, const Endpoint &remote)
{
    for (const char *table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        std::ifstream file(table);
        std::string line;
        std::getline(file, line);  // the headings
        while (std::getline(file, line)) {
            std::istringstream fields(line);
            std::string slot, own, other, state, queues, timer, retransmits, uid, timeout;
            ino_t inode = 0;
            if (fields >> slot >> own >> other >> state >> queues >> timer >> retransmits >> uid >> timeout >> inode &&
                inode != 0 && ParseProcEndpoint(own) == local && ParseProcEndpoint(other) == remote) {
                return inode;
            }
        }
    }
    return std::nullopt;
}

// The names in a directory, none when it cannot be read (the process has gone, say).
std::vector<std::string> Names(const std::string &path)
{
    std::vector<std::string> names;
    const std::unique_ptr<DIR, int (*)(DIR *)> directory(opendir(path.c_str()), closedir);
    if (directory == nullptr) {
        return names;
    }
    while (const dirent *entry = readdir(directory.get())) {
        if (entry->d_name[0] != '.') {
            names.emplace_back(entry->d_name);
        }
    }
    return names;
}

// pid and its descendants, through the children each of their threads lists.
std::vector<std::string> Tree(pid_t pid)
{
    std::vector<std::string> tree = {std::to_string(pid)};
    for (std::size_t at = 0; at < tree.size() && tree.size() < kMaxTreeProcesses; ++at) {
        const std::string tasks = "/proc/" + tree[at] + "/task/";
        for (const std::string &task : Names(tasks)) {
            std::ifstream children(tasks + task + "/children");
            for (std::string child; tree.size() < kMaxTreeProcesses && children >> child;) {
                tree.push_back(child);
            }
        }
    }
    return tree;
}

bool Holds(const std::string &pid, ino_t inode)
{
    const std::string wanted = "socket:[" + std::to_string(inode) + "]";
    const std::string fds    = "/proc/" + pid + "/fd/";
    char target[64];
    for (const std::string &fd : Names(fds)) {
        const ssize_t length = readlink((fds + fd).c_str(), target, sizeof target);
        if (length > 0 && std::string_view(target, static_cast<std::size_t>(length)) == wanted) {
            return true;
        }
    }
    return false;
}

}  // namespace

bool PeerHeldBy(int socket, pid_t pid)
{
    sockaddr_storage peer{};
    sockaddr_storage own{};
    socklen_t peer_length = sizeof peer;
    socklen_t own_length  = sizeof own;
    if (getpeername(socket, reinterpret_cast<sockaddr *>(&peer), &peer_length) != 0 ||
        getsockname(socket, reinterpret_cast<sockaddr *>(&own), &own_length) != 0) {
        return false;
    }
    const auto client = EndpointOf(peer);
    const auto server = EndpointOf(own);
    if (!client || !server || !Loopback(*client)) {
        return false;
    }
    // The client's end lists the client as its own end and this agent as the other.
    const auto inode = InodeOf(*client, *server);
    if (!inode) {
        return false;
    }
    for (const std::string &member : Tree(pid)) {
        if (Holds(member, *inode)) {
            return true;
        }
    }
    return false;
}

}  // namespace paagent
