#include "tds/login.h"

#include <charconv>

#include "tds/byte_reader.h"
#include "tds/errors.h"
#include "tds/protocol.h"

namespace paagent::tds {
namespace {

// Offsets of the fixed-layout login record.
constexpr std::size_t kHostAt                 = 0;
constexpr std::size_t kUserAt                 = 31;
constexpr std::size_t kPasswordAt             = 62;
constexpr std::size_t kProcessAt              = 93;
constexpr std::size_t kByteOrderAt            = 124;
constexpr std::size_t kApplicationAt          = 140;
constexpr std::size_t kServerAt               = 171;
constexpr std::size_t kRemotePasswordAt       = 202;
constexpr std::size_t kRemotePasswordSize     = 255;
constexpr std::size_t kRemotePasswordLengthAt = 457;
constexpr std::size_t kTdsVersionAt           = 458;
constexpr std::size_t kSecurityFlagsAt        = 514;
constexpr std::size_t kPacketSizeAt           = 557;
constexpr std::size_t kCapabilityAt           = 568;
constexpr std::size_t kShortField             = 30;
constexpr std::size_t kPacketSizeField        = 6;

constexpr std::uint8_t kInt2LsbFirst = 0x03;
constexpr std::uint8_t kInt4LsbFirst = 0x01;

constexpr std::int32_t kLoginFailedNumber   = 4002;
constexpr std::uint8_t kLoginFailedSeverity = 14;

// A fixed-width field: `width` bytes of value, zero padded, then a one-byte length.
std::string fixed_field(std::span<const std::uint8_t> record, std::size_t at, std::size_t width)
{
    std::size_t length = record[at + width];
    if (length > width) {
        throw ProtocolError("login field at offset " + std::to_string(at) + " claims " + std::to_string(length) +
                            " bytes in a " + std::to_string(width) + "-byte field");
    }
    return std::string(record.begin() + at, record.begin() + at + length);
}

// The remote-password block holds {server-name length, name, password length, password} and,
// unlike the 30-byte field, the whole password. Returns false when the block is empty.
bool remote_password(std::span<const std::uint8_t> record, std::string &password)
{
    std::size_t used = record[kRemotePasswordLengthAt];
    if (used == 0) {
        return false;
    }
    if (used > kRemotePasswordSize) {
        throw ProtocolError("remote-password block claims " + std::to_string(used) + " bytes");
    }
    ByteReader block(record.subspan(kRemotePasswordAt, used));
    block.skip(block.u8());  // remote server name
    password = block.text(block.u8());
    return true;
}

std::size_t parse_packet_size(const std::string &text)
{
    std::size_t size  = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), size);
    if (error != std::errc() || end != text.data() + text.size()) {
        return LoginRecord::kRequestedDefault;
    }
    return size;
}

std::vector<std::uint8_t> capability(std::span<const std::uint8_t> record)
{
    if (record.size() <= kCapabilityAt) {
        return {};
    }
    ByteReader in(record.subspan(kCapabilityAt));
    if (in.u8() != token::Capability) {
        throw ProtocolError("login record: capability token expected at offset 568");
    }
    auto body = in.bytes(in.u16());
    return {body.begin(), body.end()};
}

}  // namespace

LoginRecord parse_login(std::span<const std::uint8_t> payload)
{
    if (payload.size() < kPacketSizeAt + kPacketSizeField + 1) {
        throw ProtocolError("login record of " + std::to_string(payload.size()) + " bytes is truncated");
    }
    if (payload[kTdsVersionAt] != 5) {
        throw ProtocolError("login for TDS version " + std::to_string(payload[kTdsVersionAt]) + ", expected 5");
    }
    if (payload[kByteOrderAt] != kInt2LsbFirst || payload[kByteOrderAt + 1] != kInt4LsbFirst) {
        throw ProtocolError("client uses big-endian integers, which this server does not support");
    }
    LoginRecord login;
    login.client_host = fixed_field(payload, kHostAt, kShortField);
    login.user        = fixed_field(payload, kUserAt, kShortField);
    if (!remote_password(payload, login.password)) {
        login.password = fixed_field(payload, kPasswordAt, kShortField);
    }
    login.encrypted_password    = (payload[kSecurityFlagsAt] & kSecurityEncryptedPassword) != 0;
    login.client_process        = fixed_field(payload, kProcessAt, kShortField);
    login.application           = fixed_field(payload, kApplicationAt, kShortField);
    login.server_name           = fixed_field(payload, kServerAt, kShortField);
    login.requested_packet_size = parse_packet_size(fixed_field(payload, kPacketSizeAt, kPacketSizeField));
    login.capability            = capability(payload);
    return login;
}

TokenBuffer login_accepted_reply(const LoginRecord &login, const LoginReplyOptions &options)
{
    TokenBuffer reply;
    put_loginack(reply, true, options.product_name);
    // Echoing the client's masks grants what it asked for; FreeTDS needs no capability token at all.
    if (!login.capability.empty()) {
        put_capability(reply, login.capability);
    }
    if (options.packet_size != kDefaultPacketSize) {
        put_envchange(reply, kEnvPacketSize, std::to_string(options.packet_size), std::to_string(kDefaultPacketSize));
    }
    put_done(reply, DoneToken::Done, 0, 0);
    return reply;
}

TokenBuffer login_rejected_reply(const LoginReplyOptions &options, std::string_view reason)
{
    TokenBuffer reply;
    ServerMessage failed = ServerMessage::error(kLoginFailedNumber, std::string(reason));
    failed.severity      = kLoginFailedSeverity;
    put_eed(reply, failed, options.server_name);
    put_loginack(reply, false, options.product_name);
    put_done(reply, DoneToken::Done, done::Error, 0);
    return reply;
}

}  // namespace paagent::tds
