// A managed process that fails again and again is restarted after delays that double, within
// its retry count.
#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>

#include "agent_fixture.h"

namespace {

using namespace paagent;
using namespace paagent::testing;
using Clock = std::chrono::steady_clock;

// The agent's log lines with the time each was written.
struct TimedLog {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::pair<Clock::time_point, std::string>> lines;

    std::vector<Clock::time_point> times_of(const std::string &prefix)
    {
        std::vector<Clock::time_point> times;
        for (const auto &[time, text] : lines) {
            if (text.starts_with(prefix))
                times.push_back(time);
        }
        return times;
    }
};

TEST(AgentBackoff, RestartsAfterDelaysThatDoubleThenGivesUp)
{
    TempDir home;
    auto log              = std::make_shared<TimedLog>();
    AgentOptions options  = OptionsLoggingTo(home.path());
    options.restart_delay = 20ms;
    options.log           = [log](Verbosity, const std::string &text) {
        std::lock_guard lock(log->mutex);
        log->lines.emplace_back(Clock::now(), text);
        log->changed.notify_all();
    };
    Agent agent(std::move(options));
    ProcessSpec failing = MakeProcess("failing", "exit 3");
    failing.managed     = true;
    failing.retry_count = 4;
    agent.start_process(failing, 0);

    std::vector<Clock::time_point> starts;
    {
        // The agent logs under its own lock: the agent is not called while the log's is held.
        std::unique_lock lock(log->mutex);
        ASSERT_TRUE(log->changed.wait_for(lock, kWaitLimit, [&] {
            return !log->times_of("process failing").empty() &&
                   log->lines.back().second.find("giving up") != std::string::npos;
        }));
        starts = log->times_of("started process failing");
    }
    ASSERT_EQ(starts.size(), 5u);
    for (std::size_t i = 1; i < starts.size(); ++i)
        EXPECT_GE(starts[i] - starts[i - 1], 20ms * (1 << (i - 1))) << "restart " << i;
    EXPECT_EQ(agent.process_status("failing", "node1").state, ProcessState::Failed);
}

}  // namespace
