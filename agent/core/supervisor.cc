#include "core/supervisor.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <future>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <sys/timerfd.h>
#include <sys/wait.h>
#include <system_error>
#include <unistd.h>

#include "core/access.h"
#include "core/event_log.h"
#include "core/notify_socket.h"
#include "core/request_user.h"
#include "core/state_store.h"

namespace paagent {

namespace {

// Tags of the descriptors the thread waits on; a pidfd, of a process or a log writer, is tagged
// with its PID.
constexpr std::uint64_t kWakeTag     = ~0ULL;
constexpr std::uint64_t kChildrenTag = ~0ULL - 1;
constexpr std::uint64_t kTimerTag    = ~0ULL - 2;
// With the descriptor of a child's start in the low bits: the child has run its command.
constexpr std::uint64_t kStartTag = 1ULL << 40;
// With a process's PID in the low bits: its notification socket is readable.
constexpr std::uint64_t kNotifyTag = 1ULL << 41;
// The processes the agent launches and their log writers end through their pidfds, each at once;
// the orphans of their groups that come back to the agent are reaped this long after the first
// of them ended, in one look at every child, unless a stop waits for one: a look costs in
// proportion to the children.
constexpr std::chrono::seconds kOrphanSweepDelay{1};
// Released children whose starts are kept at most, waiting for them to run their commands.
constexpr std::size_t kStartsKept = 32;
// Orphans of a process an earlier agent launched are not this agent's to reap, so their end
// raises no event here: while a stop waits for such a group, it looks again this often.
constexpr std::chrono::milliseconds kForeignGroupCheck{100};
// A request's wait beyond the longest its command can take, so that it never waits for ever.
constexpr std::chrono::seconds kCommandMargin{5};
// Launches are quick, but a start of every process may launch thousands.
constexpr std::chrono::hours kStartAllBound{1};

std::string Describe(const ExitStatus &status)
{
    if (!status.known) {
        return "ended, with a status the agent cannot learn (it was started by an earlier agent)";
    }
    return status.signalled ? "was killed by signal " + std::to_string(status.code)
                            : "exited with status " + std::to_string(status.code);
}

// The file name of a process's log, one for each process name: the name itself, with '/', the
// '%' that encodes and a leading '.', which would name a hidden file, encoded as %XX.
std::string LogFileName(const std::string &name)
{
    std::string file;
    for (std::size_t at = 0; at < name.size(); ++at) {
        const char c = name[at];
        file += c == '/' ? "%2F" : c == '%' ? "%25" : c == '.' && at == 0 ? "%2E" : std::string(1, c);
    }
    return file + ".log";
}

// A delay as a client reads it: "1", "0.25".
std::string InSeconds(std::chrono::milliseconds delay)
{
    std::string text = std::to_string(delay.count() / 1000);
    if (const auto rest = delay.count() % 1000; rest != 0) {
        std::string fraction = std::to_string(1000 + rest).substr(1);
        text += "." + fraction.substr(0, fraction.find_last_not_of('0') + 1);
    }
    return text;
}

bool GroupLeft(pid_t group) { return kill(-group, 0) == 0 || errno != ESRCH; }

ExitStatus StatusOf(const siginfo_t &child)
{
    return ExitStatus{.signalled = child.si_code == CLD_KILLED || child.si_code == CLD_DUMPED, .code = child.si_status};
}

std::string Joined(const std::vector<std::string> &texts)
{
    std::string joined;
    for (const auto &text : texts) {
        joined += (joined.empty() ? "" : "; ") + text;
    }
    return joined;
}

// Whether a start waits for a sign that the process is ready, not only for it to run.
bool DeclaresReadiness(const std::optional<CheckSettings> &checks) { return checks && checks->ready != ReadyBy::kNone; }

void ThrowIfInvalid(const tds::FileDescriptor &fd, const char *what)
{
    if (!fd.Valid()) {
        throw std::system_error(errno, std::generic_category(), what);
    }
}

}  // namespace

// One request waiting for the outcome of its command: count outcomes, each a success or a
// failure; done when all have come.
struct Supervisor::Waiter {
    explicit Waiter(int count) : pending(count) {}

    void Succeed() { Settle({}); }
    void Fail(const std::string &why) { Settle(why); }
    void Settle(const std::string &failure)
    {
        if (pending <= 0) {
            return;
        }
        if (!failure.empty()) {
            failures.push_back(failure);
        }
        if (--pending == 0) {
            if (then) {
                then(Joined(failures));
            } else {
                promise.set_value(Joined(failures));
            }
        }
    }

    int pending;
    std::vector<std::string> failures;
    // Takes the outcome, for a command that goes on once it has come, in place of the promise.
    std::function<void(const std::string &failure)> then;
    // What failed, empty when nothing did: the requester throws it, as an exception handed from
    // thread to thread is freed through counts ThreadSanitizer cannot see, and reported as a race.
    std::promise<std::string> promise;
};

struct Supervisor::Entry {
    Process definition;
    std::int32_t id = 0;
    Phase phase     = Phase::kStopped;
    pid_t pid       = 0;  // the launched process while it runs
    bool adopted    = false;
    ProcessIdentity identity;
    std::string launch_key;
    pid_t reported_pid    = 0;
    std::int32_t restarts = 0;
    std::optional<ExitStatus> last_exit;
    Clock::time_point started;
    std::chrono::milliseconds restart_delay{0};
    std::string extra_args;  // kept for restarts
    std::string log_name;    // the log of the process that runs, named when it was launched
    std::vector<std::string> environment;
    // The groups its launches made that may still hold processes, its current one last.
    std::vector<ProcessGroup> groups;
    std::int32_t start_timeout = 0;
    std::shared_ptr<Waiter> start_waiter;
    std::vector<std::shared_ptr<Waiter>> stop_waiters;
    std::uint64_t generation = 0;  // of its phase: a timer armed in an earlier one is stale
    // The user whose start or stop set its course; none once it ended or restarted by itself.
    std::optional<std::string> requester;
    std::optional<CheckSettings> checks;  // as they were when it was last launched or adopted
    std::optional<NotifySocket> notify;   // while its process runs, unless none could be had
    std::optional<Health> health;         // while its process runs
    bool check_passed = false;            // its last check passed
    bool overdue      = false;            // not ready within its start-timeout: unhealthy until it is
    std::string check_output;             // its last check's
    std::string status_text;              // the last STATUS= of its run
    Clock::time_point watched;            // when its checks were last watched

