#include "tds/session.h"

#include <algorithm>
#include <cctype>
#include <utility>

#include "tds/encrypted_login.h"
#include "tds/errors.h"
#include "tds/packet.h"
#include "tds/protocol.h"
#include "tds/request_client.h"

namespace paagent::tds {
namespace {

// Lower case with whitespace runs collapsed, so spellings of the post-login query compare equal.
std::string Normalized(std::string_view text)
{
    std::string out;
    for (char c : text) {
        bool space = std::isspace(static_cast<unsigned char>(c)) != 0;
        if (space && (out.empty() || out.back() == ' ')) {
            continue;
        }
        out.push_back(space ? ' ' : static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
    }
    if (!out.empty() && out.back() == ' ') {
        out.pop_back();
    }
    return out;
}

bool IsType(const Message &message, PacketType type) { return message.type == static_cast<std::uint8_t>(type); }

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
    info_.address     = address_;
    info_.packet_size = kDefaultPacketSize;
}

void Session::Run()
{
    try {
        if (LogIn()) {
            ServeRequests();
        }
    } catch (const ProtocolError &error) {
        Log(LogLevel::kWarning, "closing connection after malformed input: ", error.what());
    } catch (const std::exception &error) {
        Log(LogLevel::kError, "closing connection after internal error: ", error.what());
    }
}

SendLimits Session::Limits() const
{
    return {info_.packet_size, context_.config.max_request_bytes, context_.config.write_timeout};
}

SendOutcome Session::Send(const TokenBuffer &reply)
{
    SendOutcome outcome = SendReply(stream_, reply, Limits());
    if (outcome.io != IoResult::kOk) {
        Log(LogLevel::kDebug, "reply not delivered: ", ToString(outcome.io));
    } else if (outcome.cancelled) {
        Log(LogLevel::kDebug, "attention acknowledged, rest of the reply dropped");
    }
    return outcome;
}

bool Session::LogIn()
{
    const ServerConfig &config = context_.config;
    Message message;
    IoResult r = ReadMessage(stream_, message, config.max_request_bytes, login_deadline_);
    if (r != IoResult::kOk) {
        Log(LogLevel::kDebug, "no login: ", ToString(r));
        return false;
    }
    // FreeTDS in automatic version mode probes with TDS 7 first and falls back to TDS 5.0 on close.
    if (IsType(message, PacketType::kTds7Prelogin) || IsType(message, PacketType::kTds7Login)) {
        Log(LogLevel::kDebug, "closing TDS 7 connection attempt");
        return false;
    }
    if (!IsType(message, PacketType::kLogin)) {
        throw ProtocolError("first message has type " + HexByte(message.type) + ", expected a login");
    }
    membership_.LoginArrived();
    LoginRecord login      = ParseLogin(message.payload);
    std::size_t largest    = std::clamp(config.max_packet_size, kDefaultPacketSize, kMaxPacketSize);
    std::size_t negotiated = std::clamp(login.requested_packet_size, kDefaultPacketSize, largest);
    LoginReplyOptions options{config.product_name, config.server_name, negotiated};
    std::optional<EncryptedAnswer> encrypted;
    if (!ObtainPassword(login, options, encrypted)) {
        return false;
    }
    LoginGrant grant = CheckedLogin(login, encrypted, options);
    if (grant == LoginGrant::kRefused || !EnterPool(grant, login, options)) {
        return false;
    }
    // The login reply itself still travels in default-size packets.
    if (Send(LoginAcceptedReply(login, options)).io != IoResult::kOk) {
        return false;
    }
    info_.user           = login.user;
    info_.client_host    = login.client_host;
    info_.client_process = login.client_process;
    info_.application    = login.application;
    info_.packet_size    = negotiated;
    single_rpc_          = grant == LoginGrant::kSingleRpc;
    Log(LogLevel::kInfo, "login accepted: user '", info_.user, "', host '", info_.client_host, "', process ",
        info_.client_process, ", application '", info_.application, "', packet size ", info_.packet_size,
        login.encrypted_password ? ", password encrypted" : ", password in clear", single_rpc_ ? ", for one RPC" : "");
    return true;
}

// Reads the encrypted answer of a login that asks to encrypt its password, or refuses a clear
// one where only encrypted ones are accepted. A refusal here has checked no password, so it costs
// the address no delay.
bool Session::ObtainPassword(const LoginRecord &login, const LoginReplyOptions &options,
                             std::optional<EncryptedAnswer> &encrypted)
{
    const ServerConfig &config = context_.config;
    if (!login.encrypted_password) {
        if (!config.require_encrypted_login) {
            return true;
        }
        Log(LogLevel::kInfo, "login refused for user '", login.user, "' from host '", login.client_host,
            "': its password came in clear");
        RefuseLogin(options, kClearPassword);
        return false;
    }
    if (!config.login_key) {
        Log(LogLevel::kInfo, "login refused for user '", login.user, "': it asks to encrypt its password");
        RefuseLogin(options, kNoLoginKey);
        return false;
    }
    encrypted = ReadEncryptedAnswer(*config.login_key);
    return encrypted.has_value();
}

// Sends the public key with a fresh nonce and reads the client's answer; nothing when the client
// leaves.
std::optional<Session::EncryptedAnswer> Session::ReadEncryptedAnswer(const LoginKey &key)
{
    std::string nonce = RandomBytes(kNonceSize);
    if (Send(PasswordKeyMessage(key.PublicPem(), nonce)).io != IoResult::kOk) {
        return std::nullopt;
    }
    Message answer;
    IoResult r = ReadMessage(stream_, answer, context_.config.max_request_bytes, login_deadline_);
    if (r != IoResult::kOk) {
        Log(LogLevel::kDebug, "no encrypted password: ", ToString(r));
        return std::nullopt;
    }
    if (!IsType(answer, PacketType::kNormal)) {
        throw ProtocolError("encrypted password in a message of type " + HexByte(answer.type));
    }
    return EncryptedAnswer{EncryptedPassword(answer.payload), std::move(nonce)};
}

// The password of the encrypted answer; nothing when it was not encrypted for this login's nonce
// (a replayed or forged answer).
std::optional<std::string> Session::DecryptedPassword(const EncryptedAnswer &encrypted) const
{
    const std::string &ciphertext    = encrypted.ciphertext;
    std::optional<std::string> plain = context_.config.login_key->Decrypt(
        std::span(reinterpret_cast<const std::uint8_t *>(ciphertext.data()), ciphertext.size()));
    return plain ? PasswordAfterNonce(*plain, encrypted.nonce) : std::nullopt;
}

// Decrypts and checks the password in the address's turn, so that forged answers, whose
// decryption costs as much as a password's check, are slowed down alike; a refusal waits the
// delay its failure earned, which holds only this connection, still in the pool of those logging
// in.
LoginGrant Session::CheckedLogin(LoginRecord &login, const std::optional<EncryptedAnswer> &encrypted,
                                 const LoginReplyOptions &options)
{
    std::optional<LoginThrottle::Check> check = WaitForTurn(login, options);
    if (!check) {
        return LoginGrant::kRefused;
    }
    std::optional<std::string> password = encrypted ? DecryptedPassword(*encrypted) : std::nullopt;
    const bool forged                   = encrypted && !password;
    if (password) {
        login.password = std::move(*password);
    }
    const LoginCheck &decide = context_.config.check_login;
    LoginGrant grant         = decide && !forged ? decide(login.user, login.password) : LoginGrant::kRefused;
    if (grant != LoginGrant::kRefused) {
        return grant;
    }
    LoginThrottle::Failure failure = check->Failed(Clock::now());
    Log(LogLevel::kInfo, "login rejected for user '", login.user, "' from host '", login.client_host,
        "', application '", login.application, "': failure ", failure.count, " from ", address_, ", refused after ",
        failure.delay.count(), " ms", forged ? "; its encrypted password was not encrypted for this login" : "");
    if (stream_.QuietUntil(std::min(Clock::now() + failure.delay, login_deadline_))) {
        RefuseLogin(options, kLoginFailed);
    }
    return LoginGrant::kRefused;
}

// Waits, watching the client, until its address may have a password checked; nothing when the
// client leaves or its turn would come after the login time-out. Refused unchecked, such logins
// cost the server little and tell the client nothing; logging them only in detail keeps a flood
// of them out of the log.
std::optional<LoginThrottle::Check> Session::WaitForTurn(const LoginRecord &login, const LoginReplyOptions &options)
{
    for (;;) {
        LoginThrottle::Turn turn = context_.throttle.BeginCheck(address_, Clock::now(), login_deadline_);
        if (auto *check = std::get_if<LoginThrottle::Check>(&turn)) {
            return std::move(*check);
        }
        if (std::holds_alternative<LoginThrottle::TooLate>(turn)) {
            Log(LogLevel::kDebug, "login refused unchecked for user '", login.user, "': the turn of ", address_,
                " to try a password comes after the login time-out");
            RefuseLogin(options, kTooManyFailures);
            return std::nullopt;
        }
        if (!stream_.QuietUntil(std::get<LoginThrottle::Wait>(turn).until)) {
            Log(LogLevel::kDebug, "no login: the client left or spoke while its password waited");
            return std::nullopt;
        }
    }
}

bool Session::EnterPool(LoginGrant grant, const LoginRecord &login, const LoginReplyOptions &options)
{
    Pool pool = grant == LoginGrant::kSingleRpc ? Pool::kSingleRpc : Pool::kSessions;
    std::optional<Displaced> displaced;
    if (!membership_.MoveTo(pool, login.user, displaced)) {
        Log(LogLevel::kWarning, "login refused for user '", login.user, "': all ", context_.config.max_sessions,
            " sessions are in use");
        RefuseLogin(options, kNoSessionLeft);
        return false;
    }
    if (displaced) {
        Log(LogLevel::kInfo, "closed connection ", displaced->spid, " (", displaced->peer,
            ") to make room: the pool of ", context_.config.max_single_rpc, " single-RPC sessions is full");
    }
    return true;
}

void Session::RefuseLogin(const LoginReplyOptions &options, std::string_view reason)
{
    if (Send(LoginRejectedReply(options, reason)).io == IoResult::kOk) {
        AnswerLogoutAfterRejection();
    }
}

// FreeTDS sends a LOGOUT after a rejected login and waits for an answer before giving up.
void Session::AnswerLogoutAfterRejection()
{
    Message message;
    if (ReadMessage(stream_, message, context_.config.max_request_bytes, login_deadline_) != IoResult::kOk ||
        !IsType(message, PacketType::kNormal)) {
        return;
    }
    if (std::holds_alternative<LogoutRequest>(DecodeRequest(message.payload))) {
        AnswerLogout();
    }
}

void Session::AnswerLogout()
{
    TokenBuffer done;
    PutDone(done, DoneToken::kDone, 0, 0);
    Send(done);
}

// A session stays as long as its client likes; a single-RPC session ends with its RPC's reply,
// and must send that RPC within the login time-out.
void Session::ServeRequests()
{
    Deadline deadline = single_rpc_ ? DeadlineAfter(context_.config.login_timeout) : std::nullopt;
    for (;;) {
        Message message;
        IoResult r = ReadMessage(stream_, message, context_.config.max_request_bytes, deadline);
        if (r != IoResult::kOk) {
            Log(LogLevel::kDebug, "connection ended: ", ToString(r));
            return;
        }
        if (IsType(message, PacketType::kAttention)) {
            // The reply was complete before the attention arrived; the client still awaits the ack.
            if (SendAttentionAck(stream_, Limits()) != IoResult::kOk) {
                return;
            }
            Log(LogLevel::kDebug, "attention acknowledged after a complete reply");
            continue;
        }
        if (!IsType(message, PacketType::kNormal)) {
            throw ProtocolError("request of packet type " + HexByte(message.type));
        }
        ClientRequest request;
        try {
            request = DecodeRequest(message.payload);
        } catch (const UnsupportedRequest &error) {
            Log(LogLevel::kInfo, "request refused: ", error.what());
            if (Send(CommandFailed(server_error::kUnsupportedRequest, error.what(), "")).io != IoResult::kOk) {
                return;
            }
            continue;
        }
        if (std::holds_alternative<LogoutRequest>(request)) {
            AnswerLogout();
            Log(LogLevel::kInfo, "logged out");
            return;
        }
        std::function<void()> after_delivery;
        if (Send(Answer(request, after_delivery)).io != IoResult::kOk) {
            return;
        }
        if (after_delivery) {
            after_delivery();
        }
        if (single_rpc_ && std::holds_alternative<RpcRequest>(request)) {
            Log(LogLevel::kDebug, "single-RPC session ends after its RPC");
            return;
        }
    }
}

TokenBuffer Session::Answer(const ClientRequest &request, std::function<void()> &after_delivery)
{
    if (const auto *rpc = std::get_if<RpcRequest>(&request)) {
        return AnswerRpc(*rpc, after_delivery);
    }
    return AnswerLanguage(std::get<LanguageRequest>(request));
}

// FreeTDS sends "select @@spid" inside ct_connect and needs an answer; a bare DONE satisfies the
// variants of that batch (text size prefix, database suffix, newer probes). Nothing else is served.
TokenBuffer Session::AnswerLanguage(const LanguageRequest &request)
{
    std::string text = Normalized(request.text);
    TokenBuffer reply;
    if (text == "select @@spid") {
        Column spid = Column::Integer("", false);
        PutRowfmt(reply, std::span(&spid, 1));
        Value value(static_cast<std::int64_t>(info_.spid));
        PutRow(reply, std::span(&spid, 1), std::span(&value, 1));
        PutDone(reply, DoneToken::kDone, done::kCount, 1);
    } else if (text.find("@@spid") != std::string::npos) {
        PutDone(reply, DoneToken::kDone, 0, 0);
    } else {
        Log(LogLevel::kInfo, "language command refused: ", text.substr(0, 80));
        return CommandFailed(server_error::kLanguageNotSupported, "Language commands are not supported; call an RPC.",
                             "");
    }
    return reply;
}

TokenBuffer Session::AnswerRpc(const RpcRequest &request, std::function<void()> &after_delivery)
{
    auto handler = context_.rpcs.find(request.name);
    if (handler == context_.rpcs.end()) {
        Log(LogLevel::kInfo, "unknown RPC '", request.name, "'");
        return CommandFailed(server_error::kUnknownRpc, "Stored procedure '" + request.name + "' not found.", "");
    }
    Log(LogLevel::kDebug, "RPC '", request.name, "' with ", request.params.size(), " parameters");
    Reply reply(context_.config.server_name, request.name);
    try {
        const RequestClientScope client(stream_.Descriptor());
        handler->second(info_, request, reply);
        after_delivery = reply.TakeAfterDelivery();
        return std::move(reply).Finish();
    } catch (const std::exception &error) {
        Log(LogLevel::kError, "RPC '", request.name, "' handler failed: ", error.what());
    } catch (...) {
        Log(LogLevel::kError, "RPC '", request.name, "' handler failed with a non-standard exception");
    }
    return CommandFailed(server_error::kHandlerFailed, "RPC " + request.name + " failed: internal error.",
                         request.name);
}

TokenBuffer Session::CommandFailed(std::int32_t number, const std::string &text, const std::string &procedure) const
{
    TokenBuffer reply;
    ServerMessage message = ServerMessage::Error(number, text);
    message.procedure     = procedure;
    PutEed(reply, message, context_.config.server_name);
    PutDone(reply, DoneToken::kDone, done::kError, 0);
    return reply;
}

}  // namespace paagent::tds
