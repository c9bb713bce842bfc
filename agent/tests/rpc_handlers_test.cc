// Registering the agent's RPCs: every RPC the contract says clients call finds its handler.
#include <gtest/gtest.h>

#include "core/rpc_handlers.h"

namespace {

using namespace paagent;

TEST(RegisterRpcs, FindsAHandlerForEveryCalledRpc)
{
    Agent agent(AgentOptions{});
    tds::Server server(tds::ServerConfig{});
    EXPECT_NO_THROW(register_rpcs(server, agent, [](bool) {}));
}

}  // namespace
