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

void PutMessage(ByteWriter &out, std::uint16_t type)
{
    out.U8(token::kMessage);
    out.U8(3);  // length: status and type
    out.U8(kMessageHasParams);
    out.U16(type);
}

// One entry of a parameter format: no name, status 0, user type 0, the type and, for binary
// values, their length. FreeTDS takes the declared length for the value's: it must be exact.
void PutFormatEntry(ByteWriter &out, WireType type, std::size_t length = 0)
{
    out.U8(0);
    out.U8(0);
    out.U32(0);
    out.U8(static_cast<std::uint8_t>(type));
    if (type == WireType::kLongBinary) {
        out.U32(static_cast<std::uint32_t>(length));
    }
    out.U8(0);  // locale
}

void PutLongBinary(ByteWriter &out, std::string_view value)
{
    out.U32(static_cast<std::uint32_t>(value.size()));
    out.Text(value);
}

// One security message of the client's answer: its type and, when it has any, its parameters.
struct SecurityMessage {
    std::uint16_t type = 0;
    std::vector<Param> params;
};

SecurityMessage ReadMessage(ByteReader &in)
{
    if (in.U8() != token::kMessage) {
        throw ProtocolError("encrypted login: security message expected");
    }
    ByteReader body = in.Sub(in.U8());
    SecurityMessage message;
    std::uint8_t status = body.U8();
    message.type        = body.U16();
    if ((status & kMessageHasParams) != 0) {
        std::uint8_t format = in.U8();
        if (format != token::kParamFmt && format != token::kParamFmt2) {
            throw ProtocolError("encrypted login: security message without its parameters");
        }
        message.params = DecodeParams(in, format);
    }
    return message;
}

}  // namespace

TokenBuffer PasswordKeyMessage(std::string_view public_pem, std::string_view nonce)
{
    TokenBuffer buf;
    ByteWriter &out = buf.Out();
    PutMessage(out, kKeyMessage);
    buf.EndToken();
    out.U8(token::kParamFmt);
    std::size_t length = out.BeginLength16();
    out.U16(3);
    PutFormatEntry(out, WireType::kInt4);
    PutFormatEntry(out, WireType::kLongBinary, public_pem.size());
    PutFormatEntry(out, WireType::kLongBinary, nonce.size());
    out.EndLength16(length);
    buf.EndToken();
    out.U8(token::kParams);
    out.I32(kCipherSuiteRsa);
    PutLongBinary(out, public_pem);
    PutLongBinary(out, nonce);
    buf.EndToken();
    PutDone(buf, DoneToken::kDone, 0, 0);
    return buf;
}

std::string EncryptedPassword(std::span<const std::uint8_t> payload)
{
    ByteReader in(payload);
    std::optional<std::string> password;
    while (!in.Empty()) {
        SecurityMessage message = ReadMessage(in);
        if (message.type == kPasswordMessage && !message.params.empty() && message.params[0].value.IsText()) {
            password = message.params[0].value.AsText();
        } else if (message.type != kRemotePasswordMessage) {
            throw ProtocolError("encrypted login: unexpected security message " + std::to_string(message.type));
        }
    }
    if (!password) {
        throw ProtocolError("encrypted login: no encrypted password");
    }
    return *password;
}

std::optional<std::string> PasswordAfterNonce(std::string_view plaintext, std::string_view nonce)
{
    if (plaintext.size() < nonce.size() || CRYPTO_memcmp(plaintext.data(), nonce.data(), nonce.size()) != 0) {
        return std::nullopt;
    }
    return std::string(plaintext.substr(nonce.size()));
}

}  // namespace paagent::tds
