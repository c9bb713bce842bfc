// What a client asks for: an RPC with typed, named parameters, and who is asking.
#ifndef PAAGENT_TDS_REQUEST_H
#define PAAGENT_TDS_REQUEST_H

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "tds/value.h"

namespace paagent::tds {

// Datatypes as they appear on the wire (the byte in the parameter format).
enum class WireType : std::uint8_t {
    kText       = 0x23,
    kVarBinary  = 0x25,
    kIntN       = 0x26,
    kVarChar    = 0x27,
    kBinary     = 0x2D,
    kChar       = 0x2F,
    kInt1       = 0x30,
    kBit        = 0x32,
    kInt2       = 0x34,
    kInt4       = 0x38,
    kLongChar   = 0xAF,
    kInt8       = 0xBF,
    kLongBinary = 0xE1,
};

struct Param {
    std::string name;  // exactly as the client sent it ("@x" keeps its "@")
    WireType type                 = WireType::kIntN;
    std::uint32_t declared_length = 0;  // length from the parameter format (0 for fixed-size types)
    bool is_output                = false;
    // Integers for the integer types and BIT; text for character and binary types, with one
    // trailing NUL removed from character values (clients send C strings with their terminator).
    Value value;
};

struct RpcRequest {
    std::string name;
    std::vector<Param> params;

    // The parameter called `param_name`, or nullptr.
    const Param *Find(std::string_view param_name) const;
};

// The logged-in client of a connection.
struct SessionInfo {
    std::uint32_t spid = 0;  // server-assigned connection number
    std::string user;
    std::string address;  // the client's IPv4 address
    std::string client_host;
    std::string client_process;  // client's process id as text
    std::string application;
    std::size_t packet_size = 0;  // negotiated packet size in bytes
};

}  // namespace paagent::tds

#endif  // PAAGENT_TDS_REQUEST_H
