// Wire constants of TDS 5.0 as spoken between FreeTDS ct-lib and this server.
#ifndef PAAGENT_TDS_PROTOCOL_H
#define PAAGENT_TDS_PROTOCOL_H

#include <cstddef>
#include <cstdint>

namespace paagent::tds {

// Packet types (first header byte).
enum class PacketType : std::uint8_t {
    Login        = 0x02,
    Reply        = 0x04,
    Attention    = 0x06,
    Normal       = 0x0F,
    Tds7Login    = 0x10,
    Tds7Prelogin = 0x12,
};

inline constexpr std::size_t kHeaderSize        = 8;
inline constexpr std::uint8_t kLastPacketStatus = 0x01;
inline constexpr std::size_t kDefaultPacketSize = 512;
inline constexpr std::size_t kMaxPacketSize     = 65535;

// Token bytes.
namespace token {
inline constexpr std::uint8_t ParamFmt2    = 0x20;
inline constexpr std::uint8_t Language     = 0x21;
inline constexpr std::uint8_t Message      = 0x65;
inline constexpr std::uint8_t Logout       = 0x71;
inline constexpr std::uint8_t ReturnStatus = 0x79;
inline constexpr std::uint8_t LoginAck     = 0xAD;
inline constexpr std::uint8_t ParamFmt     = 0xEC;
inline constexpr std::uint8_t Params       = 0xD7;
inline constexpr std::uint8_t Row          = 0xD1;
inline constexpr std::uint8_t Capability   = 0xE2;
inline constexpr std::uint8_t EnvChange    = 0xE3;
inline constexpr std::uint8_t Eed          = 0xE5;
inline constexpr std::uint8_t DbRpc        = 0xE6;
inline constexpr std::uint8_t RowFmt       = 0xEE;
inline constexpr std::uint8_t Done         = 0xFD;
inline constexpr std::uint8_t DoneProc     = 0xFE;
inline constexpr std::uint8_t DoneInProc   = 0xFF;
}  // namespace token

// Status bits of DONE, DONEPROC and DONEINPROC.
namespace done {
inline constexpr std::uint16_t More      = 0x0001;
inline constexpr std::uint16_t Error     = 0x0002;
inline constexpr std::uint16_t Count     = 0x0010;
inline constexpr std::uint16_t Attention = 0x0020;
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