    // What shows it is ready: its settings' sign, else the report of a PA-aware process whose
    // start waits for it; none when running is ready.
    std::optional<ReadyBy> Readiness() const
    {
        if (DeclaresReadiness(checks)) {
            return checks->ready;
        }
        if (definition.type == ProcessType::kPaAware && phase == Phase::kStarting && start_timeout > 0) {
            return ReadyBy::kInform;
        }
        return std::nullopt;
    }
    bool Reports() const { return Readiness().has_value(); }
    // Its process runs and has not yet shown the sign its readiness waits for.
    bool AwaitsReady() const { return health == Health::kStarting || overdue; }
    // How long a start waits for it to be ready.
    std::chrono::milliseconds StartWait() const
    {
        return DeclaresReadiness(checks) ? checks->start_timeout : std::chrono::seconds(start_timeout);
    }
    // What it failed to do within that time.
    std::string Overdue() const
    {
        return std::string(DeclaresReadiness(checks) ? "was not ready" : "did not report") + " within " +
               InSeconds(StartWait()) + " seconds";
    }
    // Running, or about to.
    bool Active() const { return pid != 0 || phase == Phase::kRestartPending || phase == Phase::kRecycling; }
};

// A service's members started in order, one waiting for the one before it to be ready.
struct Supervisor::Chain {
    std::vector<Launchable> members;
    std::size_t next = 0;
    std::shared_ptr<Waiter> waiter;
    // The request's, for the members started once another is ready.
    std::optional<std::string> user;
    std::shared_ptr<const Access> access;
};

Supervisor::Supervisor(SupervisorOptions options)
    : options_(std::move(options)), health_(
                                        [this](const HealthReport &report) {
                                            Post([this, report, made = Clock::now()] { OnHealthReport(report, made); });
                                        },
                                        [this](Verbosity verbosity, const std::string &text) { Log(verbosity, text); })
{
    if (!options_.log_dir.empty()) {
        log_directory_ = OpenPrivateDirectory(options_.log_dir.string());
    }
    if (!options_.state_file.empty()) {
        journal_.emplace(options_.state_file);
    }
    // Orphans of the groups the agent starts come back to it, so that their end is an event.
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    sigset_t child;
    sigemptyset(&child);
    sigaddset(&child, SIGCHLD);
    pthread_sigmask(SIG_BLOCK, &child, nullptr);
    epoll_    = tds::FileDescriptor(epoll_create1(EPOLL_CLOEXEC));
    wake_     = tds::FileDescriptor(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    children_ = tds::FileDescriptor(signalfd(-1, &child, SFD_CLOEXEC | SFD_NONBLOCK));
    timer_    = tds::FileDescriptor(timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK));
    ThrowIfInvalid(epoll_, "epoll_create1");
    ThrowIfInvalid(wake_, "eventfd");
    ThrowIfInvalid(children_, "signalfd");
    ThrowIfInvalid(timer_, "timerfd_create");
    for (auto [fd, tag] : {std::pair{wake_.Get(), kWakeTag}, std::pair{children_.Get(), kChildrenTag},
                           std::pair{timer_.Get(), kTimerTag}}) {
        epoll_event event{};
        event.events   = EPOLLIN;
        event.data.u64 = tag;
        if (epoll_ctl(epoll_.Get(), EPOLL_CTL_ADD, fd, &event) != 0) {
            throw std::system_error(errno, std::generic_category(), "epoll_ctl");
        }
    }
    thread_ = std::thread([this] { Loop(); });
}

Supervisor::~Supervisor()
{
    Post([this] {
        ending_ = true;
        for (auto &[name, entry] : entries_) {
            if (entry->start_waiter) {
                entry->start_waiter->Fail("the agent is stopping");
            }
            for (const auto &waiter : entry->stop_waiters) {
                waiter->Fail("the agent is stopping");
            }
        }
    });
    thread_.join();
}

void Supervisor::Log(Verbosity verbosity, const std::string &text) const
{
    if (options_.log) {
        options_.log(verbosity, text);
    }
}

agentclient::Event Supervisor::About(const Entry &entry, EventKind kind) const
{
    agentclient::Event event = NewEvent(kind);
    event.process            = entry.definition.name;
    event.host               = entry.definition.host;
    event.pid                = entry.pid;
    event.user               = entry.requester;
    return event;
}

void Supervisor::Emit(agentclient::Event event) const
{
    if (options_.emit) {
        options_.emit(std::move(event));
    }
}

void Supervisor::EmitFailed(const Entry &entry, const std::string &why) const
{
    agentclient::Event event = About(entry, EventKind::kFailed);
    event.message            = entry.definition.alert_message.value_or(why);
    Emit(std::move(event));
}

// The command runs in the name of the request that posts it.
void Supervisor::Post(std::function<void()> fn) const
{
    {
        std::lock_guard lock(queue_mutex_);
        queue_.push_back([user = RequestUser(), access = RequestAccess(), fn = std::move(fn)] {
            const RequestUserScope scope(user, access);
            fn();
        });
    }
    const std::uint64_t one = 1;
    (void)!write(wake_.Get(), &one, sizeof one);
}

template <typename Fn>
auto Supervisor::OnThread(Fn fn) const -> decltype(fn())
{
    using Result = decltype(fn());
    // A refusal comes back as its text, for the reason Waiter::promise gives.
    std::optional<std::string> refusal;
    auto task    = std::make_shared<std::packaged_task<Result()>>([&fn, &refusal]() -> Result {
        try {
            return fn();
        } catch (const AgentError &error) {
            refusal = error.what();
            return Result();
        }
    });
    auto outcome = task->get_future();
    Post([task] { (*task)(); });
    outcome.wait();
    if (refusal) {
        throw AgentError(*refusal);
    }
    return outcome.get();
}

void Supervisor::AwaitOutcome(const std::function<void(const std::shared_ptr<Waiter> &)> &fn, int count,
                              std::chrono::milliseconds bound) const
{
    auto waiter  = std::make_shared<Waiter>(count);
    auto outcome = waiter->promise.get_future();
    Post([waiter, fn] {
        try {
            fn(waiter);
        } catch (const AgentError &error) {
            // A refusal settles the whole request, whatever else it had started.
            while (waiter->pending > 0) {
                waiter->Fail(waiter->failures.empty() ? error.what() : "");
            }
        }
    });
    if (outcome.wait_for(bound + kCommandMargin) != std::future_status::ready) {
        throw AgentError("no outcome within " + std::to_string((bound + kCommandMargin).count() / 1000) + " seconds");
    }
    if (const std::string failure = outcome.get(); !failure.empty()) {
        throw AgentError(failure);
    }
}

void Supervisor::Loop()
{
    while (!ending_) {
        epoll_event events[64];
        const int count = epoll_wait(epoll_.Get(), events, 64, -1);
        if (count < 0) {
            continue;
        }
        for (int i = 0; i < count; ++i) {
            const std::uint64_t tag = events[i].data.u64;
            if (tag == kWakeTag) {
                RunCommands();
            } else if (tag == kChildrenTag) {
                OnChildrenSignal();
            } else if (tag == kTimerTag) {
                RunTimers();
            } else if ((tag & kStartTag) != 0) {
                const int fd = static_cast<int>(tag & ~kStartTag);
                std::erase_if(starts_, [fd](const ChildStartPointer &start) { return StartDescriptor(*start) == fd; });
            } else if ((tag & kNotifyTag) != 0) {
                if (auto leader = leaders_.find(static_cast<pid_t>(tag & ~kNotifyTag)); leader != leaders_.end()) {
                    OnNotified(*leader->second);
                }
            } else if (auto leader = leaders_.find(static_cast<pid_t>(tag)); leader != leaders_.end()) {
                OnLeaderEnded(*leader->second);
            } else if (auto writer = writers_.find(static_cast<pid_t>(tag)); writer != writers_.end()) {
                siginfo_t info{};
                (void)waitid(P_PIDFD, static_cast<id_t>(writer->second.Get()), &info, WEXITED | WNOHANG);
                Unwatch(writer->second.Get());
                writers_.erase(writer);
            }
        }
        if (sweep_now_) {
            ReapChildren();
        }
        RearmTimer();
    }
}

void Supervisor::RunCommands()
{
    std::uint64_t count = 0;
    (void)!read(wake_.Get(), &count, sizeof count);
    std::deque<std::function<void()>> commands;
    {
        std::lock_guard lock(queue_mutex_);
        commands.swap(queue_);
    }
    for (auto &command : commands) {
        command();
    }
}

void Supervisor::OnChildrenSignal()
{
    signalfd_siginfo info{};
    while (read(children_.Get(), &info, sizeof info) == sizeof info) {
    }
    // The processes' and log writers' ends come through their pidfds; what else ended is an
    // orphan, whose end matters now only to a stop waiting for its group.
    if (!lingering_.empty()) {
        sweep_now_ = true;
    } else if (!sweep_due_) {
        sweep_due_ = Clock::now() + kOrphanSweepDelay;
    }
}

void Supervisor::ReapChildren()
{
    sweep_now_ = false;
    sweep_due_.reset();
    bool orphan_ended = false;
    for (;;) {
        siginfo_t child{};
        if (waitid(P_ALL, 0, &child, WEXITED | WNOHANG) != 0 || child.si_pid == 0) {
            break;
        }
        if (auto leader = leaders_.find(child.si_pid); leader != leaders_.end()) {
            Entry &entry = *leader->second;
            Unwatch(entry.groups.back().Pidfd());
            leaders_.erase(leader);
            OnLeaderExit(entry, StatusOf(child));
        } else if (auto writer = writers_.find(child.si_pid); writer != writers_.end()) {
            Unwatch(writer->second.Get());
            writers_.erase(writer);
        } else {
            orphan_ended = true;
            health_.ChildEnded(child);
            if (options_.child_ended) {
                options_.child_ended(child);
            }
        }
    }
    if (orphan_ended) {
        CheckLingering();
    }
}

void Supervisor::Finish(ChildStartPointer start)
{
    if (!start) {
        return;
    }
    // Each start holds descriptors until its child has run its command: in a batch of launches
    // the oldest has had the time to get there, and the batch does not pile up thousands.
    if (starts_.size() >= kStartsKept) {
        starts_.pop_front();
    }
    const int fd = StartDescriptor(*start);
    epoll_event event{};
    event.events   = EPOLLIN;
    event.data.u64 = kStartTag | static_cast<std::uint64_t>(fd);
    if (epoll_ctl(epoll_.Get(), EPOLL_CTL_ADD, fd, &event) != 0) {
        return;  // ended here, waiting for its child
    }
    starts_.push_back(std::move(start));
}

void Supervisor::Watch(pid_t pid, int pidfd)
{
    epoll_event event{};
    event.events   = EPOLLIN;
    event.data.u64 = static_cast<std::uint64_t>(pid);
    if (epoll_ctl(epoll_.Get(), EPOLL_CTL_ADD, pidfd, &event) != 0) {
        throw std::system_error(errno, std::generic_category(), "epoll_ctl");
    }
}

// Its group keeps the pidfd open after the leader has gone.
void Supervisor::Unwatch(int pidfd) { epoll_ctl(epoll_.Get(), EPOLL_CTL_DEL, pidfd, nullptr); }

void Supervisor::OnLeaderEnded(Entry &entry)
{
    ExitStatus status{.known = false};
    if (!entry.adopted) {
        siginfo_t child{};
        if (waitid(P_PIDFD, static_cast<id_t>(entry.groups.back().Pidfd()), &child, WEXITED | WNOHANG) != 0 ||
            child.si_pid == 0) {
            return;
        }
        status = StatusOf(child);
    }
    Unwatch(entry.groups.back().Pidfd());
    leaders_.erase(entry.pid);
    OnLeaderExit(entry, status);
}

void Supervisor::OnLeaderExit(Entry &entry, const ExitStatus &status)
{
    const Phase before = entry.phase;
    logs_.erase(entry.log_name);
    if (before != Phase::kStopping && before != Phase::kKilling) {
        entry.requester.reset();
    }
    agentclient::Event exited = About(entry, EventKind::kExited);
    if (!status.known) {
        exited.message = Describe(status);
    } else if (status.signalled) {
        exited.signal = status.code;
    } else {
        exited.status = status.code;
    }
    Emit(std::move(exited));
    health_.Unwatch(entry.definition.name);
    entry.notify.reset();
    entry.health.reset();
    entry.pid          = 0;
    entry.reported_pid = 0;
    entry.last_exit    = status;
    Facts facts;
    facts.exit_success = status.Success();
    facts.reports      = entry.Reports();
    facts.may_restart  = MayRestart(entry);
    facts.leader_gone  = true;
    facts.groups_alive = GroupsAlive(entry);
    Fire(entry, Event::kLeaderExit, facts);
    LogExit(entry, status, before);
}

bool Supervisor::MayRestart(const Entry &entry) const
{
    return entry.definition.managed && entry.restarts < entry.definition.retry_count && !shutting_down_;
}

void Supervisor::OnNotified(Entry &entry)
{
    for (const Notification &notification : entry.notify->Receive(entry.pid)) {
        if (notification.status) {
            entry.status_text = *notification.status;
        }
        if (notification.ready) {
            OnReady(entry, ReadyBy::kNotify);
        }
    }
}

void Supervisor::OnReady(Entry &entry, ReadyBy by)
{
    if (!entry.AwaitsReady() || entry.Readiness() != by) {
        return;
    }
    entry.overdue            = false;
    entry.health             = entry.check_passed ? Health::kHealthy : Health::kReady;
    agentclient::Event ready = About(entry, EventKind::kReady);
    if (entry.reported_pid != 0) {
        ready.pid = entry.reported_pid;
    }
    Emit(std::move(ready));
    Log(Verbosity::kEvent, "process " + entry.definition.name + " is ready");
    Fire(entry, Event::kReady, Facts{.reports = true});
}

void Supervisor::OnHealthReport(const HealthReport &report, Clock::time_point made)
{
    Entry *entry = Lookup(report.name);
    // A report made before its stop unwatched it says nothing of a process on its way out.
    if (entry == nullptr || entry->pid == 0 || made < entry->watched ||
        (entry->phase != Phase::kRunning && entry->phase != Phase::kStarting)) {
        return;
    }
    const std::string &name  = entry->definition.name;
    const bool was_unhealthy = entry->health == Health::kUnhealthy;
    entry->check_output      = report.output;
    entry->check_passed      = report.kind != HealthReport::Kind::kUnhealthy;
    if (entry->AwaitsReady()) {
        if (entry->check_passed) {
            OnReady(*entry, ReadyBy::kCheck);
        }
    } else {
        entry->health = entry->check_passed ? Health::kHealthy : Health::kUnhealthy;
    }
    if (report.kind == HealthReport::Kind::kUnhealthy) {
        // One not yet ready has its start-timeout for that.
        ReportUnhealthy(*entry, report.output, !entry->AwaitsReady());
    } else if (entry->health != Health::kUnhealthy && (was_unhealthy || report.kind == HealthReport::Kind::kHealthy)) {
        agentclient::Event healthy = About(*entry, EventKind::kHealthy);
        healthy.message            = report.output;
        Emit(std::move(healthy));
        Log(Verbosity::kEvent, "process " + name + " is healthy again");
    }
}

void Supervisor::ReportUnhealthy(Entry &entry, const std::string &why, bool may_restart)
{
    agentclient::Event unhealthy = About(entry, EventKind::kUnhealthy);
    unhealthy.message            = why;
    Emit(std::move(unhealthy));
    Facts facts;
    facts.restart_unhealthy = may_restart && entry.checks && entry.checks->restart_unhealthy && MayRestart(entry);
    const bool restarts     = facts.restart_unhealthy && entry.phase == Phase::kRunning;
    Log(Verbosity::kError,
        "process " + entry.definition.name + " is unhealthy" + (restarts ? "; restarting it" : "") + ": " + why);
    Fire(entry, Event::kUnhealthy, facts);
}

void Supervisor::OnStartTimeOut(Entry &entry)
{
    const bool requested = entry.phase == Phase::kStarting;
    Facts facts;
    facts.reports     = entry.Reports();
    facts.leader_gone = entry.pid == 0;
    Fire(entry, Event::kStartTimedOut, facts);
    if (entry.health != Health::kStarting) {
        return;
    }
    entry.overdue      = true;
    entry.health       = Health::kUnhealthy;
    entry.check_output = entry.Overdue();
    // A start that waited has failed, and leaves the process to whoever asked; a launch no one
    // waits for, a restart say, is restarted as one that hangs.
    ReportUnhealthy(entry, entry.check_output, !requested);
}

void Supervisor::WatchHealth(Entry &entry)
{
    if (entry.checks && entry.checks->probe) {
        // Before the watch: a report made from now on is of this run.
        entry.watched = Clock::now();
        health_.Watch(entry.definition.name, *entry.checks, entry.started);
    }
}

std::optional<CheckSettings> Supervisor::SettingsOf(const std::string &name) const
{
    return options_.check_settings ? options_.check_settings(name) : std::nullopt;
}

void Supervisor::LogExit(const Entry &entry, const ExitStatus &status, Phase before)
{
    const std::string &name = entry.definition.name;
    switch (entry.phase) {
    case Phase::kExited: Log(Verbosity::kEvent, "process " + name + " finished"); break;
    case Phase::kFailed:
        if (before == Phase::kRunning && entry.definition.managed && !shutting_down_) {
            Log(Verbosity::kError, "process " + name + " " + Describe(status) +
                                       "; giving up: " + entry.definition.alert_message.value_or("no restarts left"));
        } else {
            Log(Verbosity::kError, "process " + name + " " + Describe(status));
        }
        break;
    case Phase::kRestartPending:
        Log(Verbosity::kError,
            "process " + name + " " + Describe(status) + "; restart " + std::to_string(entry.restarts) + " of " +
                std::to_string(entry.definition.retry_count) + " in " + std::to_string(entry.restart_delay.count()) +
                " ms: " + entry.definition.restart_message.value_or("restarting"));
        break;
    default: break;
    }
}

void Supervisor::CheckLingering()
{
    for (Entry *entry : std::vector<Entry *>(lingering_.begin(), lingering_.end())) {
        if (!GroupsAlive(*entry)) {
            Fire(*entry, Event::kGroupsEnded, Facts{.may_restart = MayRestart(*entry), .leader_gone = true});
        }
    }
}

bool Supervisor::GroupsAlive(Entry &entry) const
{
    std::erase_if(entry.groups, [&entry](const ProcessGroup &group) {
        return !(group.Leader() == entry.pid || GroupLeft(group.Leader()));
    });
    return !entry.groups.empty();
}

void Supervisor::SignalGroups(Entry &entry, int signal)
{
    for (const ProcessGroup &group : entry.groups) {
        // Once its leader has gone, a group is signalled by its number, which it holds while it
        // has a process.
        if (!group.Signal(signal) && GroupLeft(group.Leader())) {
            kill(-group.Leader(), signal);
        }
    }
}

void Supervisor::Arm(Entry &entry, Event event, Clock::duration after)
{
    timers_.emplace(Clock::now() + after, Timer{entry.definition.name, event, entry.generation});
}

void Supervisor::RearmTimer()
{
    itimerspec timing{};
    std::optional<Clock::time_point> first = sweep_due_;
    if (!timers_.empty() && (!first || timers_.begin()->first < *first)) {
        first = timers_.begin()->first;
    }
    if (first) {
        const auto left         = std::max<Clock::duration>(*first - Clock::now(), std::chrono::nanoseconds(1));
        const auto seconds      = std::chrono::duration_cast<std::chrono::seconds>(left);
        timing.it_value.tv_sec  = seconds.count();
        timing.it_value.tv_nsec = std::chrono::duration_cast<std::chrono::nanoseconds>(left - seconds).count();
    }
    timerfd_settime(timer_.Get(), 0, &timing, nullptr);
}

void Supervisor::RunTimers()
{
    std::uint64_t expirations = 0;
    (void)!read(timer_.Get(), &expirations, sizeof expirations);
    const auto now = Clock::now();
    if (sweep_due_ && *sweep_due_ <= now) {
        ReapChildren();
    }
    while (!timers_.empty() && timers_.begin()->first <= now) {
        const Timer timer = timers_.begin()->second;
        timers_.erase(timers_.begin());
        Entry *entry = Lookup(timer.name);
        if (entry == nullptr) {
            continue;
        }
        if (timer.event == Event::kGroupsEnded) {
            // A foreign group's end, looked for again.
            if (lingering_.contains(entry)) {
                CheckLingering();
                if (lingering_.contains(entry)) {
                    Arm(*entry, Event::kGroupsEnded, kForeignGroupCheck);
                }
            }
            continue;
        }
        if (timer.generation != entry->generation) {
            continue;
        }
        if (timer.event == Event::kStartTimedOut) {
            OnStartTimeOut(*entry);
            continue;
        }
        Facts facts;
        facts.reports     = entry->Reports();
        facts.leader_gone = entry->pid == 0;
        Fire(*entry, timer.event, facts);
    }
}

void Supervisor::Fire(Entry &entry, Event event, Facts facts, const std::shared_ptr<Waiter> &requester)
{
    const Transition step   = Next(entry.phase, event, facts);
    const std::string &name = entry.definition.name;
    if ((step.effects & kRefuse) != 0) {
        throw AgentError("process " + name + " " + std::string(step.refusal));
    }
    if (step.next != entry.phase) {
        ++entry.generation;
    }
    if (event == Event::kStart || event == Event::kStop) {
        entry.requester = RequestUser();
    } else if (event == Event::kRestartDue) {
        entry.requester.reset();
    }
    const Phase before = entry.phase;
    entry.phase        = step.next;
    if ((step.effects & kResetRestarts) != 0) {
        entry.restarts = 0;
    }
    if ((step.effects & kJoinStop) != 0 && requester) {
        entry.stop_waiters.push_back(requester);
    }
    if ((step.effects & kStartFails) != 0 && entry.start_waiter) {
        std::string why = "process " + name + " was stopped while starting";
        if (event == Event::kLeaderExit && entry.last_exit) {
            why = "process " + name + " " + Describe(*entry.last_exit) + " while starting";
        } else if (event == Event::kStartTimedOut) {
            why = "process " + name + " " + entry.Overdue();
        }
        std::exchange(entry.start_waiter, nullptr)->Fail(why);
    }
    if ((step.effects & kLaunch) != 0) {
        if (requester && event == Event::kStart) {
            entry.start_waiter = requester;
        }
        Emit(About(entry, EventKind::kStarting));
        try {
            LaunchEntry(entry);
        } catch (const AgentError &error) {
            ++entry.generation;
            entry.phase = Phase::kFailed;
            EmitFailed(entry, error.what());
            if (entry.start_waiter) {
                std::exchange(entry.start_waiter, nullptr)->Fail(error.what());
            } else {
                Log(Verbosity::kError, error.what());
            }
            return;
        }
        Emit(About(entry, EventKind::kStarted));
    }
    // Every launch of a process that declares its readiness is bounded by its start-timeout,
    // whether a request waits for it or not.
    if ((step.effects & kArmStartTimer) != 0 ||
        ((step.effects & kLaunch) != 0 && DeclaresReadiness(entry.checks) && entry.pid != 0)) {
        Arm(entry, Event::kStartTimedOut, entry.StartWait());
    }
    if ((step.effects & kStartSucceeds) != 0 && entry.start_waiter) {
        std::exchange(entry.start_waiter, nullptr)->Succeed();
    }
    if ((step.effects & kSignalTerm) != 0) {
        health_.Unwatch(name);
        Emit(About(entry, EventKind::kStopping));
        Log(Verbosity::kEvent, "stopping process " + name);
        SignalGroups(entry, SIGTERM);
        Arm(entry, Event::kGraceOver, options_.grace);
    }
    if ((step.effects & kSignalKill) != 0) {
        Log(Verbosity::kEvent, "process " + name + " ignored SIGTERM; killing it");
        SignalGroups(entry, SIGKILL);
        Arm(entry, Event::kKillWaitOver, kKillWait);
    }
    if ((step.effects & kArmRestart) != 0) {
        ++entry.restarts;
        const auto base     = options_.restart_delay;
        const auto longest  = base * kMaxRestartDelays;
        const bool steady   = Clock::now() - entry.started >= longest;
        entry.restart_delay = steady || entry.restart_delay == std::chrono::milliseconds::zero()
                                  ? base
                                  : std::min(entry.restart_delay * 2, longest);
        Arm(entry, Event::kRestartDue, entry.restart_delay);
        agentclient::Event restarting = About(entry, EventKind::kRestarting);
        restarting.message            = "attempt " + std::to_string(entry.restarts) + " of " +
                             std::to_string(entry.definition.retry_count) + " in " + InSeconds(entry.restart_delay) +
                             " s" + (entry.definition.restart_message ? ": " + *entry.definition.restart_message : "");
        Emit(std::move(restarting));
    }
    if ((step.effects & kStopSucceeds) != 0) {
        if (before != Phase::kStopped) {
            Emit(About(entry, EventKind::kStopped));
        }
        if (entry.phase == Phase::kStopped && event != Event::kStop) {
            // A stop a client asked for is told by the request's audit line.
            Log(entry.requester ? Verbosity::kRequest : Verbosity::kEvent, "stopped process " + name);
        }
        for (const auto &waiter : std::exchange(entry.stop_waiters, {})) {
            waiter->Succeed();
        }
        if (requester && event == Event::kStop) {
            requester->Succeed();
        }
    }
    if ((step.effects & kStopFails) != 0) {
        for (const auto &waiter : std::exchange(entry.stop_waiters, {})) {
            waiter->Fail("still running after SIGKILL: " + name);
        }
    }
    if (entry.phase == Phase::kFailed && before != Phase::kFailed) {
        EmitFailed(entry, event == Event::kLeaderExit && entry.last_exit ? Describe(*entry.last_exit)
                                                                         : "still running after SIGKILL");
    }
    // A stop whose leader has gone waits for the rest of its groups.
    const bool stopping =
        entry.phase == Phase::kStopping || entry.phase == Phase::kKilling || entry.phase == Phase::kRecycling;
    if (stopping && entry.pid == 0 && !entry.groups.empty()) {
        if (lingering_.insert(&entry).second) {
            // An orphan of the group may have ended already.
            sweep_now_ = true;
            if (entry.adopted) {
                Arm(entry, Event::kGroupsEnded, kForeignGroupCheck);
            }
        }
    } else {
        lingering_.erase(&entry);
    }
    if (stopping && entry.pid == 0 && !GroupsAlive(entry)) {
        Fire(entry, Event::kGroupsEnded, Facts{.may_restart = MayRestart(entry), .leader_gone = true});
        return;
    }
    // What the state file holds follows the phase: a process runs, waits for its restart, or
    // has nothing left to record.
    if (entry.phase == Phase::kRestartPending) {
        Record(entry);
    } else if (entry.pid == 0 && (step.effects & kLaunch) == 0) {
        EndRecord(entry);
    }
}

void Supervisor::LaunchEntry(Entry &entry)
{
    const std::string &name = entry.definition.name;
    // A blank command, which the file's writer puts for a missing one, loads but would run nothing.
    if (entry.definition.command.find_first_not_of(" \t\n") == std::string::npos) {
        throw AgentError("process " + name + " has no command to run");
    }
    GroupsAlive(entry);
    LaunchRequest request;
    request.command =
        entry.extra_args.empty() ? entry.definition.command : entry.definition.command + " " + entry.extra_args;
    request.uid         = static_cast<uid_t>(entry.definition.euid);
    request.environment = entry.environment;
    request.environment.push_back("PA_SERVER=" + options_.server_name);
    request.environment.push_back("PA_PROCESS_ID=" + std::to_string(entry.id));
    request.log_directory = log_directory_.Get();
    request.log_name      = LogFileName(name);
    if (auto user = logs_.find(request.log_name); user != logs_.end() && user->second != &entry) {
        throw AgentError("process " + name + " cannot start: its log " + request.log_name + " is in use by process " +
                         user->second->definition.name);
    }
    request.log_writer = options_.log_writer;
    entry.checks       = SettingsOf(name);
    // Only a process that says it will notify gets a socket: it costs the agent a descriptor, and
    // one for each process would cut by a third how many processes its open files allow.
    std::optional<NotifySocket> notify;
    try {
        if (entry.checks && entry.checks->ready == ReadyBy::kNotify) {
            notify.emplace(NotifySocket::Open(
                request.uid, [this](Verbosity verbosity, const std::string &text) { Log(verbosity, text); }));
            request.environment.push_back(notify->Environment());
        }
    } catch (const std::system_error &error) {
        Log(Verbosity::kError, "process " + name + " starts without a notification socket: " + error.what());
    }
    LaunchedChild child;
    try {
        child = launcher_.Launch(request);
    } catch (const std::system_error &error) {
        throw AgentError("process " + name + " cannot start: " + error.what());
    }
    entry.pid        = child.pid;
    entry.identity   = child.identity;
    entry.launch_key = child.launch_key;
    entry.adopted    = false;
    // Recorded before its command runs: a crash of the agent from now on leaves a process the
    // next agent knows. One that cannot be recorded never runs its command.
    try {
        Record(entry);
    } catch (const std::runtime_error &error) {
        paagent::Cancel(child);
        entry.pid = 0;
        throw AgentError("cannot record process " + name + " in the state file: " + error.what() +
                         "; it was not started");
    }
    entry.reported_pid = 0;
    entry.started      = Clock::now();
    entry.groups.emplace_back(child.pid, std::move(child.pidfd));
    Watch(child.pid, entry.groups.back().Pidfd());
    leaders_[child.pid]   = &entry;
    entry.log_name        = request.log_name;
    logs_[entry.log_name] = &entry;
    entry.notify          = std::move(notify);
    if (entry.notify) {
        epoll_event event{};
        event.events   = EPOLLIN;
        event.data.u64 = kNotifyTag | static_cast<std::uint64_t>(child.pid);
        // It runs already: without the socket it is as one started without it.
        if (epoll_ctl(epoll_.Get(), EPOLL_CTL_ADD, entry.notify->Descriptor(), &event) != 0) {
            Log(Verbosity::kError,
                "process " + name + " runs without its notification socket: epoll_ctl: " + std::strerror(errno));
            entry.notify.reset();
        }
    }
    entry.health       = entry.Readiness() ? Health::kStarting : Health::kReady;
    entry.overdue      = false;
    entry.check_passed = false;
    entry.check_output.clear();
    entry.status_text.clear();
    WatchHealth(entry);
    if (child.writer.Valid()) {
        Watch(child.writer_pid, child.writer.Get());
        writers_.emplace(child.writer_pid, std::move(child.writer));
    }
    paagent::Release(child);
    Finish(std::move(child.start));
    Finish(std::move(child.writer_start));
    Log(Verbosity::kEvent, "started process " + name + " (PID " + std::to_string(child.pid) + ")");
}

void Supervisor::Record(const Entry &entry)
{
    if (journal_) {
        journal_->Record(
            {entry.definition, entry.pid, entry.identity, entry.launch_key, entry.extra_args, entry.environment});
    }
}

void Supervisor::EndRecord(const Entry &entry)
{
    if (!journal_) {
        return;
    }
    try {
        journal_->End(entry.definition.name);
    } catch (const std::runtime_error &error) {
        Log(Verbosity::kError, error.what());
    }
}

Supervisor::Entry *Supervisor::Lookup(const std::string &name) const
{
    auto found = entries_.find(name);
    return found == entries_.end() ? nullptr : found->second.get();
}

Supervisor::Entry &Supervisor::Find(const std::string &name, const std::string &host) const
{
    Entry *entry = Lookup(name);
    if (entry == nullptr) {
        throw AgentError("unknown process " + name);
    }
    if (entry->definition.host != host) {
        throw AgentError("process " + name + " is not defined for host " + host);
    }
    return *entry;
}

void Supervisor::CheckOne(const Process &definition) const
{
    if (definition.name.empty()) {
        throw AgentError("a process needs a name");
    }
    if (definition.command.empty()) {
        throw AgentError("process " + definition.name + " has no command");
    }
    RequireRunAs(definition.euid);
    const Entry *entry = Lookup(definition.name);
    if (entry != nullptr && entry->Active() && !(entry->definition == definition)) {
        throw AgentError("process " + definition.name + " is running with another definition");
    }
}

Supervisor::Entry &Supervisor::DefineOne(const Process &definition)
{
    CheckOne(definition);
    auto &slot        = entries_[definition.name];
    const bool is_new = !slot;
    if (is_new) {
        slot     = std::make_unique<Entry>();
        slot->id = next_id_++;
    }
    if (is_new || !(slot->definition == definition)) {
        slot->definition         = definition;
        agentclient::Event event = About(*slot, is_new ? EventKind::kDefined : EventKind::kChanged);
        event.user               = RequestUser();
        Emit(std::move(event));
    }
    return *slot;
}

void Supervisor::RefuseWhenShuttingDown() const
{
    if (shutting_down_) {
        throw AgentError("the agent is stopping");
    }
}

ProcessView Supervisor::View(const Entry &entry) const
{
    ProcessState state = ProcessState::kRunning;
    switch (entry.phase) {
    case Phase::kStopped: state = ProcessState::kStopped; break;
    case Phase::kExited: state = ProcessState::kExited; break;
    case Phase::kFailed: state = ProcessState::kFailed; break;
    default: break;
    }
    LifeView life{entry.pid, entry.restarts, std::nullopt, std::nullopt};
    if (entry.last_exit && entry.last_exit->known) {
        (entry.last_exit->signalled ? life.last_exit_signal : life.last_exit_status) = entry.last_exit->code;
    }
    return {entry.definition, state, entry.reported_pid != 0 ? entry.reported_pid : entry.pid,
            HealthView{entry.health, entry.check_output, entry.status_text}, life};
}

void Supervisor::CheckDefinable(const std::vector<Process> &definitions) const
{
    OnThread([&] {
        for (const auto &definition : definitions) {
            CheckOne(definition);
        }
    });
}

void Supervisor::Define(const std::vector<Process> &definitions)
{
    OnThread([&] {
        for (const auto &definition : definitions) {
            CheckOne(definition);
        }
        for (const auto &definition : definitions) {
            DefineOne(definition);
        }
    });
}

void Supervisor::Change(const std::string &old_name, const Process &definition)
{
    OnThread([&] {
        auto found = entries_.find(old_name);
        if (found == entries_.end()) {
            throw AgentError("unknown process " + old_name);
        }
        if (definition.name != old_name && entries_.contains(definition.name)) {
            throw AgentError("process " + definition.name + " is already defined");
        }
        if (definition.command.empty()) {
            throw AgentError("process " + definition.name + " has no command");
        }
        RequireRunAs(definition.euid);
        if (found->second->pid != 0 && definition.name != old_name) {
            // The state file and the health checker know a running process by its name.
            EndRecord(*found->second);
            health_.Unwatch(old_name);
        }
        auto node                 = entries_.extract(found);
        node.key()                = definition.name;
        node.mapped()->definition = definition;
        Entry &entry              = *entries_.insert(std::move(node)).position->second;
        if (entry.pid != 0) {
            Record(entry);
            if (definition.name != old_name) {
                WatchHealth(entry);
            }
        }
        agentclient::Event changed = About(entry, EventKind::kChanged);
        changed.user               = RequestUser();
        if (definition.name != old_name) {
            changed.message = "renamed from " + old_name;
        }
        Emit(std::move(changed));
    });
    Log(Verbosity::kEvent, "changed process " + old_name);
}

void Supervisor::Forget(const std::vector<std::string> &names)
{
    OnThread([&] {
        for (const auto &name : names) {
            Entry *entry = Lookup(name);
            if (entry != nullptr && !entry->Active() && entry->phase != Phase::kStopping &&
                entry->phase != Phase::kKilling) {
                lingering_.erase(entry);
                agentclient::Event removed = About(*entry, EventKind::kRemoved);
                removed.user               = RequestUser();
                entries_.erase(name);
                Emit(std::move(removed));
            }
        }
    });
}

void Supervisor::Start(const Process &definition, std::int32_t timeout_seconds, const std::string &extra_args)
{
    const std::optional<CheckSettings> checks = SettingsOf(definition.name);
    const bool awaits_ready                   = DeclaresReadiness(checks);
    const auto bound =
        std::max<std::chrono::milliseconds>(std::chrono::seconds(std::max(timeout_seconds, 0)),
                                            awaits_ready ? checks->start_timeout : std::chrono::seconds(0));
    AwaitOutcome(
        [=, this](const std::shared_ptr<Waiter> &waiter) {
            RefuseWhenShuttingDown();
            Entry *existing = Lookup(definition.name);
            if (existing != nullptr && existing->Active()) {
                throw AgentError("process " + definition.name + " is already running");
            }
            RequireAsDefined(existing != nullptr ? &existing->definition : nullptr, definition);
            Entry &entry        = DefineOne(definition);
            entry.extra_args    = extra_args;
            entry.environment   = {};
            entry.start_timeout = timeout_seconds;
            Facts facts;
            facts.start_waiting = timeout_seconds > 0 || awaits_ready;
            Fire(entry, Event::kStart, facts, waiter);
        },
        1, bound);
}

void Supervisor::LaunchNow(Entry &entry)
{
    entry.start_timeout = 0;
    auto launched       = std::make_shared<Waiter>(1);
    Fire(entry, Event::kStart, Facts{}, launched);
    if (!launched->failures.empty()) {
        throw AgentError(launched->failures.front());
    }
}

void Supervisor::StartEach(const std::vector<Launchable> &members)
{
    std::chrono::milliseconds bound = std::chrono::seconds(members.size());
    for (const auto &member : members) {
        if (const auto checks = SettingsOf(member.definition.name); DeclaresReadiness(checks)) {
            bound += checks->start_timeout;
        }
    }
    AwaitOutcome(
        [=, this](const std::shared_ptr<Waiter> &waiter) {
            RefuseWhenShuttingDown();
            ContinueChain(std::make_shared<Chain>(Chain{members, 0, waiter, RequestUser(), RequestAccess()}));
        },
        1, bound);
}

void Supervisor::ContinueChain(const std::shared_ptr<Chain> &chain)
{
    const RequestUserScope scope(chain->user, chain->access);
    try {
        RefuseWhenShuttingDown();
        while (chain->next < chain->members.size()) {
            const Launchable &member = chain->members[chain->next++];
            Entry *entry             = Lookup(member.definition.name);
            if (entry == nullptr || entry->Active() || entry->phase == Phase::kStopping ||
                entry->phase == Phase::kKilling) {
                continue;
            }
            entry->extra_args  = {};
            entry->environment = member.environment;
            if (!DeclaresReadiness(SettingsOf(member.definition.name))) {
                LaunchNow(*entry);
                continue;
            }
            // The next member waits for this one to be ready, on the thread's events.
            auto ready  = std::make_shared<Waiter>(1);
            ready->then = [this, chain](const std::string &failure) {
                if (!failure.empty()) {
                    chain->waiter->Fail(failure);
                } else {
                    Post([this, chain] { ContinueChain(chain); });
                }
            };
            entry->start_timeout = 0;
            Fire(*entry, Event::kStart, Facts{.start_waiting = true}, ready);
            return;
        }
        chain->waiter->Succeed();
    } catch (const AgentError &error) {
        chain->waiter->Fail(error.what());
    }
}

void Supervisor::StartAll()
{
    AwaitOutcome(
        [this](const std::shared_ptr<Waiter> &waiter) {
            RefuseWhenShuttingDown();
            std::vector<Entry *> stopped;
            for (auto &[name, entry] : entries_) {
                if (!entry->Active() && entry->phase != Phase::kStopping && entry->phase != Phase::kKilling) {
                    RequireRunAs(entry->definition.euid);
                    stopped.push_back(entry.get());
                }
            }
            for (Entry *entry : stopped) {
                LaunchNow(*entry);
            }
            waiter->Succeed();
        },
        1, kStartAllBound);
}

void Supervisor::Relaunch(const std::string &name, const std::string &host)
{
    AwaitOutcome(
        [=, this](const std::shared_ptr<Waiter> &waiter) {
            RefuseWhenShuttingDown();
            Entry &entry = Find(name, host);
            // Another request may have started it meanwhile.
            if (entry.Active() || entry.phase == Phase::kStopping || entry.phase == Phase::kKilling) {
                waiter->Succeed();
                return;
            }
            RequireRunAs(entry.definition.euid);
            entry.start_timeout = 0;
            Fire(entry, Event::kStart, Facts{}, waiter);
        },
        1, std::chrono::seconds(0));
}

void Supervisor::Stop(const std::vector<std::string> &names) { StopTogether(names, false); }

void Supervisor::StopTogether(const std::vector<std::string> &names, bool shutting_down)
{
    if (names.empty()) {
        return;
    }
    AwaitOutcome(
        [=, this](const std::shared_ptr<Waiter> &waiter) {
            // The agent's own last stop goes through its refusal of requests.
            if (!shutting_down) {
                RefuseWhenShuttingDown();
            }
            for (const auto &name : names) {
                Entry *entry = Lookup(name);
                if (entry == nullptr) {
                    waiter->Succeed();
                    continue;
                }
                Facts facts;
                facts.leader_gone  = entry->pid == 0;
                facts.groups_alive = GroupsAlive(*entry);
                Fire(*entry, Event::kStop, facts, waiter);
            }
        },
        static_cast<int>(names.size()), options_.grace + kKillWait);
}

void Supervisor::StopOne(const std::string &name, const std::string &host)
{
    OnThread([&] {
        RefuseWhenShuttingDown();
        Find(name, host);
    });
    Stop({name});
}

void Supervisor::StopAll()
{
    std::vector<std::string> names = OnThread([this] {
        RefuseWhenShuttingDown();
        std::vector<std::string> all;
        for (const auto &[name, entry] : entries_) {
            all.push_back(name);
        }
        return all;
    });
    Stop(names);
}

void Supervisor::Signal(const std::string &name, const std::string &host, int signal)
{
    OnThread([&] {
        Entry &entry = Find(name, host);
        if (signal < 0 || signal > SIGRTMAX) {
            throw AgentError("no signal " + std::to_string(signal));
        }
        if (entry.pid == 0) {
            throw AgentError("process " + name + " is not running");
        }
        if (!entry.groups.back().Signal(signal)) {
            throw AgentError("cannot signal process " + name);
        }
    });
    Log(Verbosity::kEvent, "sent signal " + std::to_string(signal) + " to process " + name);
}

void Supervisor::Report(std::int32_t process_id, pid_t pid)
{
    OnThread([&] {
        auto found = std::find_if(entries_.begin(), entries_.end(),
                                  [process_id](const auto &item) { return item.second->id == process_id; });
        if (found == entries_.end()) {
            throw AgentError("no process has the id " + std::to_string(process_id));
        }
        Entry &entry            = *found->second;
        const std::string &name = entry.definition.name;
        if (!entry.AwaitsReady() || entry.Readiness() != ReadyBy::kInform || entry.reported_pid != 0) {
            throw AgentError("process " + name + " is not waiting for a report");
        }
        if (!DescendsFrom(pid, entry.pid)) {
            throw AgentError("PID " + std::to_string(pid) + " is not process " + name + " or one of its descendants");
        }
        entry.reported_pid = pid;
        Log(Verbosity::kEvent, "process " + name + " reported PID " + std::to_string(pid));
        OnReady(entry, ReadyBy::kInform);
    });
}

void Supervisor::ShutDown(bool stop_processes)
{
    OnThread([this] {
        shutting_down_ = true;
        for (auto &[name, entry] : entries_) {
            if (entry->start_waiter) {
                std::exchange(entry->start_waiter, nullptr)->Fail("the agent is stopping");
            }
            // A stop under way goes on to its end; its requests are answered now.
            for (const auto &waiter : std::exchange(entry->stop_waiters, {})) {
                waiter->Fail("the agent is stopping");
            }
            if (entry->phase == Phase::kRestartPending) {
                ++entry->generation;
                entry->phase = Phase::kFailed;
                EndRecord(*entry);
                EmitFailed(*entry, "the agent is stopping");
            }
        }
    });
    if (!stop_processes) {
        return;
    }
    std::vector<std::string> names = OnThread([this] {
        std::vector<std::string> all;
        for (const auto &[name, entry] : entries_) {
            all.push_back(name);
        }
        return all;
    });
    try {
        StopTogether(names, true);
    } catch (const AgentError &error) {
        Log(Verbosity::kError, error.what());
    }
}

ProcessView Supervisor::Status(const std::string &name, const std::string &host) const
{
    return OnThread([&] { return View(Find(name, host)); });
}

std::string Supervisor::LogOf(const std::string &name, const std::string &host) const
{
    return OnThread([&] {
        const Entry &entry = Find(name, host);
        return entry.pid != 0 ? entry.log_name : LogFileName(entry.definition.name);
    });
}

std::vector<ProcessView> Supervisor::List(bool running_only) const
{
    return OnThread([&] {
        std::vector<ProcessView> views;
        views.reserve(entries_.size());
        for (const auto &[name, entry] : entries_) {
            if (!running_only || entry->pid != 0) {
                views.push_back(View(*entry));
            }
        }
        return views;
    });
}

int Supervisor::Running(const std::vector<std::string> &names) const
{
    return OnThread([&] {
        return static_cast<int>(std::count_if(names.begin(), names.end(), [this](const std::string &name) {
            const Entry *entry = Lookup(name);
            return entry != nullptr && entry->pid != 0;
        }));
    });
}

bool Supervisor::AnyActive(const std::vector<std::string> &names) const
{
    return OnThread([&] {
        return std::any_of(names.begin(), names.end(), [this](const std::string &name) {
            const Entry *entry = Lookup(name);
            return entry != nullptr &&
                   (entry->Active() || entry->phase == Phase::kStopping || entry->phase == Phase::kKilling);
        });
    });
}

int Supervisor::Adopt()
{
    if (!journal_) {
        return 0;
    }
    const auto began                         = Clock::now();
    const std::vector<RunningRecord> records = Recorded();
    const int adopted                        = OnThread([&] {
        int taken = 0;
        for (const RunningRecord &record : records) {
            taken += AdoptOne(record) ? 1 : 0;
        }
        std::vector<RunningRecord> now;
        for (const auto &[name, entry] : entries_) {
            if (entry->pid != 0 || entry->phase == Phase::kRestartPending) {
                now.push_back({entry->definition, entry->pid, entry->identity, entry->launch_key, entry->extra_args,
                               entry->environment});
            }
        }
        try {
            journal_->Reset(now);
        } catch (const std::runtime_error &error) {
            Log(Verbosity::kError, error.what());
        }
        return taken;
    });
    const auto took = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - began);
    Log(Verbosity::kEvent, "adopted " + std::to_string(adopted) + " of " + std::to_string(records.size()) +
                               " recorded processes in " + std::to_string(took.count()) + " us");
    return adopted;
}

