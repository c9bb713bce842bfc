// Where the routing table sends the requests for each kind of host, and what it refuses.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "core/agent_types.h"
#include "core/router.h"

namespace paagent {
namespace {

const std::vector<Route> kRoutes = {{"node2", "PASRV"}, {"node3", "OTHER"}, {"node4", "THIRD"}};
const Here kHere{"PASRV", "node1", true};

TEST(Router, SendsEachHostToTheAgentTheTableNames)
{
    const struct {
        const char *host;
        std::optional<std::string> peer;
    } cases[] = {
        {"", std::nullopt},      {"localhost", std::nullopt}, {"node1", std::nullopt},
        {"node2", std::nullopt}, {"node3", "OTHER"},          {"node4", "THIRD"},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(PeerOf(kRoutes, kHere, c.host), c.peer) << c.host;
        EXPECT_EQ(Serves(kRoutes, kHere, c.host), !c.peer) << c.host;
    }
}

TEST(Router, RefusesAHostTheTableDoesNotKnowUnlessItCannotForward)
{
    try {
        PeerOf(kRoutes, kHere, "node9");
        ADD_FAILURE() << "an unknown host was routed";
    } catch (const AgentError &error) {
        EXPECT_STREQ(error.what(), "no route to host node9: it is not this agent's host (node1) and the routing "
                                   "table names no agent for it");
    }
    EXPECT_FALSE(Serves(kRoutes, kHere, "node9"));
    const Here alone{"PASRV", "node1", false};
    EXPECT_EQ(PeerOf(kRoutes, alone, "node9"), std::nullopt);
    EXPECT_EQ(PeerOf(kRoutes, alone, "node3"), std::nullopt);
}

TEST(Router, ListsEveryRouteOrThoseOfThisAgent)
{
    EXPECT_EQ(Selected(kRoutes, kHere, kEveryRoute), kRoutes);
    EXPECT_EQ(Selected(kRoutes, kHere, kOwnRoutes), std::vector<Route>{kRoutes[0]});
    EXPECT_THROW(Selected(kRoutes, kHere, 2), AgentError);
}

}  // namespace
}  // namespace paagent
