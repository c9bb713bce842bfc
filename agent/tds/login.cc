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
std::string FixedField(std::span<const std::uint8_t> record, std::size_t at, std::size_t width)
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
bool RemotePassword(std::span<const std::uint8_t> record, std::string &password)
{
    std::size_t used = record[kRemotePasswordLengthAt];
    if (used == 0) {
        return false;
    }
    if (used > kRemotePasswordSize) {
        throw ProtocolError("remote-password block claims " + std::to_string(used) + " bytes");
    }
    ByteReader block(record.subspan(kRemotePasswordAt, used));
    block.Skip(block.U8());  // remote server name
    password = block.Text(block.U8());
    return true;
}

std::size_t ParsePacketSize(const std::string &text)
{
    std::size_t size  = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), size);
    if (error != std::errc() || end != text.data() + text.size()) {
        return LoginRecord::kRequestedDefault;
    }
    return size;
}

std::vector<std::uint8_t> Capability(std::span<const std::uint8_t> record)
{
    if (record.size() <= kCapabilityAt) {
        return {};
    }
    ByteReader in(record.subspan(kCapabilityAt));
    if (in.U8() != token::kCapability) {
        throw ProtocolError("login record: capability token expected at offset 568");
    }
    auto body = in.Bytes(in.U16());
    return {body.begin(), body.end()};
}

}  // namespace

LoginRecord ParseLogin(std::span<const std::uint8_t> payload)
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
    login.client_host = FixedField(payload, kHostAt, kShortField);
    login.user        = FixedField(payload, kUserAt, kShortField);
    if (!RemotePassword(payload, login.password)) {
        login.password = FixedField(payload, kPasswordAt, kShortField);
    }
    login.encrypted_password    = (payload[kSecurityFlagsAt] & kSecurityEncryptedPassword) != 0;
    login.client_process        = FixedField(payload, kProcessAt, kShortField);
    login.application           = FixedField(payload, kApplicationAt, kShortField);
    login.server_name           = FixedField(payload, kServerAt, kShortField);
    login.requested_packet_size = ParsePacketSize(FixedField(payload, kPacketSizeAt, kPacketSizeField));
    login.capability            = Capability(payload);
    return login;
}

TokenBuffer LoginAcceptedReply(const LoginRecord &login, const LoginReplyOptions &options)
{
    TokenBuffer reply;
    PutLoginack(reply, true, options.product_name);
    // Echoing the client's masks grants what it asked for; FreeTDS needs no capability token at all.
    if (!login.capability.empty()) {
        PutCapability(reply, login.capability);
    }
    if (options.packet_size != kDefaultPacketSize) {
        PutEnvchange(reply, kEnvPacketSize, std::to_string(options.packet_size), std::to_string(kDefaultPacketSize));
    }
    PutDone(reply, DoneToken::kDone, 0, 0);
    return reply;
}

TokenBuffer LoginRejectedReply(const LoginReplyOptions &options, std::string_view reason)
{
    TokenBuffer reply;
    ServerMessage failed = ServerMessage::Error(kLoginFailedNumber, std::string(reason));
    failed.severity      = kLoginFailedSeverity;
    PutEed(reply, failed, options.server_name);
    PutLoginack(reply, false, options.product_name);
    PutDone(reply, DoneToken::kDone, done::kError, 0);
    return reply;
}

}  // namespace paagent::tds
