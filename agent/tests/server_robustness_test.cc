// Cancel, concurrent clients, malformed input and shutdown.
#include "tests/ctlib_client.h"
#include "tests/raw_client.h"
#include "tests/server_fixture.h"

namespace paagent::tds::testing {
namespace {

using RobustnessTest = ServerTest;

std::vector<std::uint8_t> packet(std::uint8_t type, std::uint8_t status, std::size_t payload_size)
{
    std::size_t length = payload_size + 8;
    std::vector<std::uint8_t> bytes(length, 0x41);
    const std::uint8_t header[8] = {type, status, static_cast<std::uint8_t>(length >> 8),
                                    static_cast<std::uint8_t>(length)};
    std::copy(std::begin(header), std::end(header), bytes.begin());
    return bytes;
}

TEST_F(RobustnessTest, CancelDuringReplyLeavesConnectionUsable)
{
    CtClient client;
    ASSERT_EQ(client.connect(kServerName, kUser, kPassword), CS_SUCCEED);
    RpcOutcome partial = client.call("many_rows", {}, 1);
    ASSERT_EQ(partial.rows.size(), 1u);
    EXPECT_EQ(partial.rows[0][0], "0");
    EXPECT_EQ(ct_cancel(client.connection(), nullptr, CS_CANCEL_ALL), CS_SUCCEED);
    EXPECT_TRUE(log_.wait_for("attention acknowledged"));

    RpcOutcome next = client.call("list_rows", {});
    EXPECT_EQ(next.last, CS_END_RESULTS);
    ASSERT_EQ(next.rows.size(), 2u);
    EXPECT_EQ(next.rows[1][0], "102");
    EXPECT_TRUE(client.client_messages.empty());
}

// The first client's handler completes only after the second client's RPC ran.
TEST_F(RobustnessTest, TwoClientsAreServedAtOnce)
{
    CtClient waiting;
    CtClient signalling;
    ASSERT_EQ(waiting.connect(kServerName, kUser, kPassword), CS_SUCCEED);
    ASSERT_EQ(signalling.connect(kServerName, kUser, kPassword), CS_SUCCEED);
    ASSERT_EQ(waiting.send("wait_for_peer", {}), CS_SUCCEED);
    EXPECT_TRUE(signalling.call("peer_signal", {}).has(CS_CMD_SUCCEED));
    RpcOutcome outcome = waiting.read_results();
    EXPECT_TRUE(outcome.has(CS_CMD_SUCCEED));
    EXPECT_FALSE(outcome.has(CS_CMD_FAIL));
}

TEST_F(RobustnessTest, StopClosesOpenConnections)
{
    CtClient client;
    ASSERT_EQ(client.connect(kServerName, kUser, kPassword), CS_SUCCEED);
    TearDown();
    EXPECT_TRUE(log_.wait_for("server stopping"));
    EXPECT_EQ(client.call("echo", {}).last, CS_FAIL);
}

struct BadInput {
    const char *name;
    std::vector<std::uint8_t> bytes;
    const char *logged;
};

void PrintTo(const BadInput &input, std::ostream *out) { *out << input.name; }

class BadInputTest : public ServerTest, public ::testing::WithParamInterface<BadInput> {};

TEST_P(BadInputTest, ClosesOnlyThatConnection)
{
    CtClient client;
    ASSERT_EQ(client.connect(kServerName, kUser, kPassword), CS_SUCCEED);
    RawClient raw(port());
    ASSERT_TRUE(raw.connected());
    raw.send(GetParam().bytes);
    EXPECT_TRUE(raw.closed_by_server(kWaitLimit));
    EXPECT_TRUE(log_.wait_for(GetParam().logged));
    EXPECT_TRUE(client.call("echo", {}).has(CS_CMD_SUCCEED));
}

std::vector<std::uint8_t> endless_message()
{
    std::vector<std::uint8_t> bytes;
    for (int i = 0; i < 20; ++i) {
        auto more = packet(0x02, 0x00, 4088);
        bytes.insert(bytes.end(), more.begin(), more.end());
    }
    return bytes;
}

INSTANTIATE_TEST_SUITE_P(
    Server, BadInputTest,
    ::testing::Values(BadInput{"LengthBelowHeader", {0x02, 0x01, 0x00, 0x04, 0, 0, 0, 0}, "below the header size"},
                      BadInput{"TruncatedLogin", packet(0x02, 0x01, 100), "is truncated"},
                      BadInput{"RequestBeforeLogin", packet(0x0F, 0x01, 10), "expected a login"},
                      BadInput{"Tds7Prelogin", packet(0x12, 0x01, 50), "TDS 7 connection attempt"},
                      BadInput{"OversizedMessage", endless_message(), "message exceeds 65536 bytes"}),
    [](const ::testing::TestParamInfo<BadInput> &case_info) { return std::string(case_info.param.name); });

}  // namespace
}  // namespace paagent::tds::testing
