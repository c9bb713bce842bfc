// A plain TCP client for the server tests: arbitrary bytes, a TDS 5.0 login built field by
// field or an RPC without parameters, from a chosen loopback source address.
#ifndef PAAGENT_TESTS_RAW_CLIENT_H
#define PAAGENT_TESTS_RAW_CLIENT_H

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "tds/socket.h"

namespace paagent::tds::testing {

// The fields of a login record as FreeTDS fills them.
struct LoginFields {
    std::string user;
    std::string password;
    std::string host        = "raw-host";
    std::string application = "raw-tests";
    std::string packet_size = "512";
    bool encrypt            = false;  // asks to send the password encrypted, leaving it out
};

// The login record, and the login message (type 0x02) in 512-byte packets, as FreeTDS 1.3.17 sends them.
std::vector<std::uint8_t> login_record(const LoginFields &fields);
std::vector<std::uint8_t> login_message(const LoginFields &fields);

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

    bool connected() const { return connected_; }
    int descriptor() const { return socket_.get(); }

    // Errors are ignored: the server may close while the bytes are still going out.
    void send(const std::vector<std::uint8_t> &bytes);

    // Sends a login and reads the answer, waiting at most `limit`; not accepted and no message
    // when the connection ends or the limit passes first.
    Answer log_in(const LoginFields &fields, std::chrono::milliseconds limit);
    // Reads the answer to a login already sent, as log_in does.
    Answer login_answer(std::chrono::milliseconds limit);
    // Sends an RPC without parameters and reads its answer, as log_in does.
    Answer call(const std::string &rpc, std::chrono::milliseconds limit);
    // The next reply message's payload; empty when none came within `limit`.
    std::vector<std::uint8_t> reply(std::chrono::milliseconds limit);

    // True when the server closes the connection within `limit`.
    bool closed_by_server(std::chrono::milliseconds limit);

private:
    // Reads one reply message (packets up to the last-packet bit) within the deadline.
    bool read_message(std::vector<std::uint8_t> &payload, std::chrono::steady_clock::time_point deadline);
    bool read_exact(std::uint8_t *out, std::size_t size, std::chrono::steady_clock::time_point deadline);

    FileDescriptor socket_;
    bool connected_ = false;
};

}  // namespace paagent::tds::testing

#endif  // PAAGENT_TESTS_RAW_CLIENT_H
