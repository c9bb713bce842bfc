// paagentd as a whole, run as a child process: its log.
#include <gmock/gmock.h>

#include <protocol/rpc_table.h>

#include "tests/ctlib_client.h"
#include "tests/paagentd_child.h"
#include "tests/raw_client.h"

namespace paagent::tds::testing {
namespace {

using ::testing::Each;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;

// Texts a client chose, sent where the agent logs them, and how they appear in its log.
TEST(AgentLog, EscapesEveryTextAClientSent)
{
    PaagentdChild agent({"--debug", "3"});
    RawClient refused(agent.port());
    refused.log_in({"u\nFORGED user", "wrong", "h\rFORGED host\x1b[2J"}, kWaitLimit);
    RawClient accepted(agent.port());
    ASSERT_TRUE(accepted.log_in({kAgentUser, kAgentPassword, "h", "a\nFORGED app\\n"}, kWaitLimit).accepted);
    CtClient client;
    ASSERT_EQ(client.connect(agent.server(), kAgentUser, kAgentPassword), CS_SUCCEED);
    client.call("pa_Forged\nFORGED rpc", {});
    const std::string service_status(pa::protocol::kRpcs[pa::protocol::kServiceStatus].name);
    client.call(service_status, {CtParam::chars("serviceNameArg", "s\x7f\nFORGED parameter")});

    for (const char *logged :
         {"user 'u\\nFORGED user' from host 'h\\rFORGED host\\x1b[2J'", "application 'a\\nFORGED app\\\\n'",
          "unknown RPC 'pa_Forged\\nFORGED rpc'", "unknown service s\\x7f\\nFORGED parameter"}) {
        EXPECT_TRUE(agent.log().wait_for(logged)) << logged;
    }
    EXPECT_THAT(agent.log().lines(), Each(Not(StartsWith("FORGED"))));
    EXPECT_THAT(agent.log().lines(), Each(Not(HasSubstr("\r"))));
}

}  // namespace
}  // namespace paagent::tds::testing
