#include "tds/token_writer.h"

#include <limits>
#include <stdexcept>

#include "tds/protocol.h"

namespace paagent::tds {
namespace {

constexpr std::size_t kShortTextMax   = 255;
constexpr std::size_t kMessageTextMax = 1024;
constexpr std::uint8_t kIntNType      = 0x26;
constexpr std::uint8_t kInt4Type      = 0x38;
constexpr std::uint8_t kVarCharType   = 0x27;
constexpr std::uint8_t kLongCharType  = 0xAF;
// Product version 15.0.0.0 (big-endian): FreeTDS parses the capability token fully only from 12.0 on.
constexpr std::uint8_t kProductVersion[] = {15, 0, 0, 0};
constexpr std::uint8_t kTdsVersion[]     = {5, 0, 0, 0};

// Writes a u8 length and at most 255 bytes of `text`.
void short_text(ByteWriter &out, std::string_view text)
{
    text = text.substr(0, kShortTextMax);
    out.u8(static_cast<std::uint8_t>(text.size()));
    out.text(text);
}

bool is_long_text(const Column &column) { return column.max_length > kShortTextMax; }

void check_column(const Column &column)
{
    if (column.name.size() > kShortTextMax) {
        throw std::invalid_argument("column name longer than 255 bytes: " + column.name.substr(0, 32) + "...");
    }
    if (column.type == ColumnType::Text && column.max_length == 0) {
        throw std::invalid_argument("text column '" + column.name + "' needs a max_length");
    }
}

void put_int(ByteWriter &out, const Column &column, const Value &value)
{
    if (value.is_null()) {
        out.u8(0);
        return;
    }
    if (!value.is_int()) {
        throw std::invalid_argument("column '" + column.name + "' expects an integer");
    }
    std::int64_t number = value.as_int();
    if (number < std::numeric_limits<std::int32_t>::min() || number > std::numeric_limits<std::int32_t>::max()) {
        throw std::invalid_argument("value of column '" + column.name + "' exceeds 32 bits");
    }
    if (column.nullable) {
        out.u8(4);
    }
    out.i32(static_cast<std::int32_t>(number));
}

// An empty text goes out with length 0, which TDS 5.0 clients read as NULL.
void put_text(ByteWriter &out, const Column &column, const Value &value)
{
    static const std::string empty;
    if (!value.is_null() && !value.is_text()) {
        throw std::invalid_argument("column '" + column.name + "' expects text");
    }
    const std::string &text = value.is_null() ? empty : value.as_text();
    if (text.size() > column.max_length) {
        throw std::invalid_argument("value of column '" + column.name + "' is longer than " +
                                    std::to_string(column.max_length) + " bytes");
    }
    if (is_long_text(column)) {
        out.u32(static_cast<std::uint32_t>(text.size()));
    } else {
        out.u8(static_cast<std::uint8_t>(text.size()));
    }
    out.text(text);
}

}  // namespace

void put_done(TokenBuffer &buf, DoneToken kind, std::uint16_t status, std::int32_t count)
{
    ByteWriter &out = buf.out();
    out.u8(static_cast<std::uint8_t>(kind));
    out.u16(status);
    out.u16(0);  // transaction state
    out.i32(count);
    buf.end_token();
}

void put_return_status(TokenBuffer &buf, std::int32_t status)
{
    buf.out().u8(token::ReturnStatus);
    buf.out().i32(status);
    buf.end_token();
}

void put_eed(TokenBuffer &buf, const ServerMessage &message, std::string_view server_name)
{
    ByteWriter &out = buf.out();
    out.u8(token::Eed);
    std::size_t length = out.begin_length16();
    out.i32(message.number);
    out.u8(message.state);
    out.u8(message.severity);
    short_text(out, message.sqlstate.empty() ? std::string_view("ZZZZZ") : std::string_view(message.sqlstate));
    out.u8(0);   // no extended error data follows
    out.u16(0);  // transaction state
    std::string_view text = std::string_view(message.text).substr(0, kMessageTextMax);
    out.u16(static_cast<std::uint16_t>(text.size()));
    out.text(text);
    short_text(out, server_name);
    short_text(out, message.procedure);
    out.u16(message.line);
    out.end_length16(length);
    buf.end_token();
}

void put_rowfmt(TokenBuffer &buf, std::span<const Column> columns)
{
    if (columns.empty() || columns.size() > 0xFFFF) {
        throw std::invalid_argument("a result set needs 1 to 65535 columns");
    }
    ByteWriter &out = buf.out();
    out.u8(token::RowFmt);
    std::size_t length = out.begin_length16();
    out.u16(static_cast<std::uint16_t>(columns.size()));
    for (const Column &column : columns) {
        check_column(column);
        short_text(out, column.name);
        out.u8(column.nullable ? kColumnNullable : 0);
        out.i32(0);  // user type
        if (column.type == ColumnType::Int) {
            out.u8(column.nullable ? kIntNType : kInt4Type);
            if (column.nullable)
                out.u8(4);
        } else if (is_long_text(column)) {
            out.u8(kLongCharType);
            out.u32(column.max_length);
        } else {
            out.u8(kVarCharType);
            out.u8(static_cast<std::uint8_t>(column.max_length));
        }
        out.u8(0);  // locale
    }
    out.end_length16(length);
    buf.end_token();
}

void put_row(TokenBuffer &buf, std::span<const Column> columns, std::span<const Value> values)
{
    if (values.size() != columns.size()) {
        throw std::invalid_argument("row has " + std::to_string(values.size()) + " values for " +
                                    std::to_string(columns.size()) + " columns");
    }
    // Encode into a scratch writer first so a rejected value leaves no partial token behind.
    ByteWriter row;
    row.u8(token::Row);
    for (std::size_t i = 0; i < columns.size(); ++i) {
        if (values[i].is_null() && !columns[i].nullable) {
            throw std::invalid_argument("column '" + columns[i].name + "' is not nullable");
        }
        if (columns[i].type == ColumnType::Int) {
            put_int(row, columns[i], values[i]);
        } else {
            put_text(row, columns[i], values[i]);
        }
    }
    buf.out().bytes(row.data());
    buf.end_token();
}

void put_loginack(TokenBuffer &buf, bool accepted, std::string_view product_name)
{
    ByteWriter &out = buf.out();
    out.u8(token::LoginAck);
    std::size_t length = out.begin_length16();
    out.u8(accepted ? kLoginAccepted : kLoginRejected);
    out.bytes(kTdsVersion);
    short_text(out, product_name);
    out.bytes(kProductVersion);
    out.end_length16(length);
    buf.end_token();
}

void put_capability(TokenBuffer &buf, std::span<const std::uint8_t> masks)
{
    ByteWriter &out = buf.out();
    out.u8(token::Capability);
    std::size_t length = out.begin_length16();
    out.bytes(masks);
    out.end_length16(length);
    buf.end_token();
}

void put_envchange(TokenBuffer &buf, std::uint8_t type, std::string_view new_value, std::string_view old_value)
{
    ByteWriter &out = buf.out();
    out.u8(token::EnvChange);
    std::size_t length = out.begin_length16();
    out.u8(type);
    short_text(out, new_value);
    short_text(out, old_value);
    out.end_length16(length);
    buf.end_token();
}

}  // namespace paagent::tds
