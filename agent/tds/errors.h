// Exceptions raised while decoding client input.
#ifndef PAAGENT_TDS_ERRORS_H
#define PAAGENT_TDS_ERRORS_H

#include <cstdint>
#include <stdexcept>
#include <string>

namespace paagent::tds {

// The client sent bytes that break the protocol; the connection cannot continue.
class ProtocolError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A well-formed request this server cannot serve; the command fails, the connection stays.
class UnsupportedRequest : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// "0x" followed by two hex digits, for naming bytes in error texts.
inline std::string HexByte(std::uint8_t byte)
{
    constexpr char kDigits[] = "0123456789abcdef";
    return std::string("0x") + kDigits[byte >> 4] + kDigits[byte & 0x0F];
}

}  // namespace paagent::tds

#endif  // PAAGENT_TDS_ERRORS_H
