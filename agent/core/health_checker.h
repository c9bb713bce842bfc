// Running the processes' health probes on a thread of its own, away from the requests and the
// supervisor: a probe that hangs holds up nothing but its own process's checks.
#ifndef PAAGENT_CORE_HEALTH_CHECKER_H
#define PAAGENT_CORE_HEALTH_CHECKER_H

#include <chrono>
#include <csignal>
#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "core/agent_types.h"
#include "core/check_settings.h"
#include "core/health_probe.h"
#include "tds/socket.h"

namespace paagent {

struct HealthReport {
    enum class Kind {
        kPassed,     // the first pass since Watch, which ends an unhealthy spell too
        kUnhealthy,  // failures in a row, outside the start period, reached the settings' count
        kHealthy     // a pass after unhealthy, once one had passed before
    };
    std::string name;
    Kind kind = Kind::kPassed;
    std::string output;  // the last check's output or error, cut to kProbeOutputLimit
};

// Checks each watched process first when it is watched, then `interval` after the end of each
// check. Reports come on the checker's thread with its lock held, so that none comes for a name
// once Unwatch has returned: the report must neither wait nor call the checker. The probes'
// commands are the agent's children, whose ends the supervisor may reap and hand to ChildEnded.
class HealthChecker {
public:
    using Clock = std::chrono::steady_clock;

    HealthChecker(std::function<void(const HealthReport &)> report,
                  std::function<void(Verbosity, const std::string &)> log);
    // Kills the probes' commands that run.
    ~HealthChecker();
    HealthChecker(const HealthChecker &)            = delete;
    HealthChecker &operator=(const HealthChecker &) = delete;

    // Checks the process, started then, by the settings' probe; replaces an earlier watch of it.
    // Settings without a probe only end the earlier watch.
    void Watch(const std::string &name, const CheckSettings &settings, Clock::time_point started);
    // Stops its checks: a probe that runs is given up, its result dropped.
    void Unwatch(const std::string &name);
    // A child of the agent that another part reaped: a probe command's end when it was one.
    void ChildEnded(const siginfo_t &child);

private:
    struct Watched {
        CheckSettings settings;
        Clock::time_point started;
        std::uint64_t generation = 0;
        Clock::time_point due;  // of the next check, when none runs
        bool checking  = false;
        bool passed    = false;
        bool unhealthy = false;
        int failures   = 0;  // in a row, that count
    };
    struct Check {
        std::string name;
        std::uint64_t generation = 0;
        Clock::time_point began;
        std::unique_ptr<ProbeRun> run;
    };

    void Loop();
    // The following run with mutex_ held.
    void StartDue(Clock::time_point now);
    // Reports what the checks found, gives up those no watch wants and drops those done.
    void Settle(Clock::time_point now);
    void Judge(const std::string &name, Watched &watched, const Check &check, ProbeResult result,
               Clock::time_point now);
    void Report(const std::string &name, HealthReport::Kind kind, std::string output);
    void Wake() const;

    const std::function<void(const HealthReport &)> report_;
    const std::function<void(Verbosity, const std::string &)> log_;
    tds::FileDescriptor wake_;  // an eventfd
    std::mutex mutex_;
    std::map<std::string, Watched> watched_;
    std::list<Check> checks_;  // that run, or whose commands wait to be reaped
    std::uint64_t generations_ = 0;
    bool stopping_             = false;
    std::thread thread_;
};

}  // namespace paagent

#endif  // PAAGENT_CORE_HEALTH_CHECKER_H
