#include "support/scripted_relay.h"

#include <arpa/inet.h>
#include <fstream>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr size_t kHeaderBytes       = 8;
constexpr unsigned char kRpcToken   = 0xE6;
constexpr unsigned char kLastPacket = 0x01;

}  // namespace

int ListenOnFreePort(int &port)
{
    int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family      = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size          = sizeof address;
    if (listener < 0 || bind(listener, reinterpret_cast<sockaddr *>(&address), size) != 0 ||
        listen(listener, 16) != 0 || getsockname(listener, reinterpret_cast<sockaddr *>(&address), &size) != 0) {
        throw std::runtime_error("the relay cannot listen");
    }
    port = ntohs(address.sin_port);
    return listener;
}

int ConnectTo(int port)
{
    int connection = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family      = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port        = htons(static_cast<uint16_t>(port));
    if (connect(connection, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        close(connection);
        return -1;
    }
    return connection;
}

namespace {

bool SendAll(int socket, const std::string &bytes)
{
    for (size_t sent = 0; sent < bytes.size();) {
        ssize_t written = send(socket, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (written <= 0) {
            return false;
        }
        sent += static_cast<size_t>(written);
    }
    return true;
}

// Splits the client's stream into TDS packets to find the first RPC request: a message whose
// first token is the RPC token. A client sends one request and waits for its reply, so the
// bytes that hold the start of that request hold nothing else.
class RequestWatch {
public:
    // Takes the next bytes the client sent; true when the first RPC request begins in them.
    bool Feed(const char *data, size_t size)
    {
        for (size_t i = 0; i < size; ++i) {
            packet_ += data[i];
            if (packet_.size() == kHeaderBytes + 1 && message_start_ &&
                static_cast<unsigned char>(data[i]) == kRpcToken) {
                return true;
            }
            if (packet_.size() >= 4 && packet_.size() == PacketLength()) {
                message_start_ = (static_cast<unsigned char>(packet_[1]) & kLastPacket) != 0;
                packet_.clear();
            }
        }
        return false;
    }

private:
    size_t PacketLength() const
    {
        return (static_cast<size_t>(static_cast<unsigned char>(packet_[2])) << 8) |
               static_cast<unsigned char>(packet_[3]);
    }

    std::string packet_;  // the packet read so far
    bool message_start_ = true;
};

}  // namespace

std::string TdsReplyPacket(const std::string &body, bool last)
{
    size_t length = kHeaderBytes + body.size();
    std::string packet{'\x04',
                       static_cast<char>(last ? kLastPacket : 0),
                       static_cast<char>(length >> 8),
                       static_cast<char>(length & 0xFF),
                       '\0',
                       '\0',
                       '\0',
                       '\0'};
    return packet + body;
}

ScriptedRelay::ScriptedRelay(const AgentProcess &agent, Script script)
    : script_(std::move(script)), agent_port_(agent.Port())
{
    static std::atomic<int> relays{0};
    name_     = agent.Name() + "_RELAY" + std::to_string(++relays);
    int port  = 0;
    listener_ = ListenOnFreePort(port);
    std::ofstream(FamilyHome() / "interfaces", std::ios::app)
        << name_ << "\n\tquery tcp 5.0 127.0.0.1 " << port << "\n";
    acceptor_ = std::thread([this] { Accept(); });
}

ScriptedRelay::~ScriptedRelay()
{
    stopping_ = true;
    shutdown(listener_, SHUT_RDWR);
    acceptor_.join();
    {
        std::lock_guard lock(mutex_);
        for (int socket : sockets_) {
            shutdown(socket, SHUT_RDWR);
        }
    }
    for (std::thread &thread : threads_) {
        thread.join();
    }
    for (int socket : sockets_) {
        close(socket);
    }
    close(listener_);
}

void ScriptedRelay::Accept()
{
    for (;;) {
        int client = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0 || stopping_) {
            if (client >= 0) {
                close(client);
            }
            return;
        }
        std::lock_guard lock(mutex_);
        sockets_.push_back(client);
        threads_.emplace_back([this, client] { Serve(client); });
    }
}

// Relays between the client and a connection of its own to the agent until the script's step,
// then plays the script and reads what the client sends until it goes.
void ScriptedRelay::Serve(int client)
{
    bool scripted = !recovered_;
    int agent     = -1;
    if (!scripted || script_.step != Step::kLogin) {
        agent = ConnectTo(agent_port_);
        std::lock_guard lock(mutex_);
        sockets_.push_back(agent);
    }
    RequestWatch watch;
    bool playing = scripted && script_.step == Step::kLogin;
    if (playing && !SendAll(client, script_.reply)) {
        return;
    }
    char buffer[16384];
    for (;;) {
        if (playing && !script_.repeat.empty() && !SendAll(client, script_.repeat)) {
            return;
        }
        pollfd polled[2] = {{client, POLLIN, 0}, {playing ? -1 : agent, POLLIN, 0}};
        if (poll(polled, 2, playing && !script_.repeat.empty() ? 0 : -1) < 0) {
            return;
        }
        if ((polled[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
            ssize_t got = recv(client, buffer, sizeof buffer, 0);
            if (got <= 0) {
                return;
            }
            if (scripted && !playing && watch.Feed(buffer, static_cast<size_t>(got))) {
                if (script_.cut_first && !cut_.exchange(true)) {
                    shutdown(client, SHUT_RDWR);
                    return;
                }
                playing = true;
                if (!SendAll(client, script_.reply)) {
                    return;
                }
            } else if (!playing && !SendAll(agent, std::string(buffer, static_cast<size_t>(got)))) {
                return;
            }
        }
        if (!playing && (polled[1].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
            ssize_t got = recv(agent, buffer, sizeof buffer, 0);
            if (got <= 0 || !SendAll(client, std::string(buffer, static_cast<size_t>(got)))) {
                return;
            }
        }
    }
}
