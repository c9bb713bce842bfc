// The TDS 5.0 encrypted-password login: a client that sets the security flag in its login record
// leaves the password out; the server answers with a security message carrying its RSA public key
// and a nonce; the client answers with the nonce and the password encrypted with that key.
#ifndef PAAGENT_TDS_ENCRYPTED_LOGIN_H
#define PAAGENT_TDS_ENCRYPTED_LOGIN_H

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "tds/token_writer.h"

namespace paagent::tds {

// Bytes of nonce sent with each key; a fresh nonce makes recorded password messages worthless.
inline constexpr std::size_t kNonceSize = 32;

// The security message (type 0x1e) with the cipher suite (RSA), the public key in PEM and the
// nonce as parameters, then DONE.
TokenBuffer PasswordKeyMessage(std::string_view public_pem, std::string_view nonce);

// The encrypted password of the client's answer: the parameter of its security message 0x1f.
// The message 0x20 that follows (passwords for remote servers) is read and ignored. Throws
// ProtocolError when the payload is not such an answer.
std::string EncryptedPassword(std::span<const std::uint8_t> payload);

// The password in a decrypted "nonce followed by password"; nothing when the nonce differs.
std::optional<std::string> PasswordAfterNonce(std::string_view plaintext, std::string_view nonce);

}  // namespace paagent::tds

#endif  // PAAGENT_TDS_ENCRYPTED_LOGIN_H
