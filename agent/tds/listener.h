// Listening TCP socket on an IPv4 address, and accepting clients from it.
#ifndef PAAGENT_TDS_LISTENER_H
#define PAAGENT_TDS_LISTENER_H

#include <cstdint>
#include <string>

#include "tds/socket.h"

namespace paagent::tds {

// Throws std::system_error when the socket cannot be bound, std::invalid_argument for a bad address.
FileDescriptor ListenTcp(const std::string &address, std::uint16_t port);
std::uint16_t BoundPort(const FileDescriptor &listener);

// Whether an IPv4 address is in 127.0.0.0/8, reachable from this host only.
bool IsLoopbackAddress(const std::string &address);

struct AcceptedClient {
    FileDescriptor socket;
    std::string address;  // the client's IPv4 address
    std::string peer;     // "address:port"
    int error = 0;        // errno when accepting failed
};

// Accepts one pending client with TCP_NODELAY set; the listener is non-blocking, so an empty
// queue gives EAGAIN.
AcceptedClient AcceptClient(const FileDescriptor &listener);

}  // namespace paagent::tds

#endif  // PAAGENT_TDS_LISTENER_H
