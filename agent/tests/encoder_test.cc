// Encoding server tokens, replies and packets, checked against verified wire dumps.
#include <gtest/gtest.h>

#include <algorithm>

#include "tds/login.h"
#include "tds/packet.h"
#include "tds/reply.h"
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

TEST(Reply, RejectsMisuse)
{
    Reply reply("PASRV", "p");
    EXPECT_THROW(reply.add_row({1}), std::logic_error);
    EXPECT_THROW(reply.begin_rows({}), std::invalid_argument);
    EXPECT_THROW(reply.begin_rows({Column::text("t", 0)}), std::invalid_argument);
    reply.begin_rows({Column::integer("n", false), Column::text("t", 3)});
    EXPECT_THROW(reply.add_row({1}), std::invalid_argument);                   // too few values
    EXPECT_THROW(reply.add_row({"1", "a"}), std::invalid_argument);            // text in an int column
    EXPECT_THROW(reply.add_row({1, "abcd"}), std::invalid_argument);           // longer than the column
    EXPECT_THROW(reply.add_row({Value::null(), "a"}), std::invalid_argument);  // NULL in a non-nullable column
    EXPECT_THROW(reply.add_row({std::int64_t{1} << 40, "a"}), std::invalid_argument);
    reply.add_row({1, "abc"});
    Bytes bytes = std::move(reply).finish().bytes();
    EXPECT_EQ(std::count(bytes.begin(), bytes.end(), 0xd1), 1);  // only the valid row was written
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

}  // namespace
}  // namespace paagent::tds::testing
