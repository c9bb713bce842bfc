// agentclient's records as C++ values: processes, services with their members, routes, the
// agent's events and a login.
//
// Plain values with equality, usable without the rest of the C++ API: what a client sends and
// lists, what the agent holds and what the configuration file carries are these same types.
#ifndef AGENTCLIENT_RECORDS_HPP
#define AGENTCLIENT_RECORDS_HPP

#include <agentclient/pa.h>

#include <cstdint>
#include <optional>
#include <string>
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
    kAgentStopping  = PaEVENT_KIND_AGENT_STOPPING
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

}  // namespace agentclient

#endif
