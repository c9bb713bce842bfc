#include "tds/param_decoder.h"

#include "tds/errors.h"
#include "tds/protocol.h"

namespace paagent::tds {
namespace {

// How a datatype's declared length and value are laid out.
enum class Layout {
    Fixed,     // no length info; value of a fixed size
    ShortLen,  // u8 declared length; value = u8 length + bytes (0 = NULL)
    LongLen,   // u32 declared length; value = u32 length + bytes (0 = NULL)
    TextPtr,   // u32 declared length + table name; value = text pointer, timestamp, u32 length + bytes
};

enum class Kind {
    Integer,
    Unsigned,
    Character,
    Binary
};

struct TypeLayout {
    Layout layout;
    Kind kind;
    std::size_t fixed_size;
};

TypeLayout layout_of(WireType type)
{
    switch (type) {
    case WireType::Int1: return {Layout::Fixed, Kind::Unsigned, 1};
    case WireType::Bit: return {Layout::Fixed, Kind::Unsigned, 1};
    case WireType::Int2: return {Layout::Fixed, Kind::Integer, 2};
    case WireType::Int4: return {Layout::Fixed, Kind::Integer, 4};
    case WireType::Int8: return {Layout::Fixed, Kind::Integer, 8};
    case WireType::IntN: return {Layout::ShortLen, Kind::Integer, 0};
    case WireType::Char:
    case WireType::VarChar: return {Layout::ShortLen, Kind::Character, 0};
    case WireType::Binary:
    case WireType::VarBinary: return {Layout::ShortLen, Kind::Binary, 0};
    case WireType::LongChar: return {Layout::LongLen, Kind::Character, 0};
    case WireType::LongBinary: return {Layout::LongLen, Kind::Binary, 0};
    case WireType::Text: return {Layout::TextPtr, Kind::Character, 0};
    }
    throw UnsupportedRequest("unsupported parameter datatype " + hex_byte(static_cast<std::uint8_t>(type)));
}

WireType wire_type(std::uint8_t byte)
{
    switch (static_cast<WireType>(byte)) {
    case WireType::Text:
    case WireType::VarBinary:
    case WireType::IntN:
    case WireType::VarChar:
    case WireType::Binary:
    case WireType::Char:
    case WireType::Int1:
    case WireType::Bit:
    case WireType::Int2:
    case WireType::Int4:
    case WireType::LongChar:
    case WireType::Int8:
    case WireType::LongBinary: return static_cast<WireType>(byte);
    }
    throw UnsupportedRequest("unsupported parameter datatype " + hex_byte(byte));
}

std::int64_t integer_from(std::span<const std::uint8_t> raw, Kind kind)
{
    std::uint64_t bits = 0;
    for (std::size_t i = 0; i < raw.size(); ++i) {
        bits |= std::uint64_t{raw[i]} << (8 * i);
    }
    if (kind == Kind::Integer && raw.size() < 8 && (raw.back() & 0x80) != 0) {
        bits |= ~std::uint64_t{0} << (8 * raw.size());  // sign-extend
    }
    return static_cast<std::int64_t>(bits);
}

Value integer_value(std::span<const std::uint8_t> raw, WireType type)
{
    if (raw.size() != 1 && raw.size() != 2 && raw.size() != 4 && raw.size() != 8) {
        throw ProtocolError("integer value of " + std::to_string(raw.size()) + " bytes");
    }
    // A one-byte integer is TINYINT, which is unsigned in TDS.
    Kind kind = (raw.size() == 1 || type == WireType::Bit) ? Kind::Unsigned : Kind::Integer;
    return Value(integer_from(raw, kind));
}

Value bytes_value(std::span<const std::uint8_t> raw, Kind kind)
{
    std::string text(raw.begin(), raw.end());
    if (kind == Kind::Character && !text.empty() && text.back() == '\0') {
        text.pop_back();
    }
    return Value(std::move(text));
}

void read_format_entry(ByteReader &in, bool wide_status, Param &param)
{
    param.name           = in.text(in.u8());
    std::uint32_t status = wide_status ? in.u32() : in.u8();
    param.is_output      = (status & kParamIsOutput) != 0;
    in.skip(4);  // user type
    param.type = wire_type(in.u8());
    switch (layout_of(param.type).layout) {
    case Layout::Fixed: param.declared_length = 0; break;
    case Layout::ShortLen: param.declared_length = in.u8(); break;
    case Layout::LongLen: param.declared_length = in.u32(); break;
    case Layout::TextPtr:
        param.declared_length = in.u32();
        in.skip(in.u16());  // table name
        break;
    }
    in.skip(in.u8());  // locale
}

std::vector<Param> read_format(ByteReader &in, std::uint8_t format_token)
{
    bool wide                            = format_token == token::ParamFmt2;
    ByteReader body                      = in.sub(wide ? in.u32() : in.u16());
    std::size_t count                    = body.u16();
    constexpr std::size_t kSmallestEntry = 8;  // name length, status, user type, type, locale length
    if (count * kSmallestEntry > body.remaining()) {
        throw ProtocolError("parameter format announces " + std::to_string(count) + " parameters in " +
                            std::to_string(body.remaining()) + " bytes");
    }
    std::vector<Param> params(count);
    for (Param &param : params) {
        read_format_entry(body, wide, param);
    }
    body.expect_end("parameter format");
    return params;
}

Value read_value(ByteReader &in, WireType type)
{
    TypeLayout layout = layout_of(type);
    switch (layout.layout) {
    case Layout::Fixed: return integer_value(in.bytes(layout.fixed_size), type);
    case Layout::ShortLen: {
        std::size_t length = in.u8();
        if (length == 0)
            return Value::null();
        auto raw = in.bytes(length);
        return layout.kind == Kind::Integer ? integer_value(raw, type) : bytes_value(raw, layout.kind);
    }
    case Layout::LongLen: {
        std::size_t length = in.u32();
        if (length == 0)
            return Value::null();
        return bytes_value(in.bytes(length), layout.kind);
    }
    case Layout::TextPtr: {
        std::size_t pointer_length = in.u8();
        if (pointer_length == 0)
            return Value::null();
        in.skip(pointer_length + 8);  // text pointer and timestamp
        return bytes_value(in.bytes(in.u32()), layout.kind);
    }
    }
    throw ProtocolError("unreachable parameter layout");
}

}  // namespace

std::vector<Param> decode_params(ByteReader &in, std::uint8_t format_token)
{
    std::vector<Param> params = read_format(in, format_token);
    if (in.u8() != token::Params) {
        throw ProtocolError("parameter format not followed by PARAMS");
    }
    for (Param &param : params) {
        param.value = read_value(in, param.type);
    }
    return params;
}

}  // namespace paagent::tds