std::vector<RunningRecord> Supervisor::Recorded() const
{
    const std::string path = options_.state_file.string();
    std::optional<std::string> text;
    try {
        text = ReadStateText(options_.state_file);
    } catch (const std::runtime_error &error) {
        Log(Verbosity::kError, error.what() + std::string("; no process taken on"));
        return {};
    }
    ParsedState state = ParseState(text.value_or(""));
    for (const BadLine &line : state.bad_lines) {
        Log(Verbosity::kError,
            path + ":" + std::to_string(line.number) + ": " + line.reason + "; what it records is not taken on");
    }
    // The file is rewritten next: what it holds that the agent could not read stays beside it.
    if (!state.bad_lines.empty()) {
        try {
            Log(Verbosity::kError, "kept " + path + " as " + KeepAside(options_.state_file, *text).string());
        } catch (const std::runtime_error &error) {
            Log(Verbosity::kError, "cannot keep " + path + " aside: " + error.what());
        }
    }
    return std::move(state.records);
}

bool Supervisor::AdoptOne(const RunningRecord &record)
{
    const std::string &name = record.definition.name;
    Entry *existing         = Lookup(name);
    if (record.pid == 0) {
        // A managed process that was waiting for its restart when the earlier agent ended:
        // restarted now, and only as the configuration defines it: what the state file says is
        // no reason to run a command.
        if (existing == nullptr) {
            Log(Verbosity::kError, "dropped the restart of process " + name + ": the configuration does not define it");
            return false;
        }
        if (existing->Active()) {
            return false;
        }
        existing->extra_args  = record.extra_args;
        existing->environment = record.environment;
        ++existing->generation;
        existing->phase = Phase::kRestartPending;
        Arm(*existing, Event::kRestartDue, Clock::duration::zero());
        Log(Verbosity::kEvent, "process " + name + " was waiting for its restart; restarting it");
        return true;
    }
    const std::string pid = std::to_string(record.pid);
    const RecordedLaunch launch{record.pid, record.identity, record.launch_key,
                                static_cast<uid_t>(record.definition.euid)};
    std::string refusal;
    std::optional<LaunchedChild> taken = paagent::Adopt(launch, refusal);
    if (!refusal.empty()) {
        Log(Verbosity::kError, "not taking on process " + name + " (PID " + pid + "): " + refusal);
        return false;
    }
    if (!taken) {
        Log(Verbosity::kEvent,
            "forgot process " + name + " (PID " + pid + "): it has ended, or its PID now belongs to another process");
        return false;
    }
    Entry *entry = existing;
    try {
        if (entry == nullptr) {
            entry = &DefineOne(record.definition);
        }
    } catch (const AgentError &error) {
        Log(Verbosity::kError, "cannot take on process " + name + " (PID " + pid + "): " + error.what());
        return false;
    }
    if (entry->Active()) {
        Log(Verbosity::kError, "process " + name + " is recorded twice; PID " + pid + " not taken on");
        return false;
    }
    entry->pid         = record.pid;
    entry->adopted     = true;
    entry->identity    = record.identity;
    entry->launch_key  = record.launch_key;
    entry->extra_args  = record.extra_args;
    entry->environment = record.environment;
    entry->started     = Clock::now();
    ++entry->generation;
    entry->phase = Phase::kRunning;
    entry->groups.emplace_back(record.pid, std::move(taken->pidfd));
    Watch(record.pid, entry->groups.back().Pidfd());
    leaders_[record.pid] = entry;
    // It has run since the earlier agent started it: only its checks tell more.
    entry->checks = SettingsOf(name);
    entry->health = Health::kReady;
    WatchHealth(*entry);
    // As the earlier agent named it, unless the process was renamed while it ran.
    entry->log_name        = LogFileName(name);
    logs_[entry->log_name] = entry;
    Emit(About(*entry, EventKind::kAdopted));
    Log(Verbosity::kEvent, "adopted process " + name + " (PID " + pid + ")");
    return true;
}

}  // namespace paagent
