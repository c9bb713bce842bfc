// The kinds of the agent's events by their names, as the tools, the hooks and JSON show them,
// indexed by code (PaEVENT_KIND_... of pa.h).
#ifndef AGENTCLIENT_PROTOCOL_EVENTS_H
#define AGENTCLIENT_PROTOCOL_EVENTS_H

#include <agentclient/pa.h>

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

namespace pa::protocol {

inline constexpr std::array<std::string_view, PaEVENT_KIND_COUNT> kEventKindNames = {
    "none",     "lost",           "defined",         "changed",         "removed",     "starting",
    "started",  "ready",          "exited",          "restarting",      "failed",      "stopping",
    "stopped",  "adopted",        "service-started", "service-stopped", "route-added", "route-removed",
    "reloaded", "agent-stopping", "unhealthy",       "healthy",
};

// The name of an event kind, or "unknown" for a code this side does not know.
constexpr std::string_view EventKindName(std::int32_t kind)
{
    return kind >= 0 && kind < PaEVENT_KIND_COUNT ? kEventKindNames[static_cast<std::size_t>(kind)] : "unknown";
}

// The kind of an event name, or none.
constexpr std::optional<std::int32_t> EventKindOf(std::string_view name)
{
    for (std::size_t kind = 0; kind < kEventKindNames.size(); ++kind) {
        if (kEventKindNames[kind] == name) {
            return static_cast<std::int32_t>(kind);
        }
    }
    return std::nullopt;
}

}  // namespace pa::protocol

#endif
