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
void ShortText(ByteWriter &out, std::string_view text)
{
    text = text.substr(0, kShortTextMax);
    out.U8(static_cast<std::uint8_t>(text.size()));
    out.Text(text);
}

bool IsLongText(const Column &column) { return column.max_length > kShortTextMax; }

void CheckColumn(const Column &column)
{
    if (column.name.size() > kShortTextMax) {
        throw std::invalid_argument("column name longer than 255 bytes: " + column.name.substr(0, 32) + "...");
    }
    if (column.type == ColumnType::kText && column.max_length == 0) {
        throw std::invalid_argument("text column '" + column.name + "' needs a max_length");
    }
}

void PutInt(ByteWriter &out, const Column &column, const Value &value)
{
    if (value.IsNull()) {
        out.U8(0);
        return;
    }
    if (!value.IsInt()) {
        throw std::invalid_argument("column '" + column.name + "' expects an integer");
    }
    std::int64_t number = value.AsInt();
    if (number < std::numeric_limits<std::int32_t>::min() || number > std::numeric_limits<std::int32_t>::max()) {
        throw std::invalid_argument("value of column '" + column.name + "' exceeds 32 bits");
    }
    if (column.nullable) {
        out.U8(4);
    }
    out.I32(static_cast<std::int32_t>(number));
}

// An empty text goes out with length 0, which TDS 5.0 clients read as NULL.
void PutText(ByteWriter &out, const Column &column, const Value &value)
{
    static const std::string kEmpty;
    if (!value.IsNull() && !value.IsText()) {
        throw std::invalid_argument("column '" + column.name + "' expects text");
    }
    const std::string &text = value.IsNull() ? kEmpty : value.AsText();
    if (text.size() > column.max_length) {
        throw std::invalid_argument("value of column '" + column.name + "' is longer than " +
                                    std::to_string(column.max_length) + " bytes");
    }
    if (IsLongText(column)) {
        out.U32(static_cast<std::uint32_t>(text.size()));
    } else {
        out.U8(static_cast<std::uint8_t>(text.size()));
    }
    out.Text(text);
}

}  // namespace

void PutDone(TokenBuffer &buf, DoneToken kind, std::uint16_t status, std::int32_t count)
{
    ByteWriter &out = buf.Out();
    out.U8(static_cast<std::uint8_t>(kind));
    out.U16(status);
    out.U16(0);  // transaction state
    out.I32(count);
    buf.EndToken();
}

void PutReturnStatus(TokenBuffer &buf, std::int32_t status)
{
    buf.Out().U8(token::kReturnStatus);
    buf.Out().I32(status);
    buf.EndToken();
}

void PutEed(TokenBuffer &buf, const ServerMessage &message, std::string_view server_name)
{
    ByteWriter &out = buf.Out();
    out.U8(token::kEed);
    std::size_t length = out.BeginLength16();
    out.I32(message.number);
    out.U8(message.state);
    out.U8(message.severity);
    ShortText(out, message.sqlstate.empty() ? std::string_view("ZZZZZ") : std::string_view(message.sqlstate));
    out.U8(0);   // no extended error data follows
    out.U16(0);  // transaction state
    std::string_view text = std::string_view(message.text).substr(0, kMessageTextMax);
    out.U16(static_cast<std::uint16_t>(text.size()));
    out.Text(text);
    ShortText(out, server_name);
    ShortText(out, message.procedure);
    out.U16(message.line);
    out.EndLength16(length);
    buf.EndToken();
}

void PutRowfmt(TokenBuffer &buf, std::span<const Column> columns)
{
    if (columns.empty() || columns.size() > 0xFFFF) {
        throw std::invalid_argument("a result set needs 1 to 65535 columns");
    }
    ByteWriter &out = buf.Out();
    out.U8(token::kRowFmt);
    std::size_t length = out.BeginLength16();
    out.U16(static_cast<std::uint16_t>(columns.size()));
    for (const Column &column : columns) {
        CheckColumn(column);
        ShortText(out, column.name);
        out.U8(column.nullable ? kColumnNullable : 0);
        out.I32(0);  // user type
        if (column.type == ColumnType::kInt) {
            out.U8(column.nullable ? kIntNType : kInt4Type);
            if (column.nullable) {
                out.U8(4);
            }
        } else if (IsLongText(column)) {
            out.U8(kLongCharType);
            out.U32(column.max_length);
        } else {
            out.U8(kVarCharType);
            out.U8(static_cast<std::uint8_t>(column.max_length));
        }
        out.U8(0);  // locale
    }
    out.EndLength16(length);
    buf.EndToken();
}

void PutRow(TokenBuffer &buf, std::span<const Column> columns, std::span<const Value> values)
{
    if (values.size() != columns.size()) {
        throw std::invalid_argument("row has " + std::to_string(values.size()) + " values for " +
                                    std::to_string(columns.size()) + " columns");
    }
    // Encode into a scratch writer first so a rejected value leaves no partial token behind.
    ByteWriter row;
    row.U8(token::kRow);
    for (std::size_t i = 0; i < columns.size(); ++i) {
        if (values[i].IsNull() && !columns[i].nullable) {
            throw std::invalid_argument("column '" + columns[i].name + "' is not nullable");
        }
        if (columns[i].type == ColumnType::kInt) {
            PutInt(row, columns[i], values[i]);
        } else {
            PutText(row, columns[i], values[i]);
        }
    }
    buf.Out().Bytes(row.Data());
    buf.EndToken();
}

void PutLoginack(TokenBuffer &buf, bool accepted, std::string_view product_name)
{
    ByteWriter &out = buf.Out();
    out.U8(token::kLoginAck);
    std::size_t length = out.BeginLength16();
    out.U8(accepted ? kLoginAccepted : kLoginRejected);
    out.Bytes(kTdsVersion);
    ShortText(out, product_name);
    out.Bytes(kProductVersion);
    out.EndLength16(length);
    buf.EndToken();
}

void PutCapability(TokenBuffer &buf, std::span<const std::uint8_t> masks)
{
    ByteWriter &out = buf.Out();
    out.U8(token::kCapability);
    std::size_t length = out.BeginLength16();
    out.Bytes(masks);
    out.EndLength16(length);
    buf.EndToken();
}

void PutEnvchange(TokenBuffer &buf, std::uint8_t type, std::string_view new_value, std::string_view old_value)
{
    ByteWriter &out = buf.Out();
    out.U8(token::kEnvChange);
    std::size_t length = out.BeginLength16();
    out.U8(type);
    ShortText(out, new_value);
    ShortText(out, old_value);
    out.EndLength16(length);
    buf.EndToken();
}

}  // namespace paagent::tds
