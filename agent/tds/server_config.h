// What an embedder configures: address, limits, names, the login check, handlers and logging.
#ifndef PAAGENT_TDS_SERVER_CONFIG_H
#define PAAGENT_TDS_SERVER_CONFIG_H

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>

#include "tds/log.h"
#include "tds/login_key.h"
#include "tds/reply.h"
#include "tds/request.h"

namespace paagent::tds {

// What a login is granted: nothing, a session that lasts until the client leaves, or a session
// that ends once its one RPC is answered (for clients that only report something).
enum class LoginGrant {
    kRefused,
    kSession,
    kSingleRpc
};

// Decides a login. Called on the connection's thread, possibly concurrently.
using LoginCheck = std::function<LoginGrant(std::string_view user, std::string_view password)>;

// Serves one RPC by filling `reply`. Called on the connection's thread, possibly concurrently with
// other connections. An exception fails the command with a generic message and is logged.
using RpcHandler = std::function<void(const SessionInfo &session, const RpcRequest &request, Reply &reply)>;

using RpcTable = std::map<std::string, RpcHandler, std::less<>>;

// How failed logins slow down further logins from the same source address: the delay starts at
// `first`, doubles with each failure up to `longest`, and is forgotten once the address has had
// no failure for `forget_after`.
struct LoginDelays {
    std::chrono::milliseconds first{100};
    std::chrono::milliseconds longest{3'200};
    std::chrono::milliseconds forget_after{60'000};
};

struct ServerConfig {
    std::string address           = "127.0.0.1";  // IPv4 address to listen on
    std::uint16_t port            = 0;            // 0 picks a free port; see Server::port()
    std::string server_name       = "PASRV";      // server name in messages
    std::string product_name      = "PA-Server";  // name in the login acknowledgement
    std::size_t max_packet_size   = 4096;         // largest packet size granted to a client
    std::size_t max_request_bytes = 1 << 20;      // a larger request closes the connection
    // Connections that have not logged in yet. When they fill their pool, one of them is closed to
    // make room for each new one (see ConnectionPools), so that idle connections cannot keep a
    // client out.
    std::size_t max_logging_in = 32;
    // Sessions granted LoginGrant::Session. They keep their slots however long they stay idle;
    // a login beyond the limit is refused.
    std::size_t max_sessions = 64;
    // Sessions granted LoginGrant::SingleRpc. When they fill their pool, the oldest is closed to
    // make room for each new one.
    std::size_t max_single_rpc = 8;
    // How long a connection may take from being accepted to its login's answer, and how long a
    // single-RPC session may take from its login to its RPC.
    std::chrono::milliseconds login_timeout{5'000};
    std::chrono::milliseconds write_timeout{60'000};
    LoginDelays login_delays;
    LoginCheck check_login;  // unset: every login is rejected
    // The key pair of logins whose password comes encrypted; unset: such logins are refused.
    std::shared_ptr<const LoginKey> login_key;
    // Whether a login whose password comes in clear is refused.
    bool require_encrypted_login = false;
    LogHook log;
};

// Message numbers of the errors the server itself raises (severity 16).
namespace server_error {
inline constexpr std::int32_t kUnknownRpc           = 2812;
inline constexpr std::int32_t kLanguageNotSupported = 18001;
inline constexpr std::int32_t kUnsupportedRequest   = 18002;
inline constexpr std::int32_t kHandlerFailed        = 18003;
}  // namespace server_error

}  // namespace paagent::tds

#endif  // PAAGENT_TDS_SERVER_CONFIG_H
