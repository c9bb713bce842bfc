// Decodes the payload of a "normal" (type 0x0F) client message.
#ifndef PAAGENT_TDS_REQUEST_DECODER_H
#define PAAGENT_TDS_REQUEST_DECODER_H

#include <cstdint>
#include <span>
#include <string>
#include <variant>

#include "tds/request.h"

namespace paagent::tds {

struct LanguageRequest {
    std::string text;
};

struct LogoutRequest {};

using ClientRequest = std::variant<LanguageRequest, RpcRequest, LogoutRequest>;

// Throws ProtocolError for malformed bytes and UnsupportedRequest for well-formed requests this
// server does not handle (such as a parameter datatype it cannot decode).
ClientRequest DecodeRequest(std::span<const std::uint8_t> payload);

}  // namespace paagent::tds

#endif  // PAAGENT_TDS_REQUEST_DECODER_H
