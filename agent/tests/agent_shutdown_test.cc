// Shutting the agent down ends every wait a request makes at once, and refuses new requests that
// would start or stop anything.
#include <gtest/gtest.h>

#include <future>

#include "agent_fixture.h"

namespace {

using namespace paagent;
using namespace paagent::testing;

// Far within the waits below (a start's time-out and the grace period), so that only a wait
// the shut-down ended can end within it.
constexpr std::chrono::seconds kPromptly{10};

struct WaitCase {
    const char *what;
    const char *command;  // writes its group's id to the FIFO named by $FIFO, then runs on
    ProcessType type;
    std::int32_t start_timeout;
    bool then_stop;  // the request that waits is a stop made once the process runs
};

TEST(AgentShutDown, EndsTheWaitsOfRequestsInProgress)
{
    const std::vector<WaitCase> cases = {
        {"a start waiting for a report", "echo $$ > \"$FIFO\"; exec sleep 1000", ProcessType::PaAware, 60, false},
        {"a stop waiting for a process that ignores SIGTERM", "trap '' TERM; echo $$ > \"$FIFO\"; exec sleep 1000",
         ProcessType::NotPaAware, 0, true},
    };
    for (const auto &test : cases) {
        SCOPED_TRACE(test.what);
        TempDir home;
        AgentOptions options = OptionsLoggingTo(home.path());
        options.grace        = kMaxGrace;
        Agent agent(std::move(options));
        Fifo fifo(home.path() / "fifo");
        const ProcessSpec process =
            MakeProcess("waited", "FIFO=" + fifo.path().string() + "; " + test.command, test.type);
        auto request     = std::async(std::launch::async, [&] { agent.start_process(process, test.start_timeout); });
        const auto group = fifo.read_numbers();
        ASSERT_EQ(group.size(), 1u);
        GroupKiller killer;
        killer.add(static_cast<pid_t>(group[0]));
        if (test.then_stop) {
            request.get();
            request = std::async(std::launch::async, [&] { agent.stop_process(process.name, process.host); });
        }

        agent.shut_down(false);
        ASSERT_EQ(request.wait_for(kPromptly), std::future_status::ready);
        EXPECT_THROW(request.get(), AgentError);
        EXPECT_THROW(agent.start_process(MakeProcess("late", "exit 0"), 0), AgentError);
        EXPECT_THROW(agent.stop_process("waited", "node1"), AgentError);
    }
}

}  // namespace
