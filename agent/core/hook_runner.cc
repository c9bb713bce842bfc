#include "core/hook_runner.h"

#include <algorithm>
#include <cerrno>
#include <optional>
#include <poll.h>
#include <sys/eventfd.h>
#include <system_error>
#include <unistd.h>
#include <vector>

#include <protocol/events.h>

#include "core/group_child.h"
#include "core/spawn.h"

namespace paagent {

namespace {

constexpr std::string_view kPrefix = "PA_EVENT_";

void Add(std::vector<std::string> &environment, std::string_view name, const std::string &value)
{
    environment.push_back(std::string(kPrefix) + std::string(name) + "=" + value);
}

void Add(std::vector<std::string> &environment, std::string_view name, const std::optional<std::string> &value)
{
    if (value) {
        Add(environment, name, *value);
    }
}

}  // namespace

struct HookRunner::Hook {
    Hook(std::int64_t cursor, const std::vector<std::string> &argv, const std::vector<std::string> &environment,
         Clock::time_point deadline)
        : event(cursor), child(argv, &environment, deadline)
    {
    }

    std::int64_t event = 0;
    GroupChild child;
    std::string partial;  // the start of a line not ended yet
};

std::vector<std::string> HookEnvironment(const agentclient::Event &event)
{
    std::vector<std::string> environment = InheritedEnvironment();
    std::erase_if(environment, [](const std::string &entry) { return entry.starts_with(kPrefix); });
    Add(environment, "KIND", std::string(pa::protocol::EventKindName(static_cast<std::int32_t>(event.kind))));
    Add(environment, "PROCESS", event.process);
    Add(environment, "SERVICE", event.service);
    Add(environment, "HOST", event.host);
    if (event.pid != 0) {
        Add(environment, "PID", std::to_string(event.pid));
    }
    if (event.status >= 0) {
        Add(environment, "STATUS", std::to_string(event.status));
    }
    if (event.signal != 0) {
        Add(environment, "SIGNAL", std::to_string(event.signal));
    }
    Add(environment, "MESSAGE", event.message);
    Add(environment, "USER", event.user);
    Add(environment, "CURSOR", std::to_string(event.cursor));
    Add(environment, "TIME", std::to_string(event.time_ms));
    return environment;
}

HookRunner::HookRunner(HookOptions options)
    : options_(std::move(options)), wake_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
{
    if (!wake_.Valid()) {
        throw std::system_error(errno, std::generic_category(), "eventfd");
    }
    thread_ = std::thread([this] { Loop(); });
}

HookRunner::~HookRunner()
{
    {
        std::lock_guard lock(queue_mutex_);
        stopping_ = true;
    }
    const std::uint64_t one = 1;
    (void)!write(wake_.Get(), &one, sizeof one);
    thread_.join();
}

void HookRunner::Log(Verbosity verbosity, const std::string &text) const
{
    if (options_.log) {
        options_.log(verbosity, text);
    }
}

void HookRunner::Enqueue(const agentclient::Event &event)
{
    {
        std::lock_guard lock(queue_mutex_);
        if (stopping_ || queue_.size() >= kHooksQueued) {
            ++dropped_;
            return;
        }
        queue_.push_back(event);
    }
    const std::uint64_t one = 1;
    (void)!write(wake_.Get(), &one, sizeof one);
}

void HookRunner::ChildEnded(const siginfo_t &child)
{
    {
        std::lock_guard lock(mutex_);
        if (std::none_of(running_.begin(), running_.end(), [&child](Hook &hook) { return hook.child.Ended(child); })) {
            return;
        }
    }
    const std::uint64_t one = 1;
    (void)!write(wake_.Get(), &one, sizeof one);
}

void HookRunner::Launch(const agentclient::Event &event)
{
    const std::string program = options_.program.string();
    try {
        running_.emplace_back(event.cursor, std::vector<std::string>{program}, HookEnvironment(event),
                              Clock::now() + options_.timeout);
    } catch (const std::system_error &error) {
        Log(Verbosity::kError,
            "hook " + program + " (event " + std::to_string(event.cursor) + ") cannot run: " + error.what());
    }
}

void HookRunner::LogLine(const Hook &hook, const std::string &line) const
{
    Log(Verbosity::kEvent,
        "hook " + options_.program.string() + " (event " + std::to_string(hook.event) + "): " + line);
}

void HookRunner::ReadOutput(Hook &hook)
{
    hook.child.ReadOutput([this, &hook](std::string_view text) {
        hook.partial.append(text);
        for (auto end = hook.partial.find('\n'); end != std::string::npos; end = hook.partial.find('\n')) {
            LogLine(hook, hook.partial.substr(0, end));
            hook.partial.erase(0, end + 1);
        }
    });
}

void HookRunner::Watch(Hook &hook, short events, Clock::time_point now)
{
    if ((events & POLLIN) != 0) {
        hook.child.Collect();
    }
    if (hook.child.KillIfPast(now)) {
        Log(Verbosity::kError, "hook " + options_.program.string() + " (event " + std::to_string(hook.event) +
                                   ") ran past " + std::to_string(options_.timeout.count()) + " ms; killed");
    }
}

void HookRunner::Finish(Hook &hook)
{
    // What it wrote before it ended; a process it left behind may hold the pipe for ever.
    ReadOutput(hook);
    if (!hook.partial.empty()) {
        LogLine(hook, hook.partial);
    }
    const siginfo_t &end = *hook.child.End();
    if (end.si_code != CLD_EXITED || end.si_status != 0) {
        Log(Verbosity::kError,
            "hook " + options_.program.string() + " (event " + std::to_string(hook.event) + ") " + EndingText(end));
    }
}

bool HookRunner::TakeQueued(std::deque<agentclient::Event> &starting, std::optional<Clock::time_point> &give_up)
{
    std::lock_guard lock(queue_mutex_);
    const auto now = Clock::now();
    if (stopping_ && !give_up) {
        give_up = now + options_.timeout;
    }
    if (give_up && now >= *give_up) {
        dropped_ += queue_.size();
        queue_.clear();
    }
    while (running_.size() + starting.size() < kHooksAtOnce && !queue_.empty()) {
        starting.push_back(std::move(queue_.front()));
        queue_.pop_front();
    }
    if (dropped_ > 0 && (queue_.size() < kHooksQueued || stopping_)) {
        Log(Verbosity::kError,
            "dropped the hooks of " + std::to_string(std::exchange(dropped_, 0)) + " events: too many waited");
    }
    return stopping_ && queue_.empty() && running_.empty() && starting.empty();
}

void HookRunner::Loop()
{
    std::unique_lock lock(mutex_);
    std::optional<Clock::time_point> give_up;  // stopping: when the hooks left are killed
    for (;;) {
        std::deque<agentclient::Event> starting;
        if (TakeQueued(starting, give_up)) {
            return;
        }
        auto now = Clock::now();
        if (give_up && now >= *give_up) {
            for (Hook &hook : running_) {
                hook.child.EndBy(now);
            }
        }
        for (const agentclient::Event &event : starting) {
            Launch(event);
        }
        std::vector<pollfd> watched{{wake_.Get(), POLLIN, 0}};
        std::optional<Clock::time_point> next = give_up;
        for (const Hook &hook : running_) {
            watched.push_back({hook.child.Output(), POLLIN, 0});
            watched.push_back({hook.child.Pidfd(), POLLIN, 0});
            if (!hook.child.Killed() && !hook.child.End() && (!next || hook.child.Deadline() < *next)) {
                next = hook.child.Deadline();
            }
        }
        int timeout = -1;
        if (next) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(*next - now);
            timeout         = static_cast<int>(std::max<std::int64_t>(left.count(), 0));
        }
        lock.unlock();
        poll(watched.data(), watched.size(), timeout);
        lock.lock();
        std::uint64_t count = 0;
        (void)!read(wake_.Get(), &count, sizeof count);
        now            = Clock::now();
        std::size_t at = 1;
        for (auto hook = running_.begin(); hook != running_.end(); at += 2) {
            // Only this thread adds and removes hooks: they are in the order they were watched.
            if (watched[at].revents != 0) {
                ReadOutput(*hook);
            }
            Watch(*hook, watched[at + 1].revents, now);
            if (hook->child.End()) {
                Finish(*hook);
                hook = running_.erase(hook);
            } else {
                ++hook;
            }
        }
    }
}

}  // namespace paagent
