#include "tds/request_decoder.h"

#include "tds/byte_reader.h"
#include "tds/errors.h"
#include "tds/param_decoder.h"
#include "tds/protocol.h"

namespace paagent::tds {
namespace {

LanguageRequest DecodeLanguage(ByteReader &in)
{
    std::uint32_t length = in.U32();
    if (length == 0) {
        throw ProtocolError("LANGUAGE token with zero length");
    }
    ByteReader body = in.Sub(length);
    if (body.U8() != 0) {
        throw UnsupportedRequest("language commands with parameters are not supported");
    }
    return LanguageRequest{body.Text(body.Remaining())};
}

RpcRequest DecodeRpc(ByteReader &in)
{
    ByteReader body = in.Sub(in.U16());
    RpcRequest rpc;
    rpc.name              = body.Text(body.U8());
    std::uint16_t options = body.U16();
    body.ExpectEnd("DBRPC token");
    if ((options & kRpcHasParams) != 0) {
        std::uint8_t format_token = in.U8();
        if (format_token != token::kParamFmt && format_token != token::kParamFmt2) {
            throw ProtocolError("DBRPC announces parameters but no parameter format follows");
        }
        rpc.params = DecodeParams(in, format_token);
    }
    return rpc;
}

}  // namespace

ClientRequest DecodeRequest(std::span<const std::uint8_t> payload)
{
    ByteReader in(payload);
    std::uint8_t first = in.U8();
    ClientRequest request;
    switch (first) {
    case token::kLanguage: request = DecodeLanguage(in); break;
    case token::kDbRpc: request = DecodeRpc(in); break;
    case token::kLogout:
        in.U8();  // option byte
        request = LogoutRequest{};
        break;
    default: throw ProtocolError("unexpected request token " + HexByte(first));
    }
    in.ExpectEnd("request");
    return request;
}

}  // namespace paagent::tds
