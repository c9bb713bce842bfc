#include "tds/session.h"

#include <algorithm>
#include <cctype>
#include <utility>

#include "tds/encrypted_login.h"
#include "tds/errors.h"
#include "tds/packet.h"
#include "tds/protocol.h"

namespace paagent::tds {
namespace {

// Lower case with whitespace runs collapsed, so spellings of the post-login query compare equal.
std::string normalized(std::string_view text)
{
    std::string out;
    for (char c : text) {
        bool space = std::isspace(static_cast<unsigned char>(c)) != 0;
        if (space && (out.empty() || out.back() == ' '))
            continue;
        out.push_back(space ? ' ' : static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
    }
    if (!out.empty() && out.back() == ' ')
        out.pop_back();
    return out;
}

bool is_type(const Message &message, PacketType type) { return message.type == static_cast<std::uint8_t>(type); }

constexpr std::string_view kTooManyFailures =
    "Login failed: too many failed logins from this address; try again later.";
constexpr std::string_view kNoSessionLeft = "Login failed: every session of this server is in use.";
constexpr std::string_view kClearPassword =
    "Login failed: this server accepts only encrypted passwords; set \"encryption = require\" for it in the "
    "client's freetds.conf.";
constexpr std::string_view kNoLoginKey = "Login failed: this server does not accept encrypted passwords.";

}  // namespace

Session::Session(AdmittedClient client, const SessionContext &context)
    : stream_(std::move(client.socket), context.stop), membership_(std::move(client.membership)),
      address_(std::move(client.address)), peer_(std::move(client.peer)), context_(context),
      login_deadline_(Clock::now() + context.config.login_timeout)
{
    info_.spid        = client.spid;
    info_.packet_size = kDefaultPacketSize;
}

void Session::run()
{
    try {
        if (log_in()) {
            serve_requests();
        }
    } catch (const ProtocolError &error) {
        log(LogLevel::Warning, "closing connection after malformed input: ", error.what());
    } catch (const std::exception &error) {
        log(LogLevel::Error, "closing connection after internal error: ", error.what());
    }
}

SendLimits Session::limits() const
{
    return {info_.packet_size, context_.config.max_request_bytes, context_.config.write_timeout};
}

SendOutcome Session::send(const TokenBuffer &reply)
{
    SendOutcome outcome = send_reply(stream_, reply, limits());
    if (outcome.io != IoResult::Ok) {
        log(LogLevel::Debug, "reply not delivered: ", to_string(outcome.io));
    } else if (outcome.cancelled) {
        log(LogLevel::Debug, "attention acknowledged, rest of the reply dropped");
    }
    return outcome;
}

bool Session::log_in()
{
    const ServerConfig &config = context_.config;
    Message message;
    IoResult r = read_message(stream_, message, config.max_request_bytes, login_deadline_);
    if (r != IoResult::Ok) {
        log(LogLevel::Debug, "no login: ", to_string(r));
        return false;
    }
    // FreeTDS in automatic version mode probes with TDS 7 first and falls back to TDS 5.0 on close.
    if (is_type(message, PacketType::Tds7Prelogin) || is_type(message, PacketType::Tds7Login)) {
        log(LogLevel::Debug, "closing TDS 7 connection attempt");
        return false;
    }
    if (!is_type(message, PacketType::Login)) {
        throw ProtocolError("first message has type " + hex_byte(message.type) + ", expected a login");
    }
    membership_.login_arrived();
    LoginRecord login      = parse_login(message.payload);
    std::size_t largest    = std::clamp(config.max_packet_size, kDefaultPacketSize, kMaxPacketSize);
    std::size_t negotiated = std::clamp(login.requested_packet_size, kDefaultPacketSize, largest);
    LoginReplyOptions options{config.product_name, config.server_name, negotiated};
    if (!obtain_password(login, options)) {
        return false;
    }
    LoginGrant grant = checked_login(login, options);
    if (grant == LoginGrant::Refused || !enter_pool(grant, login, options)) {
        return false;
    }
    // The login reply itself still travels in default-size packets.
    if (send(login_accepted_reply(login, options)).io != IoResult::Ok) {
        return false;
    }
    info_.user           = login.user;
    info_.client_host    = login.client_host;
    info_.client_process = login.client_process;
    info_.application    = login.application;
    info_.packet_size    = negotiated;
    single_rpc_          = grant == LoginGrant::SingleRpc;
    log(LogLevel::Info, "login accepted: user '", info_.user, "', host '", info_.client_host, "', process ",
        info_.client_process, ", application '", info_.application, "', packet size ", info_.packet_size,
        login.encrypted_password ? ", password encrypted" : ", password in clear", single_rpc_ ? ", for one RPC" : "");
    return true;
}

// Fills in the password of an encrypted login, or refuses a clear one where only encrypted ones
// are accepted. A refusal here has checked no password, so it costs the address no delay.
bool Session::obtain_password(LoginRecord &login, const LoginReplyOptions &options)
{
    const ServerConfig &config = context_.config;
    if (!login.encrypted_password) {
        if (!config.require_encrypted_login) {
            return true;
        }
        log(LogLevel::Info, "login refused for user '", login.user, "' from host '", login.client_host,
            "': its password came in clear");
        refuse_login(options, kClearPassword);
        return false;
    }
    if (!config.login_key) {
        log(LogLevel::Info, "login refused for user '", login.user, "': it asks to encrypt its password");
        refuse_login(options, kNoLoginKey);
        return false;
    }
    std::optional<std::string> password = decrypted_password(*config.login_key, login, options);
    if (!password) {
        return false;
    }
    login.password = std::move(*password);
    return true;
}

// Sends the public key with a fresh nonce and decrypts the client's answer; nothing when the
// client leaves, or when the answer was not encrypted for this nonce (a replayed login, say),
// which is refused.
std::optional<std::string> Session::decrypted_password(const LoginKey &key, const LoginRecord &login,
                                                       const LoginReplyOptions &options)
{
    std::string nonce = random_bytes(kNonceSize);
    if (send(password_key_message(key.public_pem(), nonce)).io != IoResult::Ok) {
        return std::nullopt;
    }
    Message answer;
    IoResult r = read_message(stream_, answer, context_.config.max_request_bytes, login_deadline_);
    if (r != IoResult::Ok) {
        log(LogLevel::Debug, "no encrypted password: ", to_string(r));
        return std::nullopt;
    }
    if (!is_type(answer, PacketType::Normal)) {
        throw ProtocolError("encrypted password in a message of type " + hex_byte(answer.type));
    }
    std::string ciphertext = encrypted_password(answer.payload);
    std::optional<std::string> plain =
        key.decrypt(std::span(reinterpret_cast<const std::uint8_t *>(ciphertext.data()), ciphertext.size()));
    std::optional<std::string> password = plain ? password_after_nonce(*plain, nonce) : std::nullopt;
    if (!password) {
        log(LogLevel::Warning, "login refused for user '", login.user, "' from host '", login.client_host,
            "': its encrypted password was not encrypted for this login (replayed or forged)");
        refuse_login(options, kLoginFailed);
    }
    return password;
}

// Checks the password in the address's turn; a refusal waits the delay its failure earned, which
// holds only this connection, still in the pool of those logging in.
LoginGrant Session::checked_login(const LoginRecord &login, const LoginReplyOptions &options)
{
    std::optional<LoginThrottle::Check> check = wait_for_turn(login, options);
    if (!check) {
        return LoginGrant::Refused;
    }
    const LoginCheck &decide = context_.config.check_login;
    LoginGrant grant         = decide ? decide(login.user, login.password) : LoginGrant::Refused;
    if (grant != LoginGrant::Refused) {
        return grant;
    }
    LoginThrottle::Failure failure = check->failed(Clock::now());
    log(LogLevel::Info, "login rejected for user '", login.user, "' from host '", login.client_host, "', application '",
        login.application, "': failure ", failure.count, " from ", address_, ", refused after ", failure.delay.count(),
        " ms");
    if (stream_.quiet_until(std::min(Clock::now() + failure.delay, login_deadline_))) {
        refuse_login(options, kLoginFailed);
    }
    return LoginGrant::Refused;
}

// Waits, watching the client, until its address may have a password checked; nothing when the
// client leaves or its turn would come after the login time-out. Refused unchecked, such logins
// cost the server little and tell the client nothing; logging them only in detail keeps a flood
// of them out of the log.
std::optional<LoginThrottle::Check> Session::wait_for_turn(const LoginRecord &login, const LoginReplyOptions &options)
{
    for (;;) {
        LoginThrottle::Turn turn = context_.throttle.begin_check(address_, Clock::now(), login_deadline_);
        if (auto *check = std::get_if<LoginThrottle::Check>(&turn)) {
            return std::move(*check);
        }
        if (std::holds_alternative<LoginThrottle::TooLate>(turn)) {
            log(LogLevel::Debug, "login refused unchecked for user '", login.user, "': the turn of ", address_,
                " to try a password comes after the login time-out");
            refuse_login(options, kTooManyFailures);
            return std::nullopt;
        }
        if (!stream_.quiet_until(std::get<LoginThrottle::Wait>(turn).until)) {
            log(LogLevel::Debug, "no login: the client left or spoke while its password waited");
            return std::nullopt;
        }
    }
}

bool Session::enter_pool(LoginGrant grant, const LoginRecord &login, const LoginReplyOptions &options)
{
    Pool pool = grant == LoginGrant::SingleRpc ? Pool::SingleRpc : Pool::Sessions;
    std::optional<Displaced> displaced;
    if (!membership_.move_to(pool, displaced)) {
        log(LogLevel::Warning, "login refused for user '", login.user, "': all ", context_.config.max_sessions,
            " sessions are in use");
        refuse_login(options, kNoSessionLeft);
        return false;
    }
    if (displaced) {
        log(LogLevel::Info, "closed connection ", displaced->spid, " (", displaced->peer,
            ") to make room: the pool of ", context_.config.max_single_rpc, " single-RPC sessions is full");
    }
    return true;
}

void Session::refuse_login(const LoginReplyOptions &options, std::string_view reason)
{
    if (send(login_rejected_reply(options, reason)).io == IoResult::Ok) {
        answer_logout_after_rejection();
    }
}

// FreeTDS sends a LOGOUT after a rejected login and waits for an answer before giving up.
void Session::answer_logout_after_rejection()
{
    Message message;
    if (read_message(stream_, message, context_.config.max_request_bytes, login_deadline_) != IoResult::Ok ||
        !is_type(message, PacketType::Normal)) {
        return;
    }
    if (std::holds_alternative<LogoutRequest>(decode_request(message.payload))) {
        answer_logout();
    }
}

void Session::answer_logout()
{
    TokenBuffer done;
    put_done(done, DoneToken::Done, 0, 0);
    send(done);
}

// A session stays as long as its client likes; a single-RPC session ends with its RPC's reply,
// and must send that RPC within the login time-out.
void Session::serve_requests()
{
    Deadline deadline = single_rpc_ ? deadline_after(context_.config.login_timeout) : std::nullopt;
    for (;;) {
        Message message;
        IoResult r = read_message(stream_, message, context_.config.max_request_bytes, deadline);
        if (r != IoResult::Ok) {
            log(LogLevel::Debug, "connection ended: ", to_string(r));
            return;
        }
        if (is_type(message, PacketType::Attention)) {
            // The reply was complete before the attention arrived; the client still awaits the ack.
            if (send_attention_ack(stream_, limits()) != IoResult::Ok)
                return;
            log(LogLevel::Debug, "attention acknowledged after a complete reply");
            continue;
        }
        if (!is_type(message, PacketType::Normal)) {
            throw ProtocolError("request of packet type " + hex_byte(message.type));
        }
        ClientRequest request;
        try {
            request = decode_request(message.payload);
        } catch (const UnsupportedRequest &error) {
            log(LogLevel::Info, "request refused: ", error.what());
            if (send(command_failed(server_error::UnsupportedRequest, error.what(), "")).io != IoResult::Ok)
                return;
            continue;
        }
        if (std::holds_alternative<LogoutRequest>(request)) {
            answer_logout();
            log(LogLevel::Info, "logged out");
            return;
        }
        std::function<void()> after_delivery;
        if (send(answer(request, after_delivery)).io != IoResult::Ok)
            return;
        if (after_delivery)
            after_delivery();
        if (single_rpc_ && std::holds_alternative<RpcRequest>(request)) {
            log(LogLevel::Debug, "single-RPC session ends after its RPC");
            return;
        }
    }
}

TokenBuffer Session::answer(const ClientRequest &request, std::function<void()> &after_delivery)
{
    if (const auto *rpc = std::get_if<RpcRequest>(&request)) {
        return answer_rpc(*rpc, after_delivery);
    }
    return answer_language(std::get<LanguageRequest>(request));
}

// FreeTDS sends "select @@spid" inside ct_connect and needs an answer; a bare DONE satisfies the
// variants of that batch (text size prefix, database suffix, newer probes). Nothing else is served.
TokenBuffer Session::answer_language(const LanguageRequest &request)
{
    std::string text = normalized(request.text);
    TokenBuffer reply;
    if (text == "select @@spid") {
        Column spid = Column::integer("", false);
        put_rowfmt(reply, std::span(&spid, 1));
        Value value(static_cast<std::int64_t>(info_.spid));
        put_row(reply, std::span(&spid, 1), std::span(&value, 1));
        put_done(reply, DoneToken::Done, done::Count, 1);
    } else if (text.find("@@spid") != std::string::npos) {
        put_done(reply, DoneToken::Done, 0, 0);
    } else {
        log(LogLevel::Info, "language command refused: ", text.substr(0, 80));
        return command_failed(server_error::LanguageNotSupported, "Language commands are not supported; call an RPC.",
                              "");
    }
    return reply;
}

TokenBuffer Session::answer_rpc(const RpcRequest &request, std::function<void()> &after_delivery)
{
    auto handler = context_.rpcs.find(request.name);
    if (handler == context_.rpcs.end()) {
        log(LogLevel::Info, "unknown RPC '", request.name, "'");
        return command_failed(server_error::UnknownRpc, "Stored procedure '" + request.name + "' not found.", "");
    }
    log(LogLevel::Debug, "RPC '", request.name, "' with ", request.params.size(), " parameters");
    Reply reply(context_.config.server_name, request.name);
    try {
        handler->second(info_, request, reply);
        after_delivery = reply.take_after_delivery();
        return std::move(reply).finish();
    } catch (const std::exception &error) {
        log(LogLevel::Error, "RPC '", request.name, "' handler failed: ", error.what());
    } catch (...) {
        log(LogLevel::Error, "RPC '", request.name, "' handler failed with a non-standard exception");
    }
    return command_failed(server_error::HandlerFailed, "RPC " + request.name + " failed: internal error.",
                          request.name);
}

TokenBuffer Session::command_failed(std::int32_t number, const std::string &text, const std::string &procedure) const
{
    TokenBuffer reply;
    ServerMessage message = ServerMessage::error(number, text);
    message.procedure     = procedure;
    put_eed(reply, message, context_.config.server_name);
    put_done(reply, DoneToken::Done, done::Error, 0);
    return reply;
}

}  // namespace paagent::tds
