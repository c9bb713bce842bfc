// Wire constants of TDS 5.0 as spoken between FreeTDS ct-lib and this server.
#ifndef PAAGENT_TDS_PROTOCOL_H
#define PAAGENT_TDS_PROTOCOL_H

#include <cstddef>
#include <cstdint>

namespace paagent::tds {

// Packet types (first header byte).
enum class PacketType : std::uint8_t {
    kLogin        = 0x02,
    kReply        = 0x04,
    kAttention    = 0x06,
    kNormal       = 0x0F,
    kTds7Login    = 0x10,
    kTds7Prelogin = 0x12,
};

inline constexpr std::size_t kHeaderSize        = 8;
inline constexpr std::uint8_t kLastPacketStatus = 0x01;
inline constexpr std::size_t kDefaultPacketSize = 512;
inline constexpr std::size_t kMaxPacketSize     = 65535;

// Token bytes.
namespace token {
inline constexpr std::uint8_t kParamFmt2    = 0x20;
inline constexpr std::uint8_t kLanguage     = 0x21;
inline constexpr std::uint8_t kMessage      = 0x65;
inline constexpr std::uint8_t kLogout       = 0x71;
inline constexpr std::uint8_t kReturnStatus = 0x79;
inline constexpr std::uint8_t kLoginAck     = 0xAD;
inline constexpr std::uint8_t kParamFmt     = 0xEC;
inline constexpr std::uint8_t kParams       = 0xD7;
inline constexpr std::uint8_t kRow          = 0xD1;
inline constexpr std::uint8_t kCapability   = 0xE2;
inline constexpr std::uint8_t kEnvChange    = 0xE3;
inline constexpr std::uint8_t kEed          = 0xE5;
inline constexpr std::uint8_t kDbRpc        = 0xE6;
inline constexpr std::uint8_t kRowFmt       = 0xEE;
inline constexpr std::uint8_t kDone         = 0xFD;
inline constexpr std::uint8_t kDoneProc     = 0xFE;
inline constexpr std::uint8_t kDoneInProc   = 0xFF;
}  // namespace token

// Status bits of DONE, DONEPROC and DONEINPROC.
namespace done {
inline constexpr std::uint16_t kMore      = 0x0001;
inline constexpr std::uint16_t kError     = 0x0002;
inline constexpr std::uint16_t kCount     = 0x0010;
inline constexpr std::uint16_t kAttention = 0x0020;
}  // namespace done

// DBRPC option: a parameter format and parameter values follow.
inline constexpr std::uint16_t kRpcHasParams = 0x0002;

// Parameter status bit: an output (return) parameter.
inline constexpr std::uint8_t kParamIsOutput = 0x01;

// Column status bit reported by ct_describe as CS_CANBENULL.
inline constexpr std::uint8_t kColumnNullable = 0x20;

// LOGINACK status values.
inline constexpr std::uint8_t kLoginAccepted = 5;
inline constexpr std::uint8_t kLoginRejected = 6;

// Security-login flag of the login record: the password is to be sent RSA-encrypted in a later
// message instead of in the record.
inline constexpr std::uint8_t kSecurityEncryptedPassword = 0x80;

// ENVCHANGE type announcing a new packet size.
inline constexpr std::uint8_t kEnvPacketSize = 4;

}  // namespace paagent::tds

#endif  // PAAGENT_TDS_PROTOCOL_H
