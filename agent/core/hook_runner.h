// Running the program the agent is given for each event, on a thread of its own: a slow or
// failing program holds up no request and no process.
#ifndef PAAGENT_CORE_HOOK_RUNNER_H
#define PAAGENT_CORE_HOOK_RUNNER_H

#include <chrono>
#include <csignal>
#include <cstddef>
#include <deque>
#include <filesystem>
#include <functional>
#include <list>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "core/agent_types.h"
#include "core/records.h"
#include "tds/socket.h"

namespace paagent {

// Hooks that run at once; the events beyond wait in a queue of kHooksQueued, and those beyond
// that are dropped.
inline constexpr std::size_t kHooksAtOnce = 4;
inline constexpr std::size_t kHooksQueued = 1000;

struct HookOptions {
    std::filesystem::path program;  // run directly, with the event in its environment
    std::chrono::milliseconds timeout{10'000};
    std::function<void(Verbosity, const std::string &)> log;
};

// The environment of a hook: the agent's own without PA_EVENT_*, and PA_EVENT_* of the event's
// values (those it has not are unset).
std::vector<std::string> HookEnvironment(const agentclient::Event &event);

// Runs the program for each event handed to it, in order, each in a process group of its own
// that is killed after the time-out; the program's output goes to the log line by line. The
// hooks are the agent's children, and the supervisor, the agent's subreaper, reaps every child
// it does not know: it hands their ends to ChildEnded, and the runner learns its hooks' ends
// from their pidfds or from there, whichever comes first.
class HookRunner {
public:
    explicit HookRunner(HookOptions options);
    // Lets the hooks queued and running end within one time-out, and kills those left.
    ~HookRunner();
    HookRunner(const HookRunner &)            = delete;
    HookRunner &operator=(const HookRunner &) = delete;

    // Queues the event's hook; never waits for the hooks.
    void Enqueue(const agentclient::Event &event);
    // A child of the agent that another part reaped: a hook's end when it was one.
    void ChildEnded(const siginfo_t &child);

private:
    struct Hook;
    using Clock = std::chrono::steady_clock;

    void Loop();
    // Takes from the queue the events whose hooks may start now; whether the runner is done.
    bool TakeQueued(std::deque<agentclient::Event> &starting, std::optional<Clock::time_point> &give_up);
    // The following run with mutex_ held.
    void Launch(const agentclient::Event &event);
    void Watch(Hook &hook, short events, Clock::time_point now);
    void ReadOutput(Hook &hook);
    void LogLine(const Hook &hook, const std::string &line) const;
    void Finish(Hook &hook);
    void Log(Verbosity verbosity, const std::string &text) const;

    const HookOptions options_;
    tds::FileDescriptor wake_;  // an eventfd
    // The queue has a lock of its own, so that an event is queued without waiting for a launch.
    std::mutex queue_mutex_;
    std::deque<agentclient::Event> queue_;
    std::size_t dropped_ = 0;  // since the queue was last full
    bool stopping_       = false;
    std::mutex mutex_;  // of the hooks that run, which ChildEnded looks up
    std::list<Hook> running_;
    std::thread thread_;
};

}  // namespace paagent

#endif  // PAAGENT_CORE_HOOK_RUNNER_H
