// Packet framing: 8-byte headers (big-endian length), message reassembly and splitting.
#ifndef PAAGENT_TDS_PACKET_H
#define PAAGENT_TDS_PACKET_H

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "tds/protocol.h"
#include "tds/socket.h"

namespace paagent::tds {

struct PacketHeader {
    std::uint8_t type   = 0;
    std::uint8_t status = 0;
    std::size_t length  = 0;  // header included

    bool IsLast() const { return (status & kLastPacketStatus) != 0; }
};

// Throws ProtocolError for a length below the header size.
PacketHeader ParseHeader(std::span<const std::uint8_t, kHeaderSize> raw);

struct Message {
    std::uint8_t type = 0;  // type of its packets (a PacketType value)
    std::vector<std::uint8_t> payload;
};

// Reads packets until one carries the last-packet bit. Throws ProtocolError for malformed headers,
// packets of mixed types, or a payload beyond `max_payload` bytes.
IoResult ReadMessage(Stream &stream, Message &message, std::size_t max_payload, Deadline deadline);

// Appends `payload` to `out` as reply packets of at most `packet_size` bytes; the last one gets
// the last-packet bit when `ends_message`.
void AppendPackets(std::vector<std::uint8_t> &out, std::span<const std::uint8_t> payload, std::size_t packet_size,
                   bool ends_message);

}  // namespace paagent::tds

#endif  // PAAGENT_TDS_PACKET_H
