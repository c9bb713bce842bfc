// A supervised process's life cycle: the phases it goes through, the events that move it, and one
// transition per phase and event, read as a table. Pure: the supervisor carries out the effects.
#ifndef PAAGENT_CORE_LIFE_CYCLE_H
#define PAAGENT_CORE_LIFE_CYCLE_H

#include <cstdint>
#include <string_view>

namespace paagent {

enum class Phase : std::uint8_t {
    kStopped,         // never started, or stopped on request
    kStarting,        // launched; a start waits for it to be ready or for its time-out
    kRunning,         // launched, nobody waits
    kStopping,        // SIGTERM sent to its groups; waits for them to end within the grace period
    kKilling,         // SIGKILL sent to the groups left; waits for them within the kill wait
    kRestartPending,  // ended unexpectedly; launched again when its delay has passed
    kExited,          // ended by itself with status 0
    kFailed,          // ended otherwise, gave up restarting, or could not be started or stopped
    kRecycling,       // unhealthy: SIGTERM sent to its groups, SIGKILL after the grace period;
                      // restarted as a failure once they have ended
};
inline constexpr int kPhases = 9;

enum class Event : std::uint8_t {
    kStart,          // a request to start it
    kStop,           // a request to stop it
    kReady,          // it showed it is ready: its report, READY=1 or its first passing check
    kLeaderExit,     // the process it launched exited
    kGroupsEnded,    // no process of any group it launched is left
    kStartTimedOut,  // the start's time-out passed
    kGraceOver,      // the grace period after SIGTERM passed
    kKillWaitOver,   // the wait after SIGKILL passed
    kRestartDue,     // the restart delay passed
    kUnhealthy,      // its health checks failed their count in a row
};
inline constexpr int kEvents = 10;

// What the supervisor knows when an event comes that decides where it leads.
struct Facts {
    bool exit_success  = false;  // kLeaderExit: it exited with status 0
    bool reports       = false;  // a start waits for it to be ready, not only to run
    bool may_restart   = false;  // managed, with restarts left, and the agent not shutting down
    bool leader_gone   = false;  // the launched process has exited
    bool groups_alive  = false;  // a process of one of its groups is left
    bool start_waiting = false;  // kStart: the request waits (a time-out above zero)
    // kUnhealthy: managed, restarts left, its settings restart it, the agent not shutting down
    bool restart_unhealthy = false;
};

// What the supervisor does on a transition, in this order.
enum Effect : std::uint16_t {
    kNone          = 0,
    kRefuse        = 1 << 0,   // the request is refused: why, in Transition::refusal
    kLaunch        = 1 << 1,   // fork the command, record it, let it run
    kSignalTerm    = 1 << 2,   // SIGTERM to every group left, and arm the grace period
    kSignalKill    = 1 << 3,   // SIGKILL to every group left, and arm the kill wait
    kArmRestart    = 1 << 4,   // count a restart and arm its delay
    kArmStartTimer = 1 << 5,   // arm the start's time-out
    kStartSucceeds = 1 << 6,   // the waiting start is answered: done
    kStartFails    = 1 << 7,   // the waiting start is answered with the reason
    kStopSucceeds  = 1 << 8,   // the waiting stops are answered: done
    kStopFails     = 1 << 9,   // the waiting stops are answered: still running after SIGKILL
    kJoinStop      = 1 << 10,  // the stop request waits with those already waiting
    kLogUnexpected = 1 << 11,  // an exit nobody asked for, logged as an error
    kResetRestarts = 1 << 12,  // a request starts or stops it: the restart count starts again
};

struct Transition {
    constexpr Transition(Phase to, std::uint16_t effect_set = kNone, std::string_view why = {})
        : next(to), effects(effect_set), refusal(why)
    {
    }

    Phase next;
    std::uint16_t effects;
    std::string_view refusal;  // with kRefuse: what is wrong, after "process NAME "
};

// The transition an event makes from a phase; an event a phase does not expect leaves it where
// it is, with no effect.
Transition Next(Phase phase, Event event, const Facts &facts);

std::string_view PhaseName(Phase phase);
std::string_view EventName(Event event);

}  // namespace paagent

#endif  // PAAGENT_CORE_LIFE_CYCLE_H
