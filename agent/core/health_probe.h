// One run of a process's health probe, moved on by the health checker's thread as the
// descriptors it waits on become ready, so that a probe that hangs holds up no other.
#ifndef PAAGENT_CORE_HEALTH_PROBE_H
#define PAAGENT_CORE_HEALTH_PROBE_H

#include <array>
#include <chrono>
#include <csignal>
#include <memory>
#include <optional>
#include <poll.h>
#include <string>

#include "core/check_settings.h"

namespace paagent {

// What a probe says: its output on a pass, its output or error on a failure.
struct ProbeResult {
    bool passed = false;
    std::string output;
};

// The most of a probe's output kept; an HTTP status line longer than this is a failure.
inline constexpr std::size_t kProbeOutputLimit = 1024;

class ProbeRun {
public:
    using Clock = std::chrono::steady_clock;
    // The descriptors of one poll a run waits on; fd -1 for none.
    using Slots = std::array<pollfd, 2>;

    virtual ~ProbeRun() = default;

    // The descriptors it waits on, and when it times out (when it has no result yet).
    virtual Slots Wanted() const = 0;
    std::optional<Clock::time_point> Deadline() const;
    // Moves on with what the poll found; a run past its deadline ends in a failure.
    void Advance(const Slots &ready, Clock::time_point now);
    // Its result, once there is one; given once.
    std::optional<ProbeResult> TakeResult();
    // Gives the run up, its result dropped.
    virtual void Abandon();
    // Whether nothing is left to wait for: a command has been reaped too.
    virtual bool Finished() const { return decided_; }
    // Another part reaped a child of the agent: whether it was this run's command.
    virtual bool ChildEnded(const siginfo_t & /*child*/) { return false; }

protected:
    explicit ProbeRun(std::chrono::milliseconds timeout) : deadline_(Clock::now() + timeout), timeout_(timeout) {}
    virtual void Step(const Slots &ready) = 0;
    virtual void TimedOut() {}
    void Decide(bool passed, std::string output);
    bool Decided() const { return decided_; }

private:
    Clock::time_point deadline_;
    std::chrono::milliseconds timeout_;
    bool decided_ = false;
    std::optional<ProbeResult> result_;
};

// Starts a run of the probe, which times out after timeout. A TCP or HTTP probe's host is a
// numeric address or "localhost": a name lookup may block for ever, and would hold up every
// check. Throws std::system_error when a command cannot be started.
std::unique_ptr<ProbeRun> StartProbe(const HealthProbe &probe, std::chrono::milliseconds timeout);

// "timed out after N s", N in seconds with the fraction the time-out has.
std::string TimedOutText(std::chrono::milliseconds timeout);

}  // namespace paagent

#endif  // PAAGENT_CORE_HEALTH_PROBE_H
