#include "tds/reply_sender.h"

#include <algorithm>
#include <vector>

#include "tds/errors.h"
#include "tds/packet.h"
#include "tds/protocol.h"

namespace paagent::tds {
namespace {

IoResult write_packets(Stream &stream, std::span<const std::uint8_t> payload, bool ends_message,
                       const SendLimits &limits)
{
    std::vector<std::uint8_t> packets;
    append_packets(packets, payload, limits.packet_size, ends_message);
    return stream.write_all(packets, deadline_after(limits.write_timeout));
}

// Reads the waiting message, which must be an attention; anything else breaks the protocol.
IoResult read_attention(Stream &stream, const SendLimits &limits)
{
    Message message;
    IoResult r = read_message(stream, message, limits.max_request_payload, deadline_after(limits.write_timeout));
    if (r == IoResult::Ok && message.type != static_cast<std::uint8_t>(PacketType::Attention)) {
        throw ProtocolError("request of type " + hex_byte(message.type) + " while a reply was in progress");
    }
    return r;
}

std::vector<std::uint8_t> attention_ack()
{
    TokenBuffer ack;
    put_done(ack, DoneToken::Done, done::Attention, 0);
    return ack.bytes();
}

}  // namespace

std::vector<std::uint8_t> cancelled_tail(const TokenBuffer &reply, std::size_t sent)
{
    const auto &ends = reply.token_ends();
    std::size_t cut  = sent == 0 ? 0 : *std::lower_bound(ends.begin(), ends.end(), sent);
    std::vector<std::uint8_t> tail(reply.bytes().begin() + static_cast<std::ptrdiff_t>(sent),
                                   reply.bytes().begin() + static_cast<std::ptrdiff_t>(cut));
    auto ack = attention_ack();
    tail.insert(tail.end(), ack.begin(), ack.end());
    return tail;
}

SendOutcome send_reply(Stream &stream, const TokenBuffer &reply, const SendLimits &limits)
{
    std::span<const std::uint8_t> bytes = reply.bytes();
    const std::size_t room              = limits.packet_size - kHeaderSize;
    std::size_t sent                    = 0;
    while (sent < bytes.size()) {
        if (stream.has_input()) {
            if (IoResult r = read_attention(stream, limits); r != IoResult::Ok)
                return {r, false};
            return {write_packets(stream, cancelled_tail(reply, sent), true, limits), true};
        }
        std::size_t chunk = std::min(room, bytes.size() - sent);
        bool last         = sent + chunk == bytes.size();
        if (IoResult r = write_packets(stream, bytes.subspan(sent, chunk), last, limits); r != IoResult::Ok) {
            return {r, false};
        }
        sent += chunk;
    }
    return {IoResult::Ok, false};
}

IoResult send_attention_ack(Stream &stream, const SendLimits &limits)
{
    return write_packets(stream, attention_ack(), true, limits);
}

}  // namespace paagent::tds
