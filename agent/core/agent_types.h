// What the agent's parts tell each other and their callers: refusals, process views, log levels.
#ifndef PAAGENT_CORE_AGENT_TYPES_H
#define PAAGENT_CORE_AGENT_TYPES_H

#include <chrono>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <sys/types.h>

#include <config/config_file.h>
#include <protocol/states.h>

#include "core/records.h"

namespace paagent {

// A request the agent cannot honour; the text names the problem for the client.
class AgentError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

using pa::protocol::ProcessState;
using pa::protocol::ServiceState;
using pa::protocol::StateRequest;

struct HealthView {
    std::optional<Health> health;  // none while it does not run
    std::string output;            // the last check's output, at most 1 KB
    std::string status_text;       // the last STATUS= it sent on its notification socket
};

// How a process has fared since its last start request.
struct LifeView {
    pid_t group           = 0;  // its process group while it runs, which its launch leads; else 0
    std::int32_t restarts = 0;
    // How its last run that ended did: an exit status or a signal; neither when none ended, or
    // for an adopted process, whose end only its parent learns.
    std::optional<std::int32_t> last_exit_status;
    std::optional<std::int32_t> last_exit_signal;
};

struct ProcessView {
    Process definition;
    ProcessState state = ProcessState::kStopped;
    pid_t pid          = 0;
    HealthView health;
    LifeView life;
};

struct ServiceStatus {
    ServiceState state           = ServiceState::kStopped;
    std::int32_t running_members = 0;
};

// What the agent keeps across restarts: what its configuration file holds.
using agentclient::config::Definitions;

// How long a stop waits for processes to go after SIGKILL.
inline constexpr std::chrono::seconds kKillWait{5};
// The client library's default time-out for a reply.
inline constexpr std::chrono::seconds kClientReplyTimeOut{30};
// The longest grace period: a stop waits at most the grace period and the kill wait, and must
// answer before the client stops waiting.
inline constexpr std::chrono::seconds kMaxGrace{20};
static_assert(kMaxGrace + kKillWait < kClientReplyTimeOut);

enum class Verbosity : int {
    kError   = 0,
    kEvent   = 1,
    kRequest = 2,
    kDetail  = 3
};

}  // namespace paagent

#endif  // PAAGENT_CORE_AGENT_TYPES_H
