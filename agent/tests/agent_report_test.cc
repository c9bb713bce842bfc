// A PA-aware process reporting its PID: accepted only while its start waits for the report, and
// only for the process itself or one of its descendants.
#include <gtest/gtest.h>

#include <functional>
#include <future>

#include "agent_fixture.h"

namespace {

using namespace paagent;
using namespace paagent::testing;

// What the started process told: its process id, its own PID and the PID of a child it started.
struct Told {
    std::int32_t id = 0;
    pid_t self      = 0;
    pid_t child     = 0;
};

struct ReportCase {
    const char *what;
    std::int32_t timeout;  // of the start; 0 does not wait for a report
    std::function<pid_t(const Told &)> reported;
    bool accepted;
};

TEST(AgentReport, OnlyAWaitedForReportOfTheProcessOrADescendantIsAccepted)
{
    const std::vector<ReportCase> cases = {
        {"its own PID", 10, [](const Told &told) { return told.self; }, true},
        {"a descendant's PID", 10, [](const Told &told) { return told.child; }, true},
        {"the PID of a process outside it", 10, [](const Told &) { return getpid(); }, false},
        {"PID 1", 10, [](const Told &) { return pid_t{1}; }, false},
        {"its own PID when no start waits", 0, [](const Told &told) { return told.self; }, false},
    };
    for (const auto &test : cases) {
        SCOPED_TRACE(test.what);
        TempDir home;
        Agent agent(OptionsLoggingTo(home.path()));
        Fifo fifo(home.path() / "fifo");
        ProcessSpec aware = MakeProcess(
            "aware", "sleep 1000 & echo $PA_PROCESS_ID $$ $! > " + fifo.path().string() + "; exec sleep 1000",
            ProcessType::PaAware);
        auto started    = std::async(std::launch::async, [&] { agent.start_process(aware, test.timeout); });
        const auto told = fifo.read_numbers();
        ASSERT_EQ(told.size(), 3u);
        GroupKiller killer;
        killer.add(static_cast<pid_t>(told[1]));
        const Told process{static_cast<std::int32_t>(told[0]), static_cast<pid_t>(told[1]),
                           static_cast<pid_t>(told[2])};
        if (test.timeout == 0) {
            ASSERT_NO_THROW(started.get());
        }

        const pid_t reported = test.reported(process);
        if (test.accepted) {
            EXPECT_NO_THROW(agent.report_pid(process.id, reported));
            EXPECT_NO_THROW(started.get());
            EXPECT_EQ(agent.process_status("aware", "node1").pid, reported);
        } else {
            EXPECT_THROW(agent.report_pid(process.id, reported), AgentError);
            EXPECT_EQ(agent.process_status("aware", "node1").pid, process.self);
        }
        agent.stop_process("aware", "node1");
        if (started.valid())
            started.wait();
    }
}

}  // namespace
