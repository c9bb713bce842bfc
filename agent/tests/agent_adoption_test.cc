// A recorded PID is taken on only while it names the process the record was made for.
#include <gtest/gtest.h>

#include <functional>

#include "agent_fixture.h"
#include "core/atomic_file.h"
#include "core/state_file.h"

namespace {

using namespace paagent;
using namespace paagent::testing;

struct IdentityCase {
    const char *what;
    std::function<void(ProcessIdentity &)> recorded;  // turns the real identity into the recorded one
    bool adopted;
};

TEST(AgentAdoption, TakesOnOnlyTheProcessRecordedNotALaterOneGivenItsPid)
{
    TempDir home;
    std::filesystem::create_directories(home.path() / "logs");
    LaunchRequest request{"exec sleep 30", getuid(), {}, -1, "sleeper.log", {}};
    tds::FileDescriptor logs = open_private_directory((home.path() / "logs").string());
    request.log_directory    = logs.get();
    LaunchedChild sleeper    = launch(request);
    release(sleeper);
    GroupKiller killer;
    killer.add(sleeper.pid);

    const IdentityCase cases[] = {
        {"the same process", [](ProcessIdentity &) {}, true},
        // What a process given the PID later shows: it started at another time.
        {"a later start", [](ProcessIdentity &identity) { ++identity.start_time; }, false},
        {"another process group", [](ProcessIdentity &identity) { ++identity.group; }, false},
    };
    for (const IdentityCase &test : cases) {
        SCOPED_TRACE(test.what);
        RunningRecord record{MakeProcess("sleeper", "exec sleep 30"), sleeper.pid, sleeper.identity, {}, {}};
        test.recorded(record.identity);
        AgentOptions options = OptionsLoggingTo(home.path());
        options.state_file   = home.path() / "state";
        replace_file(options.state_file, format_state({record}), Durability::ProcessCrash);
        Agent agent(std::move(options));

        EXPECT_EQ(agent.adopt_recorded(), test.adopted ? 1 : 0);
        std::vector<pid_t> running;
        for (const ProcessView &view : agent.processes(true))
            running.push_back(view.pid);
        EXPECT_EQ(running, test.adopted ? std::vector<pid_t>{sleeper.pid} : std::vector<pid_t>{});
    }
    EXPECT_TRUE(GroupRuns(sleeper.pid));
}

// A managed process waiting for its restart when the agent ended is recorded without a PID and
// started by the next agent.
TEST(AgentAdoption, StartsAProcessThatWasWaitingForItsRestart)
{
    TempDir home;
    Fifo fifo(home.path() / "fifo");
    ProcessSpec worker   = MakeProcess("worker", "echo $$ > " + fifo.path().string() + "; exec sleep 30");
    worker.managed       = true;
    worker.retry_count   = 3;
    AgentOptions options = OptionsLoggingTo(home.path());
    options.state_file   = home.path() / "state";
    replace_file(options.state_file, format_state({RunningRecord{worker, 0, {}, {}, {}}}), Durability::ProcessCrash);
    Agent agent(std::move(options));

    EXPECT_EQ(agent.adopt_recorded(), 1);
    const std::vector<long> started = fifo.read_numbers();
    ASSERT_EQ(started.size(), 1u);
    GroupKiller killer;
    killer.add(static_cast<pid_t>(started[0]));
    EXPECT_TRUE(GroupRuns(static_cast<pid_t>(started[0])));
}

}  // namespace
