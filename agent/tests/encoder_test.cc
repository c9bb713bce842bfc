// Encoding replies and packets, checked against verified wire dumps, and the rest of a reply an
// attention cut short. Login replies and result sets are read by the real Client-Library in the
// end-to-end tests.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include "tds/errors.h"
#include "tds/packet.h"
#include "tds/reply.h"
#include "tds/reply_sender.h"
#include "tests/bytes.h"

namespace paagent::tds::testing {
namespace {

TEST(Reply, FailureCarriesMessageStatusAndErrorBit)
{
    Reply reply("PASRV", "pa_Fail");
    ServerMessage message = ServerMessage::Error(20001, "gone");
    message.state         = 3;
    message.line          = 42;
    reply.Fail(message);
    Bytes expected = Hex("e5 25 00 21 4e 00 00 03 10 05") + Text("ZZZZZ") + Hex("00 00 00 04 00") + Text("gone") +
                     Hex("05") + Text("PASRV") + Hex("07") + Text("pa_Fail") + Hex("2a 00") +
                     Hex("79 fa ff ff ff fe 02 00 00 00 00 00 00 00");
    EXPECT_EQ(std::move(reply).Finish().Bytes(), expected);
}

TEST(Packets, SplitIntoNegotiatedSizeWithLastPacketBitAtTheEnd)
{
    Bytes payload(1100, 0x5a);
    Bytes packets;
    AppendPackets(packets, payload, 512, true);
    ASSERT_EQ(packets.size(), 1100u + 3 * 8);
    EXPECT_EQ(Bytes(packets.begin(), packets.begin() + 8), Hex("04 00 02 00 00 00 00 00"));
    EXPECT_EQ(Bytes(packets.begin() + 512, packets.begin() + 520), Hex("04 00 02 00 00 00 00 00"));
    EXPECT_EQ(Bytes(packets.begin() + 1024, packets.begin() + 1032), Hex("04 01 00 64 00 00 00 00"));
}

// A request of exactly the largest payload is read whole; one byte less of room refuses it.
TEST(Packets, AMessageOfTheLargestPayloadIsReadAndALargerOneRefused)
{
    const StopSignal stop;
    const Bytes payload(1100, 0x5a);
    Bytes packets;
    AppendPackets(packets, payload, 512, true);
    for (const std::size_t largest : {payload.size(), payload.size() - 1}) {
        int ends[2] = {-1, -1};
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends), 0);
        const FileDescriptor writer(ends[1]);
        Stream stream(FileDescriptor{ends[0]}, stop);
        ASSERT_EQ(write(writer.Get(), packets.data(), packets.size()), static_cast<ssize_t>(packets.size()));
        Message message;
        if (largest == payload.size()) {
            EXPECT_EQ(ReadMessage(stream, message, largest, std::nullopt), IoResult::kOk);
            EXPECT_EQ(message.payload, payload);
        } else {
            EXPECT_THROW(ReadMessage(stream, message, largest, std::nullopt), ProtocolError);
        }
    }
}

const Bytes kAttentionAck = Hex("fd 20 00 00 00 00 00 00 00");

TEST(CancelledTail, CompletesTheTokenInProgressThenAcknowledges)
{
    Reply reply("PASRV", "p");
    reply.BeginRows({Column::Text("t", 1000)});
    reply.AddRow({std::string(1000, 't')});
    TokenBuffer tokens     = std::move(reply).Finish();
    std::size_t rowfmt_end = tokens.TokenEnds()[0];
    std::size_t row_end    = tokens.TokenEnds()[1];
    std::size_t sent       = rowfmt_end + 500;  // in the middle of the row
    Bytes expected(tokens.Bytes().begin() + static_cast<std::ptrdiff_t>(sent),
                   tokens.Bytes().begin() + static_cast<std::ptrdiff_t>(row_end));
    EXPECT_EQ(CancelledTail(tokens, sent), expected + kAttentionAck);
    EXPECT_EQ(CancelledTail(tokens, row_end), kAttentionAck);
    EXPECT_EQ(CancelledTail(tokens, 0), kAttentionAck);
}

}  // namespace
}  // namespace paagent::tds::testing
