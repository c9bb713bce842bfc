// Starts a Server on 127.0.0.1:0 with test RPCs and makes FreeTDS find it by name.
#ifndef PAAGENT_TESTS_SERVER_FIXTURE_H
#define PAAGENT_TESTS_SERVER_FIXTURE_H

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "tds/server.h"

namespace paagent::tds::testing {

inline const std::string kServerName            = "PATDSTEST";
inline const std::string kAutoVersionServerName = "PATDSAUTO";  // same server, TDS version left to FreeTDS
inline const std::string kUser                  = "agent";
inline const std::string kPassword              = "secret";
inline const std::string kLongPassword          = "a-password-much-longer-than-thirty-bytes";
inline const std::string kSingleRpcUser         = "reporter";  // granted one RPC
inline const std::string kSingleRpcPassword     = "once";
inline constexpr auto kWaitLimit                = std::chrono::seconds(10);
inline constexpr int kManyRows                  = 20000;

// Collects log lines; tests wait (bounded) for a line to appear.
class LogCapture {
public:
    void add(std::string_view line);
    bool wait_for(const std::string &fragment);
    std::vector<std::string> lines();

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> lines_;
};

// RPCs served by the fixture:
//   echo          records its request and session, replies nothing but success
//   list_rows     two rows of (pid int, state int, name varchar(30), cmdline longchar(8192))
//   fail          message 20001 and a failed command
//   misuse_reply  throws from the handler
//   many_rows     kManyRows rows (for cancelling)
//   wait_for_peer succeeds once peer_signal has been called (bounded wait), fails otherwise
//   peer_signal   releases wait_for_peer
class ServerTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    // Adjusts the server's configuration before it starts.
    virtual void configure(ServerConfig &) {}

    std::optional<RpcRequest> last_echo();
    std::optional<SessionInfo> last_session();
    std::uint16_t port() const { return server_->port(); }

    LogCapture log_;

private:
    void register_rpcs();

    std::unique_ptr<Server> server_;
    std::mutex mutex_;
    std::condition_variable peer_signalled_;
    bool peer_ready_ = false;
    std::optional<RpcRequest> echo_;
    std::optional<SessionInfo> session_;
};

}  // namespace paagent::tds::testing

#endif  // PAAGENT_TESTS_SERVER_FIXTURE_H
