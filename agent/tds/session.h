// One client connection: login, then requests until logout, end of stream or server stop.
#ifndef PAAGENT_TDS_SESSION_H
#define PAAGENT_TDS_SESSION_H

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "tds/connection_pools.h"
#include "tds/login.h"
#include "tds/login_throttle.h"
#include "tds/reply_sender.h"
#include "tds/request_decoder.h"
#include "tds/server_config.h"
#include "tds/socket.h"

namespace paagent::tds {

struct SessionContext {
    const ServerConfig &config;
    const RpcTable &rpcs;
    const Logger &log;
    const StopSignal &stop;
    LoginThrottle &throttle;
};

// An accepted client: its socket, its place in the pools (given up before the socket closes:
// members are destroyed in reverse order) and its address.
struct AdmittedClient {
    FileDescriptor socket;
    PoolMembership membership;
    std::uint32_t spid;
    std::string address;  // IPv4 address, which failed logins are counted by
    std::string peer;     // "address:port"
};

class Session {
public:
    Session(AdmittedClient client, const SessionContext &context);

    // Runs the whole conversation; never throws. A protocol error closes this connection only.
    void Run();

private:
    using Clock = LoginThrottle::Clock;

    bool LogIn();
    // The client's answer to the login key: its encrypted password, and the nonce it was sent.
    struct EncryptedAnswer {
        std::string ciphertext;
        std::string nonce;
    };

    bool ObtainPassword(const LoginRecord &login, const LoginReplyOptions &options,
                        std::optional<EncryptedAnswer> &encrypted);
    std::optional<EncryptedAnswer> ReadEncryptedAnswer(const LoginKey &key);
    std::optional<std::string> DecryptedPassword(const EncryptedAnswer &encrypted) const;
    LoginGrant CheckedLogin(LoginRecord &login, const std::optional<EncryptedAnswer> &encrypted,
                            const LoginReplyOptions &options);
    std::optional<LoginThrottle::Check> WaitForTurn(const LoginRecord &login, const LoginReplyOptions &options);
    bool EnterPool(LoginGrant grant, const LoginRecord &login, const LoginReplyOptions &options);
    void RefuseLogin(const LoginReplyOptions &options, std::string_view reason);
    void AnswerLogoutAfterRejection();
    void AnswerLogout();
    void ServeRequests();

    // after_delivery receives what the handler asked to run once the reply is sent.
    TokenBuffer Answer(const ClientRequest &request, std::function<void()> &after_delivery);
    TokenBuffer AnswerLanguage(const LanguageRequest &request);
    TokenBuffer AnswerRpc(const RpcRequest &request, std::function<void()> &after_delivery);
    TokenBuffer CommandFailed(std::int32_t number, const std::string &text, const std::string &procedure) const;

    SendOutcome Send(const TokenBuffer &reply);
    SendLimits Limits() const;

    template <typename... Parts>
    void Log(LogLevel level, const Parts &...parts) const
    {
        context_.log(level, "connection ", info_.spid, " (", peer_, "): ", parts...);
    }

    Stream stream_;
    PoolMembership membership_;  // after stream_, so that it is given up before the socket closes
    std::string address_;
    std::string peer_;
    const SessionContext &context_;
    SessionInfo info_;
    Clock::time_point login_deadline_;
    bool single_rpc_ = false;
};

}  // namespace paagent::tds

#endif  // PAAGENT_TDS_SESSION_H
