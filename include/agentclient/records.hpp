// agentclient's records as C++ values: processes, services with their members, routes, the
// agent's events, a login, and the health and resource figures of processes.
//
// Plain values with equality, usable without the rest of the C++ API: what a client sends and
// lists, what the agent holds and what the configuration file carries are these same types.
#ifndef AGENTCLIENT_RECORDS_HPP
#define AGENTCLIENT_RECORDS_HPP

#include <agentclient/pa.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace agentclient {

enum class ProcessType : std::int32_t {
    kDaemon     = PaDAEMON_PROCESS,
    kPaAware    = PaPA_AWARE,
    kNotPaAware = PaNOT_PA_AWARE
};

struct Process {
    std::string name;
    std::string host;
    std::string command;
    std::int32_t euid = 0;
    bool managed      = false;
    std::int32_t pid  = 0;  // as the agent reported it in a list; no part of a definition
    std::optional<std::string> restart_message;
    std::optional<std::string> alert_message;
    std::int32_t retry_count = 0;
    ProcessType type         = ProcessType::kNotPaAware;

    bool operator==(const Process &) const = default;
};

// A member's value: none, an integer or a text (the kinds PaVALUE_NONE, PaVALUE_INTEGER and
// PaVALUE_TEXT).
using MemberValue = std::variant<std::monostate, std::int32_t, std::string>;

struct Member {
    Process process;
    MemberValue value;

    bool operator==(const Member &) const = default;
};

enum class ServiceType : std::int32_t {
    kMaster    = PaSERVICE_MASTER,
    kNonMaster = PaSERVICE_NON_MASTER
};
enum class ServiceStart : std::int32_t {
    kAuto    = PaSERVICE_AUTO,
    kNonAuto = PaSERVICE_NON_AUTO
};

struct Service {
    std::string name;
    ServiceType type   = ServiceType::kNonMaster;
    ServiceStart start = ServiceStart::kNonAuto;
    std::vector<Member> members;

    bool operator==(const Service &) const = default;
};

struct Route {
    std::string host;
    std::string server;

    bool operator==(const Route &) const = default;
};

enum class EventKind : std::int32_t {
    kNone           = PaEVENT_KIND_NONE,
    kLost           = PaEVENT_KIND_LOST,
    kDefined        = PaEVENT_KIND_DEFINED,
    kChanged        = PaEVENT_KIND_CHANGED,
    kRemoved        = PaEVENT_KIND_REMOVED,
    kStarting       = PaEVENT_KIND_STARTING,
    kStarted        = PaEVENT_KIND_STARTED,
    kReady          = PaEVENT_KIND_READY,
    kExited         = PaEVENT_KIND_EXITED,
    kRestarting     = PaEVENT_KIND_RESTARTING,
    kFailed         = PaEVENT_KIND_FAILED,
    kStopping       = PaEVENT_KIND_STOPPING,
    kStopped        = PaEVENT_KIND_STOPPED,
    kAdopted        = PaEVENT_KIND_ADOPTED,
    kServiceStarted = PaEVENT_KIND_SERVICE_STARTED,
    kServiceStopped = PaEVENT_KIND_SERVICE_STOPPED,
    kRouteAdded     = PaEVENT_KIND_ROUTE_ADDED,
    kRouteRemoved   = PaEVENT_KIND_ROUTE_REMOVED,
    kReloaded       = PaEVENT_KIND_RELOADED,
    kAgentStopping  = PaEVENT_KIND_AGENT_STOPPING,
    kUnhealthy      = PaEVENT_KIND_UNHEALTHY,
    kHealthy        = PaEVENT_KIND_HEALTHY
};

// One of the agent's events: what happened, to what, and who asked for it. Absent texts are
// empty optionals; the numbers have the defaults below when they do not apply.
struct Event {
    std::int64_t cursor  = 0;  // its number, unique and growing within the agent
    std::int64_t time_ms = 0;  // milliseconds since 1970 (UTC)
    EventKind kind       = EventKind::kNone;
    std::optional<std::string> process;
    std::optional<std::string> service;
    std::optional<std::string> host;
    std::int32_t pid    = 0;
    std::int32_t status = -1;  // exit status
    std::int32_t signal = 0;   // the signal that ended the process
    std::optional<std::string> message;
    std::optional<std::string> user;
    std::int64_t lost = 0;  // kLost: how many events are gone, -1 when unknown

    bool operator==(const Event &) const = default;
};

// What one wait for events brought, and the cursor to pass next.
struct EventBatch {
    std::vector<Event> events;
    std::int64_t cursor = -1;

    bool operator==(const EventBatch &) const = default;
};

// What one read of a process's output brought: its bytes as written, how many bytes before
// them were rotated away unread, and the cursor to read on from.
struct Output {
    std::string data;
    std::int64_t lost   = 0;
    std::int64_t cursor = -1;

    bool operator==(const Output &) const = default;
};

// A login as the agent sees it: its user, its role ("read", "operate" or "admin") and the user
// ids its processes may run as ("any", or ids and ranges as "1000,2000-2999").
struct Login {
    std::string user;
    std::string role;
    std::string uids;

    bool operator==(const Login &) const = default;
};

// Where a running process stands by its readiness and health checks.
enum class Health {
    kStarting,  // running, not yet ready
    kReady,     // ready, no check has passed yet or it has none
    kHealthy,   // its checks pass
    kUnhealthy  // its checks failed the settings' count in a row
};

// The words the agent and the tools name each health by, indexed by Health.
inline constexpr std::array<std::string_view, 4> kHealthWords = {"starting", "ready", "healthy", "unhealthy"};

constexpr std::string_view HealthWord(Health health) { return kHealthWords[static_cast<std::size_t>(health)]; }

// The health a word names; none for any other word.
constexpr std::optional<Health> HealthNamed(std::string_view word)
{
    for (std::size_t i = 0; i < kHealthWords.size(); ++i) {
        if (kHealthWords[i] == word) {
            return static_cast<Health>(i);
        }
    }
    return std::nullopt;
}

// A process's readiness and health as its agent sees them.
struct ProcessHealth {
    std::string name;
    std::string host;
    std::optional<Health> health;  // none while it does not run
    std::string output;            // what its last health check wrote, at most 1 KiB
    std::string status_text;       // the last status it announced on its notification socket

    bool operator==(const ProcessHealth &) const = default;
};

// What a process is using and how it has fared, as its agent measures them.
struct ProcessStats {
    std::string name;
    std::string host;
    std::int32_t state      = PaSTATUS_UNKNOWN;
    std::int32_t pid        = 0;                   // 0 when it does not run
    std::int64_t started_at = 0;                   // Unix time of its start, seconds; 0 when it does not run
    double uptime_seconds   = 0;                   // as the agent's own clock measures it
    std::int32_t restarts   = 0;                   // since the last start request
    std::optional<std::int32_t> last_exit_status;  // how its last run ended: an exit status...
    std::optional<std::int32_t> last_exit_signal;  // ...or the signal that ended it
    double cpu_user_seconds   = 0;                 // the whole process group's
    double cpu_system_seconds = 0;
    std::int64_t memory_bytes = 0;  // resident
    std::int32_t threads      = 0;
    std::int32_t descriptors  = 0;

    bool operator==(const ProcessStats &) const = default;
};

}  // namespace agentclient

#endif
