// What a login may do: its role, and the role each RPC needs, by RPC number beside the protocol
// table, so that an RPC added there without a role here does not compile.
#ifndef AGENTCLIENT_PROTOCOL_ROLES_H
#define AGENTCLIENT_PROTOCOL_ROLES_H

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

#include <protocol/rpc_table.h>

namespace pa::protocol {

// Each role may do what the roles before it may.
enum class Role : std::uint8_t {
    kRead,     // look: status, lists, output, events
    kOperate,  // start, stop and signal the processes and services as they are defined
    kAdmin     // everything: definitions, routes, the agent itself
};

inline constexpr std::array<std::string_view, 3> kRoleNames = {"read", "operate", "admin"};

constexpr std::string_view RoleName(Role role) { return kRoleNames[static_cast<std::size_t>(role)]; }

constexpr std::optional<Role> RoleNamed(std::string_view name)
{
    for (std::size_t i = 0; i < kRoleNames.size(); ++i) {
        if (kRoleNames[i] == name) {
            return static_cast<Role>(i);
        }
    }
    return std::nullopt;
}

// The role an RPC needs, and what a refusal says its caller may not do.
struct RpcRole {
    Rpc rpc;
    Role role;
    std::string_view action;
};

inline constexpr std::array<RpcRole, kRpcCount> kRpcRoles = {{
    {kStopPa, Role::kAdmin, "stop the agent"},
    {kProcessStart, Role::kOperate, "start processes"},
    {kProcessStop, Role::kOperate, "stop processes"},
    // Adding a service with it is defining, which the agent refuses below admin.
    {kServiceStart, Role::kOperate, "start services"},
    {kServiceStop, Role::kOperate, "stop services"},
    {kProcessStatus, Role::kRead, "read process status"},
    {kServiceStatus, Role::kRead, "read service status"},
    {kServiceList, Role::kRead, "list services"},
    {kProcessList, Role::kRead, "list processes"},
    {kRegWatch, Role::kAdmin, "watch"},
    {kServiceChange, Role::kAdmin, "define services"},
    {kProcessChange, Role::kAdmin, "define processes"},
    {kStopProcesses, Role::kOperate, "stop every process"},
    {kStartProcesses, Role::kOperate, "start every process"},
    {kSingleProcessList, Role::kRead, "list processes"},
    {kSingleServiceList, Role::kRead, "list services"},
    {kNotification, Role::kOperate, "report processes"},
    {kHostList, Role::kRead, "list routes"},
    {kHostAdd, Role::kAdmin, "change routes"},
    {kHostRemove, Role::kAdmin, "change routes"},
    {kServiceRemove, Role::kAdmin, "define services"},
    // Added arguments change what runs.
    {kProcessStartWithArgs, Role::kAdmin, "start processes with added arguments"},
    {kDebugLevelSet, Role::kAdmin, "set the debug level"},
    {kDebugLevelGet, Role::kRead, "read the debug level"},
    {kGenerateNotification, Role::kOperate, "send notifications"},
    {kProcessState, Role::kOperate, "change the state of processes"},
    {kRegNoWatch, Role::kAdmin, "stop watching"},
    {kProcessStartLong, Role::kOperate, "start processes"},
    {kVersionGet, Role::kRead, "read the version"},
    {kSignalProcess, Role::kOperate, "signal processes"},
    {kSignalList, Role::kRead, "list signals"},
    {kUnameGet, Role::kRead, "read the system name"},
    {kProcessOutput, Role::kRead, "read output"},
    {kEventWait, Role::kRead, "wait for events"},
    {kWhoAmI, Role::kRead, "ask who they are"},
    {kProcessHealth, Role::kRead, "read process health"},
    {kProcessStats, Role::kRead, "read process figures"},
}};

// Whether each RPC's row is in its place and says what a refusal of it says; a row left out
// leaves the rows after it out of place, and the last one empty.
constexpr bool EveryRpcHasRole()
{
    for (std::size_t rpc = 0; rpc < kRpcRoles.size(); ++rpc) {
        if (static_cast<std::size_t>(kRpcRoles[rpc].rpc) != rpc || kRpcRoles[rpc].action.empty()) {
            return false;
        }
    }
    return true;
}
static_assert(EveryRpcHasRole(), "every RPC of kRpcs needs its row in kRpcRoles");

constexpr const RpcRole &RoleOf(Rpc rpc) { return kRpcRoles[static_cast<std::size_t>(rpc)]; }

}  // namespace pa::protocol

#endif
