#include "tds/encrypted_login.h"

#include <openssl/crypto.h>

#include "tds/byte_reader.h"
#include "tds/errors.h"
#include "tds/param_decoder.h"
#include "tds/protocol.h"

namespace paagent::tds {
namespace {

// Security message types of the RSA password exchange.
constexpr std::uint16_t kKeyMessage            = 0x1e;
constexpr std::uint16_t kPasswordMessage       = 0x1f;
constexpr std::uint16_t kRemotePasswordMessage = 0x20;
constexpr std::uint8_t kMessageHasParams       = 0x01;
constexpr std::int32_t kCipherSuiteRsa         = 1;

void put_message(ByteWriter &out, std::uint16_t type)
{
    out.u8(token::Message);
    out.u8(3);  // length: status and type
    out.u8(kMessageHasParams);
    out.u16(type);
}

// One entry of a parameter format: no name, status 0, user type 0, the type and, for binary
// values, their length. FreeTDS takes the declared length for the value's: it must be exact.
void put_format_entry(ByteWriter &out, WireType type, std::size_t length = 0)
{
    out.u8(0);
    out.u8(0);
    out.u32(0);
    out.u8(static_cast<std::uint8_t>(type));
    if (type == WireType::LongBinary)
        out.u32(static_cast<std::uint32_t>(length));
    out.u8(0);  // locale
}

void put_long_binary(ByteWriter &out, std::string_view value)
{
    out.u32(static_cast<std::uint32_t>(value.size()));
    out.text(value);
}

// One security message of the client's answer: its type and, when it has any, its parameters.
struct SecurityMessage {
    std::uint16_t type = 0;
    std::vector<Param> params;
};

SecurityMessage read_message(ByteReader &in)
{
    if (in.u8() != token::Message)
        throw ProtocolError("encrypted login: security message expected");
    ByteReader body = in.sub(in.u8());
    SecurityMessage message;
    std::uint8_t status = body.u8();
    message.type        = body.u16();
    if ((status & kMessageHasParams) != 0) {
        std::uint8_t format = in.u8();
        if (format != token::ParamFmt && format != token::ParamFmt2)
            throw ProtocolError("encrypted login: security message without its parameters");
        message.params = decode_params(in, format);
    }
    return message;
}

}  // namespace

TokenBuffer password_key_message(std::string_view public_pem, std::string_view nonce)
{
    TokenBuffer buf;
    ByteWriter &out = buf.out();
    put_message(out, kKeyMessage);
    buf.end_token();
    out.u8(token::ParamFmt);
    std::size_t length = out.begin_length16();
    out.u16(3);
    put_format_entry(out, WireType::Int4);
    put_format_entry(out, WireType::LongBinary, public_pem.size());
    put_format_entry(out, WireType::LongBinary, nonce.size());
    out.end_length16(length);
    buf.end_token();
    out.u8(token::Params);
    out.i32(kCipherSuiteRsa);
    put_long_binary(out, public_pem);
    put_long_binary(out, nonce);
    buf.end_token();
    put_done(buf, DoneToken::Done, 0, 0);
    return buf;
}

std::string encrypted_password(std::span<const std::uint8_t> payload)
{
    ByteReader in(payload);
    std::optional<std::string> password;
    while (!in.empty()) {
        SecurityMessage message = read_message(in);
        if (message.type == kPasswordMessage && !message.params.empty() && message.params[0].value.is_text()) {
            password = message.params[0].value.as_text();
        } else if (message.type != kRemotePasswordMessage) {
            throw ProtocolError("encrypted login: unexpected security message " + std::to_string(message.type));
        }
    }
    if (!password)
        throw ProtocolError("encrypted login: no encrypted password");
    return *password;
}

std::optional<std::string> password_after_nonce(std::string_view plaintext, std::string_view nonce)
{
    if (plaintext.size() < nonce.size() || CRYPTO_memcmp(plaintext.data(), nonce.data(), nonce.size()) != 0)
        return std::nullopt;
    return std::string(plaintext.substr(nonce.size()));
}

}  // namespace paagent::tds
