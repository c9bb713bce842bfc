// The owner of the agent's processes: their table, launches, exits, restarts and stops, the
// processes an earlier agent left, and the state file. One thread does all of it, woken by the
// exits of the agent's children (it is their subreaper), by its timer and by the commands that
// requests hand it; each request waits for its own command only, within a bound.
#ifndef PAAGENT_CORE_SUPERVISOR_H
#define PAAGENT_CORE_SUPERVISOR_H

#include <chrono>
#include <csignal>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <sys/types.h>
#include <thread>
#include <utility>
#include <vector>

#include "core/agent_types.h"
#include "core/check_settings.h"
#include "core/health_checker.h"
#include "core/life_cycle.h"
#include "core/member_processes.h"
#include "core/spawn.h"
#include "core/state_journal.h"
#include "tds/socket.h"

namespace paagent {

struct SupervisorOptions {
    // The agent server the processes run under; they find it in PA_SERVER.
    std::string server_name = "PASRV";
    std::filesystem::path log_dir;  // process output goes to log_dir/NAME.log
    std::chrono::milliseconds grace{5000};
    // A managed process that keeps failing is restarted after this delay, doubled at each
    // failure up to kMaxRestartDelays of it; a run of that longest delay or more starts the
    // doubling again.
    std::chrono::milliseconds restart_delay{1000};
    std::vector<std::string> log_writer;  // see LaunchRequest
    std::filesystem::path state_file;     // none when empty
    std::function<void(Verbosity, const std::string &)> log;
    // Takes each event of the processes' lives.
    std::function<void(agentclient::Event)> emit;
    // Takes the end of each child the supervisor reaped that was none of its own, as its health
    // checker does: the agent is the subreaper of its processes, and reaps every child.
    std::function<void(const siginfo_t &)> child_ended;
    // A process's readiness and health settings, read at each launch; none without.
    std::function<std::optional<CheckSettings>(const std::string &)> check_settings;
};

// How a process ended.
struct ExitStatus {
    bool signalled = false;  // killed by a signal, else exited
    int code       = 0;      // the exit status, or the signal number
    // False for a process that is not the agent's child (adopted from an earlier agent): it
    // has ended, but only its parent can learn how.
    bool known = true;

    bool Success() const { return known && !signalled && code == 0; }
};

// The longest restart delay, in restart delays: from 1 s, doubling up to 60 s.
inline constexpr int kMaxRestartDelays = 60;

// A member of a service to start: its definition and what its environment gains.
struct Launchable {
    Process definition;
    std::vector<std::string> environment;
};

class Supervisor : public MemberProcesses {
public:
    // Blocks SIGCHLD in the calling thread, which every later thread inherits: create it before
    // any other thread. Throws std::system_error when the log directory or the thread's
    // descriptors cannot be had.
    explicit Supervisor(SupervisorOptions options);
    // Ends the thread; processes still running are left running, and recorded.
    ~Supervisor() override;
    Supervisor(const Supervisor &)            = delete;
    Supervisor &operator=(const Supervisor &) = delete;

    // Every call below is a command run on the supervisor's thread; one that waits for an
    // outcome waits for its own. Each throws AgentError with the refusal or the failure.

    // Refuses a definition that cannot be made the process's now.
    void CheckDefinable(const std::vector<Process> &definitions) const override;
    // Defines the processes, replacing the definitions of those that do not run.
    void Define(const std::vector<Process> &definitions) override;
    // Renames and redefines a process.
    void Change(const std::string &old_name, const Process &definition);
    // Forgets those of the processes that do not run.
    void Forget(const std::vector<std::string> &names) override;
    // Defines and starts a process, and waits up to timeout_seconds for it to report (PA-aware)
    // or to fail; one whose settings declare a readiness, up to their start time-out for it to
    // be ready. One that runs but is not ready is left running.
    void Start(const Process &definition, std::int32_t timeout_seconds, const std::string &extra_args);
    // Starts, in order, those of the processes that are not running or about to; one whose
    // settings declare a readiness must be ready within their start time-out before the next
    // starts. One that is not stops the start there, leaving running those started.
    void StartEach(const std::vector<Launchable> &members);
    // Starts every defined process that is not running or about to, as it last ran.
    void StartAll();
    // Starts a process again as it last ran, unless it runs or is about to.
    void Relaunch(const std::string &name, const std::string &host);
    // Stops the processes together: SIGTERM to every group each has started, one grace period,
    // SIGKILL to the groups left, one kill wait. Done when no process of those groups is left.
    void Stop(const std::vector<std::string> &names);
    void StopOne(const std::string &name, const std::string &host);
    void StopAll();
    void Signal(const std::string &name, const std::string &host, int signal);
    // A PA-aware process reports its PID, naming the process id it was started with: accepted
    // while its start waits for that report, or while one whose readiness is its report is not
    // ready, for the process or a descendant only.
    void Report(std::int32_t process_id, pid_t pid);
    // Takes on what the state file records, for the processes defined by then: those that
    // still run as if launched here, those that waited for their restart restarted. Then the
    // file holds what runs. Returns how many it took on.
    int Adopt();
    // Refuses every later start and stop; with stop_processes stops every process first.
    void ShutDown(bool stop_processes);

