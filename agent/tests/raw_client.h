// A plain TCP client for the server tests: arbitrary bytes, a TDS 5.0 login built field by
// field or an RPC without parameters, from a chosen loopback source address. Every read waits
// at most kReadLimit.
#ifndef PAAGENT_TESTS_RAW_CLIENT_H
#define PAAGENT_TESTS_RAW_CLIENT_H

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "tds/socket.h"

namespace paagent::tds::testing {

inline constexpr auto kReadLimit = std::chrono::seconds(10);

// The fields of a login record as FreeTDS fills them.
struct LoginFields {
    std::string user;
    std::string password;
    std::string host        = "raw-host";
    std::string application = "raw-tests";
    std::string packet_size = "512";
    bool encrypt            = false;  // asks to send the password encrypted, leaving it out
};

// The payload in packets of the type, at most 512 bytes each.
std::vector<std::uint8_t> Packets(std::uint8_t type, const std::vector<std::uint8_t> &payload);
// The login record, and the login message (type 0x02) in 512-byte packets, as FreeTDS 1.3.17 sends them.
std::vector<std::uint8_t> LoginBytes(const LoginFields &fields);
inline std::vector<std::uint8_t> LoginMessage(const LoginFields &fields) { return Packets(0x02, LoginBytes(fields)); }
// An RPC without parameters, in one request message.
std::vector<std::uint8_t> RpcMessage(const std::string &rpc);
// The answer to the server's login key: the security message 0x1f with `ciphertext` as its
// encrypted password.
std::vector<std::uint8_t> EncryptedPasswordMessage(const std::string &ciphertext);

// What the server answered: whether it answered at all, whether it acknowledged a login, and
// its first message if any.
struct Answer {
    bool replied        = false;
    bool accepted       = false;
    std::int32_t number = 0;
    std::string message;
};

class RawClient {
public:
    // Connects to 127.0.0.1:port from `source` (any 127.0.0.0/8 address on Linux).
    explicit RawClient(std::uint16_t port, const std::string &source = "127.0.0.1");

    // Errors are ignored: the server may close while the bytes are still going out.
    RawClient &Send(const std::vector<std::uint8_t> &bytes);
    // The next reply message's payload; empty when none came.
    std::vector<std::uint8_t> Reply();
    // The answer to a login or an RPC already sent.
    Answer ReadAnswer();
    Answer LogIn(const LoginFields &fields) { return Send(LoginMessage(fields)).ReadAnswer(); }
    Answer Call(const std::string &rpc) { return Send(RpcMessage(rpc)).ReadAnswer(); }
    // True when the server closes the connection.
    bool ClosedByServer();
    // The socket, for waiting on many clients at once.
    int Descriptor() const { return socket_.Get(); }

private:
    bool ReadExact(std::uint8_t *out, std::size_t size, std::chrono::steady_clock::time_point deadline);

    FileDescriptor socket_;
};

}  // namespace paagent::tds::testing

#endif  // PAAGENT_TESTS_RAW_CLIENT_H
