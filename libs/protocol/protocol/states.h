// The state codes agents and clients exchange: a process's, a service's, and the states a client
// may ask of a process; and their names as the tools show them, indexed by code.
#ifndef AGENTCLIENT_PROTOCOL_STATES_H
#define AGENTCLIENT_PROTOCOL_STATES_H

#include <array>
#include <cstdint>
#include <string_view>

namespace pa::protocol {

enum class ProcessState : std::int32_t {
    kStopped = 0,
    kRunning = 1,
    kExited  = 2,
    kFailed  = 3
};
enum class ServiceState : std::int32_t {
    kStopped = 0,
    kRunning = 1,
    kPartial = 2
};
enum class StateRequest : std::int32_t {
    kStop    = 0,
    kRun     = 1,
    kRestart = 2
};

inline constexpr std::array<std::string_view, 4> kProcessStateNames = {"stopped", "running", "exited", "failed"};
inline constexpr std::array<std::string_view, 3> kServiceStateNames = {"stopped", "running", "partial"};

}  // namespace pa::protocol

#endif