    ProcessView Status(const std::string &name, const std::string &host) const;
    // The file in the log directory the process's output goes to: while it runs, the one it was
    // started with, whatever it has been renamed since.
    std::string LogOf(const std::string &name, const std::string &host) const;
    std::vector<ProcessView> List(bool running_only) const;
    // How many of the named have a process running.
    int Running(const std::vector<std::string> &names) const override;
    // Whether one of the named runs or is about to.
    bool AnyActive(const std::vector<std::string> &names) const override;

private:
    struct Entry;
    struct Waiter;
    struct Chain;
    struct Timer {
        std::string name;
        Event event;
        std::uint64_t generation;
    };
    using Clock = std::chrono::steady_clock;

    // Runs fn on the thread and returns what it returns, or throws what it throws.
    template <typename Fn>
    auto OnThread(Fn fn) const -> decltype(fn());
    // Posts fn, whose outcome waiter gives, and waits for it within bound.
    void AwaitOutcome(const std::function<void(const std::shared_ptr<Waiter> &)> &fn, int count,
                      std::chrono::milliseconds bound) const;
    void Post(std::function<void()> fn) const;
    void Loop();
    void RunCommands();
    void OnChildrenSignal();
    // Reaps every child that has ended.
    void ReapChildren();
    void Watch(pid_t pid, int pidfd);
    // Keeps a released child's start until the child has run its command.
    void Finish(ChildStartPointer start);
    void Unwatch(int pidfd);
    // Takes the exit of the entry's process, readable on its pidfd.
    void OnLeaderEnded(Entry &entry);
    void RunTimers();
    void OnLeaderExit(Entry &entry, const ExitStatus &status);
    // Reads what its notification socket holds.
    void OnNotified(Entry &entry);
    // A sign that it is ready, which makes it so when it is the sign its readiness waits for.
    void OnReady(Entry &entry, ReadyBy by);
    // A report of its checks, made at the time given: one from before its checks were last
    // watched is of an earlier run.
    void OnHealthReport(const HealthReport &report, Clock::time_point made);
    // Says it is unhealthy and why; one that may_restart and whose settings say so is restarted.
    void ReportUnhealthy(Entry &entry, const std::string &why, bool may_restart);
    // Its start-timeout has passed: a start waiting for it fails, and one still not ready is
    // unhealthy.
    void OnStartTimeOut(Entry &entry);
    void WatchHealth(Entry &entry);
    std::optional<CheckSettings> SettingsOf(const std::string &name) const;
    bool MayRestart(const Entry &entry) const;
    // Starts the chain's members from its next, up to one whose readiness it must wait for.
    void ContinueChain(const std::shared_ptr<Chain> &chain);
    void CheckLingering();
    void Fire(Entry &entry, Event event, Facts facts, const std::shared_ptr<Waiter> &requester = nullptr);
    // Starts it at once, without waiting for it; throws AgentError when it cannot be launched.
    void LaunchNow(Entry &entry);
    void StopTogether(const std::vector<std::string> &names, bool shutting_down);
    void LaunchEntry(Entry &entry);
    void SignalGroups(Entry &entry, int signal);
    bool GroupsAlive(Entry &entry) const;
    void Arm(Entry &entry, Event event, Clock::duration after);
    void RearmTimer();
    void Record(const Entry &entry);
    void EndRecord(const Entry &entry);
    void LogExit(const Entry &entry, const ExitStatus &status, Phase before);
    // An event about the entry's process, in the name of the request that set its course.
    agentclient::Event About(const Entry &entry, EventKind kind) const;
    void Emit(agentclient::Event event) const;
    // Its alert message, or else why.
    void EmitFailed(const Entry &entry, const std::string &why) const;
    Entry &Find(const std::string &name, const std::string &host) const;
    Entry *Lookup(const std::string &name) const;
    Entry &DefineOne(const Process &definition);
    void CheckOne(const Process &definition) const;
    void RefuseWhenShuttingDown() const;
    ProcessView View(const Entry &entry) const;
    void Log(Verbosity verbosity, const std::string &text) const;
    std::vector<RunningRecord> Recorded() const;
    bool AdoptOne(const RunningRecord &record);

    SupervisorOptions options_;
    tds::FileDescriptor log_directory_;
    tds::FileDescriptor epoll_;
    tds::FileDescriptor wake_;      // an eventfd: commands wait
    tds::FileDescriptor children_;  // a signalfd of SIGCHLD
    tds::FileDescriptor timer_;     // a timerfd armed for the first of timers_
    mutable std::mutex queue_mutex_;
    mutable std::deque<std::function<void()>> queue_;
    // Everything below belongs to the thread.
    std::map<std::string, std::unique_ptr<Entry>> entries_;
    Launcher launcher_;
    std::map<pid_t, Entry *> leaders_;  // processes that run, by PID
    // The logs of the processes that run, by file name: a process renamed while it runs keeps
    // writing the log of its old name.
    std::map<std::string, const Entry *> logs_;
    // Pidfds of the log writers that have not ended, by PID, for the agent to reap them.
    std::map<pid_t, tds::FileDescriptor> writers_;
    std::deque<ChildStartPointer> starts_;        // oldest first
    bool sweep_now_ = false;                      // a stop waits for a group: reap every child
    std::optional<Clock::time_point> sweep_due_;  // when to reap the orphans that ended
    std::set<Entry *> lingering_;                 // stopping, leader gone, a group left
    std::multimap<Clock::time_point, Timer> timers_;
    std::optional<StateJournal> journal_;
    // Its reports come to the thread as commands.
    HealthChecker health_;
    std::int32_t next_id_ = 1;
    bool shutting_down_   = false;
    bool ending_          = false;
    std::thread thread_;
};

}  // namespace paagent

#endif  // PAAGENT_CORE_SUPERVISOR_H
