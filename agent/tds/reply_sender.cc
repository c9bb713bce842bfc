#include "tds/reply_sender.h"

#include <algorithm>
#include <vector>

#include "tds/errors.h"
#include "tds/packet.h"
#include "tds/protocol.h"

namespace paagent::tds {
namespace {

IoResult WritePackets(Stream &stream, std::span<const std::uint8_t> payload, bool ends_message,
                      const SendLimits &limits)
{
    std::vector<std::uint8_t> packets;
    AppendPackets(packets, payload, limits.packet_size, ends_message);
    return stream.WriteAll(packets, DeadlineAfter(limits.write_timeout));
}

// Reads the waiting message, which must be an attention; anything else breaks the protocol.
IoResult ReadAttention(Stream &stream, const SendLimits &limits)
{
    Message message;
    IoResult r = ReadMessage(stream, message, limits.max_request_payload, DeadlineAfter(limits.write_timeout));
    if (r == IoResult::kOk && message.type != static_cast<std::uint8_t>(PacketType::kAttention)) {
        throw ProtocolError("request of type " + HexByte(message.type) + " while a reply was in progress");
    }
    return r;
}

std::vector<std::uint8_t> AttentionAck()
{
    TokenBuffer ack;
    PutDone(ack, DoneToken::kDone, done::kAttention, 0);
    return ack.Bytes();
}

}  // namespace

std::vector<std::uint8_t> CancelledTail(const TokenBuffer &reply, std::size_t sent)
{
    const auto &ends = reply.TokenEnds();
    std::size_t cut  = sent == 0 ? 0 : *std::lower_bound(ends.begin(), ends.end(), sent);
    std::vector<std::uint8_t> tail(reply.Bytes().begin() + static_cast<std::ptrdiff_t>(sent),
                                   reply.Bytes().begin() + static_cast<std::ptrdiff_t>(cut));
    auto ack = AttentionAck();
    tail.insert(tail.end(), ack.begin(), ack.end());
    return tail;
}

SendOutcome SendReply(Stream &stream, const TokenBuffer &reply, const SendLimits &limits)
{
    std::span<const std::uint8_t> bytes = reply.Bytes();
    const std::size_t room              = limits.packet_size - kHeaderSize;
    std::size_t sent                    = 0;
    while (sent < bytes.size()) {
        if (stream.HasInput()) {
            if (IoResult r = ReadAttention(stream, limits); r != IoResult::kOk) {
                return {r, false};
            }
            return {WritePackets(stream, CancelledTail(reply, sent), true, limits), true};
        }
        std::size_t chunk = std::min(room, bytes.size() - sent);
        bool last         = sent + chunk == bytes.size();
        if (IoResult r = WritePackets(stream, bytes.subspan(sent, chunk), last, limits); r != IoResult::kOk) {
            return {r, false};
        }
        sent += chunk;
    }
    return {IoResult::kOk, false};
}

IoResult SendAttentionAck(Stream &stream, const SendLimits &limits)
{
    return WritePackets(stream, AttentionAck(), true, limits);
}

}  // namespace paagent::tds
