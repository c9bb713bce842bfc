// Feeds a byte stream to the agent's packet reader over a socket, as a client would send it, and
// reads messages until the stream ends or breaks the framing. Every message read, split again into
// packets by the agent's writer and read back, must come back as the same payload.
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <span>
#include <vector>

#include "tds/errors.h"
#include "tds/packet.h"

namespace {

using namespace paagent::tds;

constexpr std::size_t kMaxPayload = 64 * 1024;

// A stream whose peer has written bytes and closed its end.
Stream StreamOf(std::span<const std::uint8_t> bytes, const StopSignal &stop)
{
    std::array<int, 2> fds{};
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds.data()) != 0)
        std::abort();
    FileDescriptor reader(fds[0]);
    FileDescriptor writer(fds[1]);
    int buffer = static_cast<int>(2 * (bytes.size() + kMaxPayload));
    setsockopt(writer.Get(), SOL_SOCKET, SO_SNDBUF, &buffer, sizeof buffer);
    for (std::size_t at = 0; at < bytes.size();) {
        ssize_t n = write(writer.Get(), bytes.data() + at, bytes.size() - at);
        if (n <= 0)
            std::abort();
        at += static_cast<std::size_t>(n);
    }
    return Stream(std::move(reader), stop);
}

void ExpectRoundTrip(const Message &message, std::size_t packet_size, const StopSignal &stop)
{
    std::vector<std::uint8_t> packets;
    AppendPackets(packets, message.payload, packet_size, true);
    Stream again = StreamOf(packets, stop);
    Message copy;
    if (ReadMessage(again, copy, kMaxPayload, std::nullopt) != IoResult::kOk || copy.payload != message.payload)
        std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    static const StopSignal stop;
    if (size < 1)
        return 0;
    // The first byte picks the packet size the messages are split into again.
    std::size_t packet_size = 512 + std::size_t{data[0]} * 16;
    Stream stream           = StreamOf(std::span(data + 1, size - 1), stop);
    try {
        Message message;
        while (ReadMessage(stream, message, kMaxPayload, std::nullopt) == IoResult::kOk)
            ExpectRoundTrip(message, packet_size, stop);
    } catch (const ProtocolError &) {
    }
    return 0;
}
