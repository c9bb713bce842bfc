#include "core/hook_runner.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <poll.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <system_error>
#include <unistd.h>
#include <vector>

#include <protocol/events.h>

extern char **environ;

namespace paagent {

namespace {

constexpr std::string_view kPrefix = "PA_EVENT_";
constexpr std::size_t kReadChunk   = 4096;

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

std::string Ending(const siginfo_t &end)
{
    return end.si_code == CLD_EXITED ? "exited with status " + std::to_string(end.si_status)
                                     : "was killed by signal " + std::to_string(end.si_status);
}

}  // namespace

struct HookRunner::Hook {
    std::int64_t event = 0;
    pid_t pid          = 0;
    tds::FileDescriptor pidfd;   // none once another part reaped it
    tds::FileDescriptor output;  // its standard output and error, until their end
    std::string partial;         // the start of a line not ended yet
    Clock::time_point deadline;
    bool killed = false;
    std::optional<siginfo_t> end;
};

std::vector<std::string> HookEnvironment(const agentclient::Event &event)
{
    std::vector<std::string> environment;
    for (char **entry = environ; *entry != nullptr; ++entry) {
        if (std::string_view(*entry).substr(0, kPrefix.size()) != kPrefix) {
            environment.emplace_back(*entry);
        }
    }
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
        auto hook = std::find_if(running_.begin(), running_.end(),
                                 [&child](const Hook &running) { return running.pid == child.si_pid; });
        if (hook == running_.end() || hook->end) {
            return;
        }
        hook->end = child;
    }
    const std::uint64_t one = 1;
    (void)!write(wake_.Get(), &one, sizeof one);
}

void HookRunner::Launch(const agentclient::Event &event)
{
    const std::string program = options_.program.string();
    const std::string label   = "hook " + program + " (event " + std::to_string(event.cursor) + ")";
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) {
        Log(Verbosity::kError, label + " cannot run: pipe: " + std::strerror(errno));
        return;
    }
    tds::FileDescriptor output(ends[0]);
    const tds::FileDescriptor input(ends[1]);
    fcntl(output.Get(), F_SETFL, O_NONBLOCK);
    const std::vector<std::string> environment = HookEnvironment(event);
    std::vector<char *> envp;
    for (const auto &entry : environment) {
        envp.push_back(const_cast<char *>(entry.c_str()));
    }
    envp.push_back(nullptr);
    char *argv[] = {const_cast<char *>(program.c_str()), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, input.Get(), STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, input.Get(), STDERR_FILENO);
    posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
    // Its own group, to be killed whole; no signal blocked, whatever the agent's threads block.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK);
    posix_spawnattr_setpgroup(&attributes, 0);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attributes, &none);
    pid_t pid         = 0;
    const int refused = posix_spawn(&pid, program.c_str(), &actions, &attributes, argv, envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (refused != 0) {
        Log(Verbosity::kError, label + " cannot run: " + std::strerror(refused));
        return;
    }
    Hook &hook    = running_.emplace_back();
    hook.event    = event.cursor;
    hook.pid      = pid;
    hook.pidfd    = tds::FileDescriptor(static_cast<int>(syscall(SYS_pidfd_open, pid, 0)));
    hook.output   = std::move(output);
    hook.deadline = Clock::now() + options_.timeout;
}

void HookRunner::LogLine(const Hook &hook, const std::string &line) const
{
    Log(Verbosity::kEvent,
        "hook " + options_.program.string() + " (event " + std::to_string(hook.event) + "): " + line);
}

void HookRunner::ReadOutput(Hook &hook)
{
    char buffer[kReadChunk];
    for (;;) {
        const ssize_t got = read(hook.output.Get(), buffer, sizeof buffer);
        if (got <= 0) {
            if (got == 0 || errno != EAGAIN) {
                hook.output.Reset();
            }
            return;
        }
        hook.partial.append(buffer, static_cast<std::size_t>(got));
        for (auto end = hook.partial.find('\n'); end != std::string::npos; end = hook.partial.find('\n')) {
            LogLine(hook, hook.partial.substr(0, end));
            hook.partial.erase(0, end + 1);
        }
    }
}

void HookRunner::Watch(Hook &hook, short events, Clock::time_point now)
{
    if ((events & POLLIN) != 0 && hook.pidfd.Valid() && !hook.end) {
        siginfo_t child{};
        if (waitid(P_PIDFD, static_cast<id_t>(hook.pidfd.Get()), &child, WEXITED | WNOHANG) == 0) {
            if (child.si_pid != 0) {
                hook.end = child;
            }
        } else {
            // The supervisor reaped it first: its end comes through ChildEnded.
            hook.pidfd.Reset();
        }
    }
    if (!hook.end && !hook.killed && now >= hook.deadline) {
        kill(-hook.pid, SIGKILL);
        hook.killed = true;
        Log(Verbosity::kError, "hook " + options_.program.string() + " (event " + std::to_string(hook.event) +
                                   ") ran past " + std::to_string(options_.timeout.count()) + " ms; killed");
    }
}

void HookRunner::Finish(Hook &hook)
{
    // What it wrote before it ended; a process it left behind may hold the pipe for ever.
    if (hook.output.Valid()) {
        ReadOutput(hook);
    }
    if (!hook.partial.empty()) {
        LogLine(hook, hook.partial);
    }
    if (hook.end->si_code != CLD_EXITED || hook.end->si_status != 0) {
        Log(Verbosity::kError,
            "hook " + options_.program.string() + " (event " + std::to_string(hook.event) + ") " + Ending(*hook.end));
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
                hook.deadline = std::min(hook.deadline, now);
            }
        }
        for (const agentclient::Event &event : starting) {
            Launch(event);
        }
        std::vector<pollfd> watched{{wake_.Get(), POLLIN, 0}};
        std::optional<Clock::time_point> next = give_up;
        for (const Hook &hook : running_) {
            watched.push_back({hook.output.Valid() ? hook.output.Get() : -1, POLLIN, 0});
            watched.push_back({hook.pidfd.Valid() && !hook.end ? hook.pidfd.Get() : -1, POLLIN, 0});
            if (!hook.killed && !hook.end && (!next || hook.deadline < *next)) {
                next = hook.deadline;
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
            if (watched[at].revents != 0 && hook->output.Valid()) {
                ReadOutput(*hook);
            }
            Watch(*hook, watched[at + 1].revents, now);
            if (hook->end) {
                Finish(*hook);
                hook = running_.erase(hook);
            } else {
                ++hook;
            }
        }
    }
}

}  // namespace paagent
