// A TCP relay for the tests: accepts clients one after the other on 127.0.0.1, forwards each
// one's stream to a server port and back, and records every byte that went each way.
#ifndef PAAGENT_TESTS_RELAY_H
#define PAAGENT_TESTS_RELAY_H

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "tds/socket.h"

namespace paagent::tds::testing {

struct Recording {
    std::vector<std::uint8_t> from_client;
    std::vector<std::uint8_t> from_server;
};

class Relay {
public:
    explicit Relay(std::uint16_t server_port);
    ~Relay();
    Relay(const Relay &)            = delete;
    Relay &operator=(const Relay &) = delete;

    std::uint16_t port() const { return port_; }

    // What went each way, once as many connections as `connections` have ended or `limit` has
    // passed (then the test fails on what is missing).
    Recording recording(int connections, std::chrono::milliseconds limit);

private:
    void run();
    void forward(FileDescriptor client);

    std::uint16_t server_port_;
    FileDescriptor listener_;
    FileDescriptor stop_;  // eventfd raised by the destructor
    std::uint16_t port_ = 0;
    std::mutex mutex_;
    std::condition_variable ended_;
    Recording recorded_;
    int connections_ended_ = 0;
    std::thread thread_;
};

// Splits a client's recorded stream into its messages, each with its packet headers.
std::vector<std::vector<std::uint8_t>> split_messages(const std::vector<std::uint8_t> &stream);

}  // namespace paagent::tds::testing

#endif  // PAAGENT_TESTS_RELAY_H
