#include "tds/param_decoder.h"

#include "tds/errors.h"
#include "tds/protocol.h"

namespace paagent::tds {
namespace {

// How a datatype's declared length and value are laid out.
enum class Layout {
    kFixed,     // no length info; value of a fixed size
    kShortLen,  // u8 declared length; value = u8 length + bytes (0 = NULL)
    kLongLen,   // u32 declared length; value = u32 length + bytes (0 = NULL)
    kTextPtr,   // u32 declared length + table name; value = text pointer, timestamp, u32 length + bytes
};

enum class Kind {
    kInteger,
    kUnsigned,
    kCharacter,
    kBinary
};

struct TypeLayout {
    Layout layout;
    Kind kind;
    std::size_t fixed_size;
};

TypeLayout LayoutOf(WireType type)
{
    switch (type) {
    case WireType::kInt1: return {Layout::kFixed, Kind::kUnsigned, 1};
    case WireType::kBit: return {Layout::kFixed, Kind::kUnsigned, 1};
    case WireType::kInt2: return {Layout::kFixed, Kind::kInteger, 2};
    case WireType::kInt4: return {Layout::kFixed, Kind::kInteger, 4};
    case WireType::kInt8: return {Layout::kFixed, Kind::kInteger, 8};
    case WireType::kIntN: return {Layout::kShortLen, Kind::kInteger, 0};
    case WireType::kChar:
    case WireType::kVarChar: return {Layout::kShortLen, Kind::kCharacter, 0};
    case WireType::kBinary:
    case WireType::kVarBinary: return {Layout::kShortLen, Kind::kBinary, 0};
    case WireType::kLongChar: return {Layout::kLongLen, Kind::kCharacter, 0};
    case WireType::kLongBinary: return {Layout::kLongLen, Kind::kBinary, 0};
    case WireType::kText: return {Layout::kTextPtr, Kind::kCharacter, 0};
    }
    throw UnsupportedRequest("unsupported parameter datatype " + HexByte(static_cast<std::uint8_t>(type)));
}

WireType ReadWireType(std::uint8_t byte)
{
    switch (static_cast<WireType>(byte)) {
    case WireType::kText:
    case WireType::kVarBinary:
    case WireType::kIntN:
    case WireType::kVarChar:
    case WireType::kBinary:
    case WireType::kChar:
    case WireType::kInt1:
    case WireType::kBit:
    case WireType::kInt2:
    case WireType::kInt4:
    case WireType::kLongChar:
    case WireType::kInt8:
    case WireType::kLongBinary: return static_cast<WireType>(byte);
    }
    throw UnsupportedRequest("unsupported parameter datatype " + HexByte(byte));
}

std::int64_t IntegerFrom(std::span<const std::uint8_t> raw, Kind kind)
{
    std::uint64_t bits = 0;
    for (std::size_t i = 0; i < raw.size(); ++i) {
        bits |= std::uint64_t{raw[i]} << (8 * i);
    }
    if (kind == Kind::kInteger && raw.size() < 8 && (raw.back() & 0x80) != 0) {
        bits |= ~std::uint64_t{0} << (8 * raw.size());  // sign-extend
    }
    return static_cast<std::int64_t>(bits);
}

Value IntegerValue(std::span<const std::uint8_t> raw, WireType type)
{
    if (raw.size() != 1 && raw.size() != 2 && raw.size() != 4 && raw.size() != 8) {
        throw ProtocolError("integer value of " + std::to_string(raw.size()) + " bytes");
    }
    // A one-byte integer is TINYINT, which is unsigned in TDS.
    Kind kind = (raw.size() == 1 || type == WireType::kBit) ? Kind::kUnsigned : Kind::kInteger;
    return Value(IntegerFrom(raw, kind));
}

Value BytesValue(std::span<const std::uint8_t> raw, Kind kind)
{
    std::string text(raw.begin(), raw.end());
    if (kind == Kind::kCharacter && !text.empty() && text.back() == '\0') {
        text.pop_back();
    }
    return Value(std::move(text));
}

void ReadFormatEntry(ByteReader &in, bool wide_status, Param &param)
{
    param.name           = in.Text(in.U8());
    std::uint32_t status = wide_status ? in.U32() : in.U8();
    param.is_output      = (status & kParamIsOutput) != 0;
    in.Skip(4);  // user type
    param.type = ReadWireType(in.U8());
    switch (LayoutOf(param.type).layout) {
    case Layout::kFixed: param.declared_length = 0; break;
    case Layout::kShortLen: param.declared_length = in.U8(); break;
    case Layout::kLongLen: param.declared_length = in.U32(); break;
    case Layout::kTextPtr:
        param.declared_length = in.U32();
        in.Skip(in.U16());  // table name
        break;
    }
    in.Skip(in.U8());  // locale
}

std::vector<Param> ReadFormat(ByteReader &in, std::uint8_t format_token)
{
    bool wide                            = format_token == token::kParamFmt2;
    ByteReader body                      = in.Sub(wide ? in.U32() : in.U16());
    std::size_t count                    = body.U16();
    constexpr std::size_t kSmallestEntry = 8;  // name length, status, user type, type, locale length
    if (count * kSmallestEntry > body.Remaining()) {
        throw ProtocolError("parameter format announces " + std::to_string(count) + " parameters in " +
                            std::to_string(body.Remaining()) + " bytes");
    }
    std::vector<Param> params(count);
    for (Param &param : params) {
        ReadFormatEntry(body, wide, param);
    }
    body.ExpectEnd("parameter format");
    return params;
}

Value ReadValue(ByteReader &in, WireType type)
{
    TypeLayout layout = LayoutOf(type);
    switch (layout.layout) {
    case Layout::kFixed: return IntegerValue(in.Bytes(layout.fixed_size), type);
    case Layout::kShortLen: {
        std::size_t length = in.U8();
        if (length == 0) {
            return Value::Null();
        }
        auto raw = in.Bytes(length);
        return layout.kind == Kind::kInteger ? IntegerValue(raw, type) : BytesValue(raw, layout.kind);
    }
    case Layout::kLongLen: {
        std::size_t length = in.U32();
        if (length == 0) {
            return Value::Null();
        }
        return BytesValue(in.Bytes(length), layout.kind);
    }
    case Layout::kTextPtr: {
        std::size_t pointer_length = in.U8();
        if (pointer_length == 0) {
            return Value::Null();
        }
        in.Skip(pointer_length + 8);  // text pointer and timestamp
        return BytesValue(in.Bytes(in.U32()), layout.kind);
    }
    }
    throw ProtocolError("unreachable parameter layout");
}

}  // namespace

std::vector<Param> DecodeParams(ByteReader &in, std::uint8_t format_token)
{
    std::vector<Param> params = ReadFormat(in, format_token);
    if (in.U8() != token::kParams) {
        throw ProtocolError("parameter format not followed by PARAMS");
    }
    for (Param &param : params) {
        param.value = ReadValue(in, param.type);
    }
    return params;
}

}  // namespace paagent::tds
