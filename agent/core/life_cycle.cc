#include "core/life_cycle.h"

#include <array>

namespace paagent {

namespace {

using Rule = Transition (*)(Phase phase, const Facts &facts);

Transition Stay(Phase phase, const Facts &) { return {phase}; }

Transition Launch(Phase, const Facts &facts)
{
    if (facts.start_waiting) {
        return {Phase::kStarting, kLaunch | kResetRestarts | kArmStartTimer};
    }
    return {Phase::kRunning, kLaunch | kResetRestarts | kStartSucceeds};
}

Transition RefuseRunning(Phase phase, const Facts &) { return {phase, kRefuse, "is already running"}; }
Transition RefuseStopping(Phase phase, const Facts &) { return {phase, kRefuse, "is stopping"}; }
Transition RefusePending(Phase phase, const Facts &) { return {phase, kRefuse, "is waiting for its restart"}; }

// A stop of a process whose leader has gone still ends the groups it left behind.
Transition StopAtRest(Phase, const Facts &facts)
{
    if (facts.groups_alive) {
        return {Phase::kStopping, kSignalTerm | kJoinStop | kResetRestarts};
    }
    return {Phase::kStopped, kStopSucceeds | kResetRestarts};
}

Transition StopRunning(Phase, const Facts &) { return {Phase::kStopping, kSignalTerm | kJoinStop | kResetRestarts}; }

Transition StopStarting(Phase, const Facts &)
{
    return {Phase::kStopping, kSignalTerm | kJoinStop | kStartFails | kResetRestarts};
}

Transition JoinStop(Phase phase, const Facts &) { return {phase, kJoinStop}; }

Transition Reported(Phase phase, const Facts &facts)
{
    return facts.reports ? Transition{Phase::kRunning, kStartSucceeds} : Transition{phase};
}

// A process that ends while its start waits: a success only for one that was not to report.
Transition ExitWhileStarting(Phase, const Facts &facts)
{
    if (facts.exit_success && !facts.reports) {
        return {Phase::kExited, kStartSucceeds};
    }
    return {Phase::kFailed, kStartFails};
}

Transition StartTimedOut(Phase, const Facts &facts)
{
    return {Phase::kRunning, facts.reports ? kStartFails : kStartSucceeds};
}

Transition ExitWhileRunning(Phase, const Facts &facts)
{
    if (facts.exit_success) {
        return {Phase::kExited};
    }
    if (facts.may_restart) {
        return {Phase::kRestartPending, kArmRestart | kLogUnexpected};
    }
    return {Phase::kFailed, kLogUnexpected};
}

// A stop is done when the leader has exited and no process of its groups is left.
Transition EndedWhileStopping(Phase phase, const Facts &facts)
{
    if (facts.leader_gone && !facts.groups_alive) {
        return {Phase::kStopped, kStopSucceeds};
    }
    return {phase};
}

Transition Kill(Phase, const Facts &) { return {Phase::kKilling, kSignalKill}; }
Transition KillInPlace(Phase phase, const Facts &) { return {phase, kSignalKill}; }

Transition Recycle(Phase phase, const Facts &facts)
{
    return facts.restart_unhealthy ? Transition{Phase::kRecycling, kSignalTerm} : Transition{phase};
}

// Once all of an unhealthy process is gone, it is restarted as one that failed; its exit status
// is that of the signal it was sent.
Transition EndedWhileRecycling(Phase phase, const Facts &facts)
{
    if (!facts.leader_gone || facts.groups_alive) {
        return {phase};
    }
    if (facts.may_restart) {
        return {Phase::kRestartPending, kArmRestart};
    }
    return {Phase::kFailed};
}
Transition KillFailed(Phase, const Facts &) { return {Phase::kFailed, kStopFails}; }
Transition Restart(Phase, const Facts &) { return {Phase::kRunning, kLaunch}; }

// clang-format off
// Rows are phases, columns events, in the order of their enumerations.
constexpr std::array<std::array<Rule, kEvents>, kPhases> kRules{{
    //              kStart          kStop         kReady    kLeaderExit          kGroupsEnded         kStartTimedOut kGraceOver   kKillWaitOver kRestartDue kUnhealthy
    /* Stopped   */ {Launch,         StopAtRest,   Stay,     Stay,                Stay,                Stay,          Stay,        Stay,         Stay,       Stay},
    /* Starting  */ {RefuseRunning,  StopStarting, Reported, ExitWhileStarting,   Stay,                StartTimedOut, Stay,        Stay,         Stay,       Stay},
    /* Running   */ {RefuseRunning,  StopRunning,  Stay,     ExitWhileRunning,    Stay,                Stay,          Stay,        Stay,         Stay,       Recycle},
    /* Stopping  */ {RefuseStopping, JoinStop,     Stay,     EndedWhileStopping,  EndedWhileStopping,  Stay,          Kill,        Stay,         Stay,       Stay},
    /* Killing   */ {RefuseStopping, JoinStop,     Stay,     EndedWhileStopping,  EndedWhileStopping,  Stay,          Stay,        KillFailed,   Stay,       Stay},
    /* Pending   */ {RefusePending,  StopAtRest,   Stay,     Stay,                Stay,                Stay,          Stay,        Stay,         Restart,    Stay},
    /* Exited    */ {Launch,         StopAtRest,   Stay,     Stay,                Stay,                Stay,          Stay,        Stay,         Stay,       Stay},
    /* Failed    */ {Launch,         StopAtRest,   Stay,     Stay,                Stay,                Stay,          Stay,        Stay,         Stay,       Stay},
    /* Recycling */ {RefuseStopping, StopRunning,  Stay,     EndedWhileRecycling, EndedWhileRecycling, Stay,          KillInPlace, KillFailed,   Stay,       Stay},
}};
// clang-format on

}  // namespace

Transition Next(Phase phase, Event event, const Facts &facts)
{
    return kRules[static_cast<int>(phase)][static_cast<int>(event)](phase, facts);
}

std::string_view PhaseName(Phase phase)
{
    constexpr std::array<std::string_view, kPhases> kNames{
        "stopped", "starting", "running", "stopping", "killing", "restart pending", "exited", "failed", "recycling"};
    return kNames[static_cast<int>(phase)];
}

std::string_view EventName(Event event)
{
    constexpr std::array<std::string_view, kEvents> kNames{
        "start",           "stop",       "ready",          "leader exit", "groups ended",
        "start timed out", "grace over", "kill wait over", "restart due", "unhealthy"};
    return kNames[static_cast<int>(event)];
}

}  // namespace paagent
