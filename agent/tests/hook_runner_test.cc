// The hooks run for events: what a hook sees, what it says, and its end, however it ends.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <mutex>

#include "agent_fixture.h"
#include "core/hook_runner.h"

namespace paagent {
namespace {

using namespace paagent::testing;
namespace fs = std::filesystem;

// The lines a runner logs, looked at from the test's thread.
class LogLines {
public:
    std::function<void(Verbosity, const std::string &)> Sink()
    {
        return [this](Verbosity, const std::string &line) {
            std::lock_guard lock(mutex_);
            lines_.push_back(line);
        };
    }
    bool Has(const std::string &part)
    {
        std::lock_guard lock(mutex_);
        return std::any_of(lines_.begin(), lines_.end(),
                           [&](const std::string &line) { return line.find(part) != std::string::npos; });
    }

private:
    std::mutex mutex_;
    std::vector<std::string> lines_;
};

fs::path WriteHook(const fs::path &directory, const std::string &body)
{
    const fs::path hook = directory / "hook";
    std::ofstream(hook) << "#!/bin/sh\n" << body;
    fs::permissions(hook, fs::perms::owner_all);
    return hook;
}

TEST(HookRunnerTest, HookSeesTheEventAndWhatItSaysAndHowItEndsIsLogged)
{
    TempDir home;
    const fs::path seen = home.Path() / "environment";
    const fs::path hook =
        WriteHook(home.Path(), "env | grep '^PA_EVENT_' | sort > " + seen.string() + ".part\n" + "mv " + seen.string() +
                                   ".part " + seen.string() + "\necho first line\nprintf 'no end'\nexit 3\n");
    LogLines log;
    agentclient::Event event;
    event.cursor  = 7;
    event.time_ms = 123;
    event.kind    = EventKind::kExited;
    event.process = "p";
    event.host    = "h";
    event.pid     = 42;
    event.signal  = 9;
    event.message = "two words";
    {
        HookRunner runner({hook, 10s, log.Sink()});
        runner.Enqueue(event);
        const std::string label = "hook " + hook.string() + " (event 7)";
        EXPECT_TRUE(Eventually([&] { return log.Has(label + " exited with status 3"); }));
        EXPECT_TRUE(log.Has(label + ": first line"));
        EXPECT_TRUE(log.Has(label + ": no end"));
    }
    EXPECT_EQ(ReadLog(seen), "PA_EVENT_CURSOR=7\nPA_EVENT_HOST=h\nPA_EVENT_KIND=exited\nPA_EVENT_MESSAGE=two words\n"
                             "PA_EVENT_PID=42\nPA_EVENT_PROCESS=p\nPA_EVENT_SIGNAL=9\nPA_EVENT_TIME=123\n");
}

TEST(HookRunnerTest, HookPastItsTimeOutIsKilledWithItsGroup)
{
    TempDir home;
    const fs::path group = home.Path() / "group";
    const fs::path hook  = WriteHook(home.Path(), "echo $$ > " + group.string() + "\nsleep 1000 &\nwait\n");
    LogLines log;
    HookRunner runner({hook, 200ms, log.Sink()});
    runner.Enqueue(NewEvent(EventKind::kReloaded));
    ASSERT_TRUE(Eventually([&] { return !ReadLog(group).empty(); }));
    const GroupKiller leftover{std::stoi(ReadLog(group))};
    EXPECT_TRUE(Eventually([&] { return log.Has("ran past 200 ms; killed"); }));
    EXPECT_TRUE(Eventually([&] { return log.Has("was killed by signal 9"); }));
    EXPECT_TRUE(Eventually([&] { return !GroupRuns(leftover.group); }));
}

}  // namespace
}  // namespace paagent
