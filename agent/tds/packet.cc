#include "tds/packet.h"

#include <algorithm>
#include <array>

#include "tds/errors.h"

namespace paagent::tds {

PacketHeader ParseHeader(std::span<const std::uint8_t, kHeaderSize> raw)
{
    PacketHeader header{raw[0], raw[1], std::size_t{raw[2]} << 8 | raw[3]};
    if (header.length < kHeaderSize) {
        throw ProtocolError("packet length " + std::to_string(header.length) + " is below the header size");
    }
    return header;
}

IoResult ReadMessage(Stream &stream, Message &message, std::size_t max_payload, Deadline deadline)
{
    message.payload.clear();
    for (bool first = true;; first = false) {
        std::array<std::uint8_t, kHeaderSize> raw{};
        if (IoResult r = stream.ReadExact(raw, deadline); r != IoResult::kOk) {
            return r;
        }
        PacketHeader header = ParseHeader(raw);
        if (first) {
            message.type = header.type;
        } else if (header.type != message.type) {
            throw ProtocolError("packet of type " + HexByte(header.type) + " inside a message of type " +
                                HexByte(message.type));
        }
        std::size_t body = header.length - kHeaderSize;
        if (message.payload.size() + body > max_payload) {
            throw ProtocolError("message exceeds " + std::to_string(max_payload) + " bytes");
        }
        std::size_t at = message.payload.size();
        message.payload.resize(at + body);
        if (IoResult r = stream.ReadExact(std::span(message.payload).subspan(at), deadline); r != IoResult::kOk) {
            return r;
        }
        if (header.IsLast()) {
            return IoResult::kOk;
        }
    }
}

void AppendPackets(std::vector<std::uint8_t> &out, std::span<const std::uint8_t> payload, std::size_t packet_size,
                   bool ends_message)
{
    const std::size_t room = packet_size - kHeaderSize;
    std::size_t at         = 0;
    do {
        std::size_t chunk  = std::min(room, payload.size() - at);
        std::size_t length = chunk + kHeaderSize;
        bool last          = ends_message && at + chunk == payload.size();
        out.insert(out.end(),
                   {static_cast<std::uint8_t>(PacketType::kReply), last ? kLastPacketStatus : std::uint8_t{0},
                    static_cast<std::uint8_t>(length >> 8), static_cast<std::uint8_t>(length), 0, 0, 0, 0});
        out.insert(out.end(), payload.begin() + static_cast<std::ptrdiff_t>(at),
                   payload.begin() + static_cast<std::ptrdiff_t>(at + chunk));
        at += chunk;
    } while (at < payload.size());
}

}  // namespace paagent::tds
