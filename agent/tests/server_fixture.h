// Starts a Server on 127.0.0.1:0 with test RPCs and collects its log.
#ifndef PAAGENT_TESTS_SERVER_FIXTURE_H
#define PAAGENT_TESTS_SERVER_FIXTURE_H

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "tds/server.h"

namespace paagent::tds::testing {

inline const std::string kUser              = "agent";
inline const std::string kPassword          = "secret";
inline const std::string kSingleRpcUser     = "reporter";  // granted one RPC
inline const std::string kSingleRpcPassword = "once";
inline constexpr auto kWaitLimit            = std::chrono::seconds(10);

// Collects log lines; tests wait (bounded) for a line to appear.
class LogCapture {
public:
    void Add(std::string_view line);
    // The first line holding the fragment, once there is one; empty after kWaitLimit.
    std::string LineWith(const std::string &fragment);
    bool WaitFor(const std::string &fragment) { return !LineWith(fragment).empty(); }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> lines_;
};

// RPCs served by the fixture:
//   echo          replies nothing but success
//   fail          message 20001 and a failed command
//   misuse_reply  throws from the handler
class ServerTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    // Adjusts the server's configuration before it starts.
    virtual void Configure(ServerConfig &) {}

    std::uint16_t Port() const { return server_->Port(); }

    LogCapture log_;

private:
    std::unique_ptr<Server> server_;
};

}  // namespace paagent::tds::testing

#endif  // PAAGENT_TESTS_SERVER_FIXTURE_H
