// Removing a service while a start or a stop of its member waits with the agent's lock released:
// the waiting request still ends well, whichever comes first. Meant to be run under
// AddressSanitizer and ThreadSanitizer too, which report a process read after it was freed.
#include <gtest/gtest.h>

#include <functional>
#include <future>

#include "agent_fixture.h"

namespace {

using namespace paagent;
using namespace paagent::testing;

constexpr int kRounds = 40;

struct RaceCase {
    const char *what;
    const char *command;  // writes a line to the FIFO named by $FIFO, then runs on
    std::int32_t start_timeout;
    bool then_stop;  // the request that waits is a stop made once the member runs
};

// Runs a request that may be refused: the member may be removed first, or fail to start.
std::future<void> Request(std::function<void()> request)
{
    return std::async(std::launch::async, [request] {
        try {
            request();
        } catch (const AgentError &) {
        }
    });
}

// Removes the service as soon as the agent lets it, that is once its member is not running.
bool RemoveWhenAllowed(Agent &agent, const std::string &service)
{
    const auto deadline = std::chrono::steady_clock::now() + kWaitLimit;
    while (std::chrono::steady_clock::now() < deadline) {
        try {
            agent.remove_service(service);
            return true;
        } catch (const AgentError &) {
            // still running: try again
        }
    }
    return false;
}

TEST(AgentRace, RemovingAServiceWhileAStartOrAStopOfItsMemberWaits)
{
    const std::vector<RaceCase> cases = {
        {"start waiting for its member to prove itself", "echo ready > \"$FIFO\"; exit 3", 10, false},
        {"stop waiting for its member to end", "echo ready > \"$FIFO\"; exec sleep 1000", 0, true},
    };
    for (const auto &test : cases) {
        SCOPED_TRACE(test.what);
        TempDir home;
        Agent agent(OptionsLoggingTo(home.path()));
        Fifo fifo(home.path() / "fifo");
        const ProcessSpec member  = MakeProcess("member", "FIFO=" + fifo.path().string() + "; " + test.command);
        const ServiceSpec service = MakeService("racing", {member});
        for (int round = 0; round < kRounds; ++round) {
            agent.add_service(service);
            auto request = Request([&] { agent.start_process(member, test.start_timeout); });
            ASSERT_EQ(fifo.read_line(), "ready");
            if (test.then_stop) {
                request.wait();
                request = Request([&] { agent.stop_process(member.name, member.host); });
            }
            EXPECT_TRUE(RemoveWhenAllowed(agent, "racing"));
            ASSERT_EQ(request.wait_for(kWaitLimit), std::future_status::ready);
        }
        EXPECT_TRUE(agent.services(false).empty());
    }
}

}  // namespace
