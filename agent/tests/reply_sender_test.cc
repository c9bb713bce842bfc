// Sending replies over a socket pair: packets, and cutting a reply short on an attention.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include "tds/errors.h"
#include "tds/reply.h"
#include "tds/reply_sender.h"
#include "tests/bytes.h"

namespace paagent::tds::testing {
namespace {

const Bytes kAttentionAck = hex("fd 20 00 00 00 00 00 00 00");

class ReplySenderTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        int fds[2];
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
        server_ = std::make_unique<Stream>(FileDescriptor(fds[0]), stop_);
        client_ = FileDescriptor(fds[1]);
    }

    // Everything the server wrote so far.
    Bytes received()
    {
        Bytes out(1 << 20);
        ssize_t got = ::recv(client_.get(), out.data(), out.size(), MSG_DONTWAIT);
        out.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
        return out;
    }

    static TokenBuffer reply_with_rows(int rows)
    {
        Reply reply("PASRV", "p");
        reply.begin_rows({Column::text("t", 100)});
        for (int i = 0; i < rows; ++i)
            reply.add_row({std::string(100, 't')});
        return std::move(reply).finish();
    }

    const SendLimits limits_{512, 4096, std::chrono::seconds(10)};
    StopSignal stop_;
    std::unique_ptr<Stream> server_;
    FileDescriptor client_;
};

TEST_F(ReplySenderTest, SendsWholeReplyWhenNotInterrupted)
{
    TokenBuffer reply   = reply_with_rows(10);
    SendOutcome outcome = send_reply(*server_, reply, limits_);
    EXPECT_EQ(outcome.io, IoResult::Ok);
    EXPECT_FALSE(outcome.cancelled);
    std::size_t packets = (reply.bytes().size() + 503) / 504;
    EXPECT_EQ(received().size(), reply.bytes().size() + 8 * packets);
}

TEST_F(ReplySenderTest, PendingAttentionReplacesReplyWithAcknowledgement)
{
    Bytes attention = hex("06 01 00 08 00 00 00 00");
    ASSERT_EQ(::send(client_.get(), attention.data(), attention.size(), 0), 8);
    SendOutcome outcome = send_reply(*server_, reply_with_rows(10), limits_);
    EXPECT_EQ(outcome.io, IoResult::Ok);
    EXPECT_TRUE(outcome.cancelled);
    EXPECT_EQ(received(), hex("04 01 00 11 00 00 00 00") + kAttentionAck);
}

TEST_F(ReplySenderTest, RequestDuringReplyIsAProtocolError)
{
    Bytes request = hex("0f 01 00 0a 00 00 00 00 71 00");
    ASSERT_EQ(::send(client_.get(), request.data(), request.size(), 0), 10);
    EXPECT_THROW(send_reply(*server_, reply_with_rows(1), limits_), ProtocolError);
}

TEST_F(ReplySenderTest, StopSignalEndsWaits)
{
    stop_.raise();
    Bytes out(8);
    EXPECT_EQ(server_->read_exact(out, std::nullopt), IoResult::Stopped);
}

TEST(CancelledTail, CompletesTheTokenInProgressThenAcknowledges)
{
    Reply reply("PASRV", "p");
    reply.begin_rows({Column::text("t", 1000)});
    reply.add_row({std::string(1000, 't')});
    TokenBuffer tokens     = std::move(reply).finish();
    std::size_t rowfmt_end = tokens.token_ends()[0];
    std::size_t row_end    = tokens.token_ends()[1];
    std::size_t sent       = rowfmt_end + 500;  // in the middle of the row
    Bytes tail             = cancelled_tail(tokens, sent);
    Bytes expected(tokens.bytes().begin() + static_cast<std::ptrdiff_t>(sent),
                   tokens.bytes().begin() + static_cast<std::ptrdiff_t>(row_end));
    EXPECT_EQ(tail, expected + kAttentionAck);
    EXPECT_EQ(cancelled_tail(tokens, row_end), kAttentionAck);
    EXPECT_EQ(cancelled_tail(tokens, 0), kAttentionAck);
}

}  // namespace
}  // namespace paagent::tds::testing
