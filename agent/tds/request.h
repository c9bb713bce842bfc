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
    Text       = 0x23,
    VarBinary  = 0x25,
    IntN       = 0x26,
    VarChar    = 0x27,
    Binary     = 0x2D,
    Char       = 0x2F,
    Int1       = 0x30,
    Bit        = 0x32,
    Int2       = 0x34,
    Int4       = 0x38,
    LongChar   = 0xAF,
    Int8       = 0xBF,
    LongBinary = 0xE1,
};

struct Param {
    std::string name;  // exactly as the client sent it ("@x" keeps its "@")
    WireType type                 = WireType::IntN;
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
    const Param *find(std::string_view param_name) const;
};

// The logged-in client of a connection.
struct SessionInfo {
    std::uint32_t spid = 0;  // server-assigned connection number
    std::string user;
    std::string client_host;
    std::string client_process;  // client's process id as text
    std::string application;
    std::size_t packet_size = 0;  // negotiated packet size in bytes
};

}  // namespace paagent::tds

#endif  // PAAGENT_TDS_REQUEST_H
