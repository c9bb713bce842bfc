#include "tds/request_decoder.h"

#include "tds/byte_reader.h"
#include "tds/errors.h"
#include "tds/param_decoder.h"
#include "tds/protocol.h"

namespace paagent::tds {
namespace {

LanguageRequest decode_language(ByteReader &in)
{
    std::uint32_t length = in.u32();
    if (length == 0) {
        throw ProtocolError("LANGUAGE token with zero length");
    }
    ByteReader body = in.sub(length);
    if (body.u8() != 0) {
        throw UnsupportedRequest("language commands with parameters are not supported");
    }
    return LanguageRequest{body.text(body.remaining())};
}

RpcRequest decode_rpc(ByteReader &in)
{
    ByteReader body = in.sub(in.u16());
    RpcRequest rpc;
    rpc.name              = body.text(body.u8());
    std::uint16_t options = body.u16();
    body.expect_end("DBRPC token");
    if ((options & kRpcHasParams) != 0) {
        std::uint8_t format_token = in.u8();
        if (format_token != token::ParamFmt && format_token != token::ParamFmt2) {
            throw ProtocolError("DBRPC announces parameters but no parameter format follows");
        }
        rpc.params = decode_params(in, format_token);
    }
    return rpc;
}

}  // namespace

ClientRequest decode_request(std::span<const std::uint8_t> payload)
{
    ByteReader in(payload);
    std::uint8_t first = in.u8();
    ClientRequest request;
    switch (first) {
    case token::Language: request = decode_language(in); break;
    case token::DbRpc: request = decode_rpc(in); break;
    case token::Logout:
        in.u8();  // option byte
        request = LogoutRequest{};
        break;
    default: throw ProtocolError("unexpected request token " + hex_byte(first));
    }
    in.expect_end("request");
    return request;
}

}  // namespace paagent::tds
