// Every phase meets every event: the cells that move a process, listed; all others leave it.
#include <gtest/gtest.h>

#include <optional>
#include <vector>

#include "core/life_cycle.h"

namespace paagent {
namespace {

struct Cell {
    Phase phase;
    Event event;
    Facts facts;
    Phase next;
    std::uint16_t effects;
};

constexpr Facts kNoFacts{};
constexpr Facts kWaits{.start_waiting = true};
constexpr Facts kReports{.reports = true};
constexpr Facts kSucceeded{.exit_success = true};
constexpr Facts kSucceededReporting{.exit_success = true, .reports = true};
constexpr Facts kMayRestart{.may_restart = true};
constexpr Facts kGroupsLeft{.groups_alive = true};
constexpr Facts kAllGone{.leader_gone = true};
constexpr Facts kLeaderLeft{.leader_gone = false};
constexpr Facts kRestartUnhealthy{.restart_unhealthy = true};
constexpr Facts kAllGoneMayRestart{.may_restart = true, .leader_gone = true};
constexpr Facts kAllGoneSucceeded{.exit_success = true, .leader_gone = true};

constexpr std::uint16_t kStopNow = kSignalTerm | kJoinStop | kResetRestarts;

// clang-format off
const std::vector<Cell> kMoves = {
    {Phase::kStopped,        Event::kStart,         kNoFacts,            Phase::kRunning,        kLaunch | kResetRestarts | kStartSucceeds},
    {Phase::kStopped,        Event::kStart,         kWaits,              Phase::kStarting,       kLaunch | kResetRestarts | kArmStartTimer},
    {Phase::kExited,         Event::kStart,         kNoFacts,            Phase::kRunning,        kLaunch | kResetRestarts | kStartSucceeds},
    {Phase::kFailed,         Event::kStart,         kWaits,              Phase::kStarting,       kLaunch | kResetRestarts | kArmStartTimer},
    {Phase::kStarting,       Event::kStart,         kNoFacts,            Phase::kStarting,       kRefuse},
    {Phase::kRunning,        Event::kStart,         kNoFacts,            Phase::kRunning,        kRefuse},
    {Phase::kStopping,       Event::kStart,         kNoFacts,            Phase::kStopping,       kRefuse},
    {Phase::kKilling,        Event::kStart,         kNoFacts,            Phase::kKilling,        kRefuse},
    {Phase::kRestartPending, Event::kStart,         kNoFacts,            Phase::kRestartPending, kRefuse},
    {Phase::kStopped,        Event::kStop,          kNoFacts,            Phase::kStopped,        kStopSucceeds | kResetRestarts},
    {Phase::kStopped,        Event::kStop,          kGroupsLeft,         Phase::kStopping,       kStopNow},
    {Phase::kExited,         Event::kStop,          kNoFacts,            Phase::kStopped,        kStopSucceeds | kResetRestarts},
    {Phase::kFailed,         Event::kStop,          kGroupsLeft,         Phase::kStopping,       kStopNow},
    {Phase::kRestartPending, Event::kStop,          kNoFacts,            Phase::kStopped,        kStopSucceeds | kResetRestarts},
    {Phase::kStarting,       Event::kStop,          kNoFacts,            Phase::kStopping,       kStopNow | kStartFails},
    {Phase::kRunning,        Event::kStop,          kNoFacts,            Phase::kStopping,       kStopNow},
    {Phase::kStopping,       Event::kStop,          kNoFacts,            Phase::kStopping,       kJoinStop},
    {Phase::kKilling,        Event::kStop,          kNoFacts,            Phase::kKilling,        kJoinStop},
    {Phase::kStarting,       Event::kReady,         kReports,            Phase::kRunning,        kStartSucceeds},
    {Phase::kStarting,       Event::kLeaderExit,    kSucceeded,          Phase::kExited,         kStartSucceeds},
    {Phase::kStarting,       Event::kLeaderExit,    kSucceededReporting, Phase::kFailed,         kStartFails},
    {Phase::kStarting,       Event::kLeaderExit,    kMayRestart,         Phase::kFailed,         kStartFails},
    {Phase::kStarting,       Event::kStartTimedOut, kNoFacts,            Phase::kRunning,        kStartSucceeds},
    {Phase::kStarting,       Event::kStartTimedOut, kReports,            Phase::kRunning,        kStartFails},
    {Phase::kRunning,        Event::kLeaderExit,    kSucceeded,          Phase::kExited,         kNone},
    {Phase::kRunning,        Event::kLeaderExit,    kMayRestart,         Phase::kRestartPending, kArmRestart | kLogUnexpected},
    {Phase::kRunning,        Event::kLeaderExit,    kNoFacts,            Phase::kFailed,         kLogUnexpected},
    {Phase::kStopping,       Event::kLeaderExit,    kAllGone,            Phase::kStopped,        kStopSucceeds},
    {Phase::kStopping,       Event::kLeaderExit,    kGroupsLeft,         Phase::kStopping,       kNone},
    {Phase::kStopping,       Event::kGroupsEnded,   kAllGone,            Phase::kStopped,        kStopSucceeds},
    {Phase::kStopping,       Event::kGroupsEnded,   kLeaderLeft,         Phase::kStopping,       kNone},
    {Phase::kKilling,        Event::kLeaderExit,    kAllGone,            Phase::kStopped,        kStopSucceeds},
    {Phase::kKilling,        Event::kGroupsEnded,   kAllGone,            Phase::kStopped,        kStopSucceeds},
    {Phase::kStopping,       Event::kGraceOver,     kNoFacts,            Phase::kKilling,        kSignalKill},
    {Phase::kKilling,        Event::kKillWaitOver,  kNoFacts,            Phase::kFailed,         kStopFails},
    {Phase::kRestartPending, Event::kRestartDue,    kNoFacts,            Phase::kRunning,        kLaunch},
    {Phase::kRunning,        Event::kUnhealthy,     kRestartUnhealthy,   Phase::kRecycling,      kSignalTerm},
    {Phase::kRecycling,      Event::kStart,         kNoFacts,            Phase::kRecycling,      kRefuse},
    {Phase::kRecycling,      Event::kStop,          kNoFacts,            Phase::kStopping,       kStopNow},
    {Phase::kRecycling,      Event::kLeaderExit,    kAllGoneMayRestart,  Phase::kRestartPending, kArmRestart},
    {Phase::kRecycling,      Event::kGroupsEnded,   kAllGoneSucceeded,   Phase::kFailed,         kNone},
    {Phase::kRecycling,      Event::kGraceOver,     kNoFacts,            Phase::kRecycling,      kSignalKill},
    {Phase::kRecycling,      Event::kKillWaitOver,  kNoFacts,            Phase::kFailed,         kStopFails},
};
// clang-format on

std::optional<Cell> Listed(Phase phase, Event event)
{
    for (const Cell &cell : kMoves) {
        if (cell.phase == phase && cell.event == event) {
            return cell;
        }
    }
    return std::nullopt;
}

TEST(LifeCycle, EachListedCellMovesAsListed)
{
    for (const Cell &cell : kMoves) {
        const Transition step = Next(cell.phase, cell.event, cell.facts);
        EXPECT_EQ(step.next, cell.next) << PhaseName(cell.phase) << " + " << EventName(cell.event);
        EXPECT_EQ(step.effects, cell.effects) << PhaseName(cell.phase) << " + " << EventName(cell.event);
        EXPECT_EQ(step.refusal.empty(), (cell.effects & kRefuse) == 0) << PhaseName(cell.phase);
    }
}

// A stale event, such as a timer of an earlier phase or an exit reported twice, must do nothing.
TEST(LifeCycle, EveryOtherCellLeavesThePhaseAsItIs)
{
    for (int p = 0; p < kPhases; ++p) {
        for (int e = 0; e < kEvents; ++e) {
            const auto phase = static_cast<Phase>(p);
            const auto event = static_cast<Event>(e);
            if (Listed(phase, event)) {
                continue;
            }
            for (const Facts &facts :
                 {kNoFacts, kWaits, kReports, kSucceeded, kMayRestart, kGroupsLeft, kAllGone, kRestartUnhealthy}) {
                const Transition step = Next(phase, event, facts);
                EXPECT_EQ(step.next, phase) << PhaseName(phase) << " + " << EventName(event);
                EXPECT_EQ(step.effects, kNone) << PhaseName(phase) << " + " << EventName(event);
            }
        }
    }
}

}  // namespace
}  // namespace paagent
