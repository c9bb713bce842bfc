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
    ByteWriter &Out() { return out_; }
    void EndToken() { token_ends_.push_back(out_.Size()); }

    const std::vector<std::uint8_t> &Bytes() const { return out_.Data(); }
    const std::vector<std::size_t> &TokenEnds() const { return token_ends_; }

private:
    ByteWriter out_;
    std::vector<std::size_t> token_ends_;
};

enum class DoneToken : std::uint8_t {
    kDone       = 0xFD,
    kDoneProc   = 0xFE,
    kDoneInProc = 0xFF
};

void PutDone(TokenBuffer &buf, DoneToken kind, std::uint16_t status, std::int32_t count);
void PutReturnStatus(TokenBuffer &buf, std::int32_t status);
void PutEed(TokenBuffer &buf, const ServerMessage &message, std::string_view server_name);

// Throws std::invalid_argument for column lists a client cannot describe.
void PutRowfmt(TokenBuffer &buf, std::span<const Column> columns);
// Throws std::invalid_argument when a value does not fit its column.
void PutRow(TokenBuffer &buf, std::span<const Column> columns, std::span<const Value> values);

void PutLoginack(TokenBuffer &buf, bool accepted, std::string_view product_name);
void PutCapability(TokenBuffer &buf, std::span<const std::uint8_t> masks);
void PutEnvchange(TokenBuffer &buf, std::uint8_t type, std::string_view new_value, std::string_view old_value);

}  // namespace paagent::tds

#endif  // PAAGENT_TDS_TOKEN_WRITER_H
