// Encoding server tokens, replies and packets, checked against verified wire dumps, and the
// rest of a reply an attention cut short.
#include <gtest/gtest.h>

#include <algorithm>

#include "tds/login.h"
#include "tds/packet.h"
#include "tds/reply.h"
#include "tds/reply_sender.h"
#include "tests/bytes.h"

namespace paagent::tds::testing {
namespace {

const Bytes kClientCapability =
    hex("01 0e 00 00 60 08 81 81 e8 0f 6d 7f ff ff ff fe 02 0e 00 00 00 00 00 00 00 00 00 02 68 00 00 00");
const LoginReplyOptions kOptions{"PA-Server", "PASRV", 512};

TEST(LoginReply, AcceptanceMatchesVerifiedBytes)
{
    LoginRecord login;
    login.capability = kClientCapability;
    Bytes expected   = hex("ad 13 00 05 05 00 00 00 09") + text("PA-Server") + hex("0f 00 00 00 e2 20 00") +
                     kClientCapability + hex("fd 00 00 00 00 00 00 00 00");
    EXPECT_EQ(login_accepted_reply(login, kOptions).bytes(), expected);
}

TEST(LoginReply, LargerPacketSizeIsAnnouncedBeforeDone)
{
    LoginReplyOptions options = kOptions;
    options.packet_size       = 2048;
    Bytes reply               = login_accepted_reply(LoginRecord{}, options).bytes();
    Bytes envchange           = hex("e3 0a 00 04 04") + text("2048") + hex("03") + text("512");
    EXPECT_EQ(Bytes(reply.end() - 9 - static_cast<std::ptrdiff_t>(envchange.size()), reply.end() - 9), envchange);
}

TEST(LoginReply, RejectionMatchesVerifiedBytes)
{
    Bytes expected = hex("e5 27 00 a2 0f 00 00 01 0e 05") + text("ZZZZZ") + hex("00 00 00 0d 00") +
                     text("Login failed.") + hex("05") + text("PASRV") + hex("00 00 00") +
                     hex("ad 13 00 06 05 00 00 00 09") + text("PA-Server") + hex("0f 00 00 00") +
                     hex("fd 02 00 00 00 00 00 00 00");
    EXPECT_EQ(login_rejected_reply(kOptions).bytes(), expected);
}

TEST(Reply, ResultSetMatchesVerifiedRowFormatAndEndsWithDoneProc)
{
    Reply reply("PASRV", "list");
    reply.begin_rows({Column::integer("pid", false), Column::integer("state"), Column::text("name", 30),
                      Column::text("cmdline", 8192)});
    reply.add_row({101, 4, "proc-one", "x"});
    Bytes expected = hex("ee 3b 00 04 00 03") + text("pid") + hex("00 00000000 38 00 05") + text("state") +
                     hex("20 00000000 26 04 00 04") + text("name") + hex("20 00000000 27 1e 00 07") + text("cmdline") +
                     hex("20 00000000 af 00200000 00") + hex("d1 65000000 04 04000000 08") + text("proc-one") +
                     hex("01000000") + text("x") + hex("ff 11 00 00 00 01 00 00 00") +  // DONEINPROC(MORE|COUNT, 1)
                     hex("79 00 00 00 00") + hex("fe 00 00 00 00 00 00 00 00");
    EXPECT_EQ(std::move(reply).finish().bytes(), expected);
}

TEST(Reply, FailureCarriesMessageStatusAndErrorBit)
{
    Reply reply("PASRV", "pa_Fail");
    ServerMessage message = ServerMessage::error(20001, "gone");
    message.state         = 3;
    message.line          = 42;
    reply.fail(message);
    Bytes expected = hex("e5 25 00 21 4e 00 00 03 10 05") + text("ZZZZZ") + hex("00 00 00 04 00") + text("gone") +
                     hex("05") + text("PASRV") + hex("07") + text("pa_Fail") + hex("2a 00") +
                     hex("79 fa ff ff ff fe 02 00 00 00 00 00 00 00");
    EXPECT_EQ(std::move(reply).finish().bytes(), expected);
}

TEST(Packets, SplitIntoNegotiatedSizeWithLastPacketBitAtTheEnd)
{
    Bytes payload(1100, 0x5a);
    Bytes packets;
    append_packets(packets, payload, 512, true);
    ASSERT_EQ(packets.size(), 1100u + 3 * 8);
    EXPECT_EQ(Bytes(packets.begin(), packets.begin() + 8), hex("04 00 02 00 00 00 00 00"));
    EXPECT_EQ(Bytes(packets.begin() + 512, packets.begin() + 520), hex("04 00 02 00 00 00 00 00"));
    EXPECT_EQ(Bytes(packets.begin() + 1024, packets.begin() + 1032), hex("04 01 00 64 00 00 00 00"));
}

const Bytes kAttentionAck = hex("fd 20 00 00 00 00 00 00 00");

TEST(CancelledTail, CompletesTheTokenInProgressThenAcknowledges)
{
    Reply reply("PASRV", "p");
    reply.begin_rows({Column::text("t", 1000)});
    reply.add_row({std::string(1000, 't')});
    TokenBuffer tokens     = std::move(reply).finish();
    std::size_t rowfmt_end = tokens.token_ends()[0];
    std::size_t row_end    = tokens.token_ends()[1];
    std::size_t sent       = rowfmt_end + 500;  // in the middle of the row
    Bytes expected(tokens.bytes().begin() + static_cast<std::ptrdiff_t>(sent),
                   tokens.bytes().begin() + static_cast<std::ptrdiff_t>(row_end));
    EXPECT_EQ(cancelled_tail(tokens, sent), expected + kAttentionAck);
    EXPECT_EQ(cancelled_tail(tokens, row_end), kAttentionAck);
    EXPECT_EQ(cancelled_tail(tokens, 0), kAttentionAck);
}

}  // namespace
}  // namespace paagent::tds::testing
