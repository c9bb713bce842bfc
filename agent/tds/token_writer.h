// Encoders for the tokens a TDS 5.0 server sends, appended to a TokenBuffer.
#ifndef PAAGENT_TDS_TOKEN_WRITER_H
#define PAAGENT_TDS_TOKEN_WRITER_H

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "tds/byte_writer.h"
#include "tds/reply_types.h"
#include "tds/value.h"

namespace paagent::tds {

// Reply bytes plus the offset just past each complete token, so a cancelled reply can be cut
// at a token boundary.
class TokenBuffer {
public:
    ByteWriter &out() { return out_; }
    void end_token() { token_ends_.push_back(out_.size()); }

    const std::vector<std::uint8_t> &bytes() const { return out_.data(); }
    const std::vector<std::size_t> &token_ends() const { return token_ends_; }

private:
    ByteWriter out_;
    std::vector<std::size_t> token_ends_;
};

enum class DoneToken : std::uint8_t {
    Done       = 0xFD,
    DoneProc   = 0xFE,
    DoneInProc = 0xFF
};

void put_done(TokenBuffer &buf, DoneToken kind, std::uint16_t status, std::int32_t count);
void put_return_status(TokenBuffer &buf, std::int32_t status);
void put_eed(TokenBuffer &buf, const ServerMessage &message, std::string_view server_name);

// Throws std::invalid_argument for column lists a client cannot describe.
void put_rowfmt(TokenBuffer &buf, std::span<const Column> columns);
// Throws std::invalid_argument when a value does not fit its column.
void put_row(TokenBuffer &buf, std::span<const Column> columns, std::span<const Value> values);

void put_loginack(TokenBuffer &buf, bool accepted, std::string_view product_name);
void put_capability(TokenBuffer &buf, std::span<const std::uint8_t> masks);
void put_envchange(TokenBuffer &buf, std::uint8_t type, std::string_view new_value, std::string_view old_value);

}  // namespace paagent::tds

#endif  // PAAGENT_TDS_TOKEN_WRITER_H
