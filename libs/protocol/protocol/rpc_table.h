// The agent protocol as both ends speak it: every RPC by number and name, its parameters in
// order with their types, and the layout of the rows it answers with. The library builds its
// requests and reads its replies from this table; the agent checks every request against it
// and builds its rows from it. Header only and allocation free, so that the library (built
// without exceptions, allocating only through its memory hooks) can use it as it is.
#ifndef AGENTCLIENT_PROTOCOL_RPC_TABLE_H
#define AGENTCLIENT_PROTOCOL_RPC_TABLE_H

#include <agentclient/pa.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <span>
#include <string_view>

namespace pa::protocol {

// The text an agent writes for an absent text in a row, and a client sends for an absent
// restart or alert message.
inline constexpr std::string_view kNoValue = "NULL";

// The longest text value a parameter or a column carries, in bytes (its terminating zero not
// counted). Longer values are refused by the client before sending and by the agent on receipt.
inline constexpr std::size_t kMaxTextBytes = 8192;

// A plain text parameter carries at most this many bytes, its terminating zero included;
// longer texts travel as long text.
inline constexpr std::size_t kShortTextBytes = 255;

// A process whose command has at least this many bytes is started through the long-command RPC.
inline constexpr std::size_t kLongCommandBytes = 255;

enum class Type : std::uint8_t {
    kInt,
    kText
};

// One named parameter or column.
struct Field {
    std::string_view name;
    Type type;
};

// The agent's RPCs by number. The number never leaves the client; the name is what travels.
enum Rpc : std::int32_t {
    kStopPa               = 0,
    kProcessStart         = 1,
    kProcessStop          = 2,
    kServiceStart         = 3,
    kServiceStop          = 4,
    kProcessStatus        = 5,
    kServiceStatus        = 6,
    kServiceList          = 7,
    kProcessList          = 8,
    kRegWatch             = 9,
    kServiceChange        = 10,
    kProcessChange        = 11,
    kStopProcesses        = 12,
    kStartProcesses       = 13,
    kSingleProcessList    = 14,
    kSingleServiceList    = 15,
    kNotification         = 16,
    kHostList             = 17,
    kHostAdd              = 18,
    kHostRemove           = 19,
    kServiceRemove        = 20,
    kProcessStartWithArgs = 21,
    kDebugLevelSet        = 22,
    kDebugLevelGet        = 23,
    kGenerateNotification = 24,
    kProcessState         = 25,
    kRegNoWatch           = 26,
    kProcessStartLong     = 27,
    kVersionGet           = 28,
    kSignalProcess        = 29,
    kSignalList           = 30,
    kUnameGet             = 31,
    // Beyond the base set: an agent without them refuses them as unknown.
    kProcessOutput = 32,
    kEventWait     = 33,
    kWhoAmI        = 34,
    kProcessHealth = 35,
    kProcessStats  = 36,
    kRpcCount      = 37
};

// The ten parameters of a process, in the order they travel.
inline constexpr Field kProcessParams[] = {
    {"processNameArg", Type::kText},      {"processHostnameArg", Type::kText}, {"processCommandArg", Type::kText},
    {"processEUIDArg", Type::kInt},       {"processManagedArg", Type::kInt},   {"processRMesgArg", Type::kText},
    {"processAMesgArg", Type::kText},     {"processPIDArg", Type::kInt},       {"processProcessTypeArg", Type::kInt},
    {"processRetryCountArg", Type::kInt},
};
enum ProcessParam : std::size_t {
    kProcessName,
    kProcessHost,
    kProcessCommand,
    kProcessEuid,
    kProcessManaged,
    kProcessRestartMsg,
    kProcessAlertMsg,
    kProcessPid,
    kProcessType,
    kProcessRetryCount
};

// A whole service: these four, then per member i (from 1) its kind "Process<i>", its value
// "Process<i>Value" (text for a text member, else an integer) and the member's ten process
// parameters.
inline constexpr Field kServiceParams[] = {
    {"serviceNameArg", Type::kText},
    {"serviceServTypeArg", Type::kInt},
    {"serviceServStartArg", Type::kInt},
    {"serviceProcessNoArg", Type::kInt},
};
inline constexpr std::size_t kMemberParamCount = 2 + std::size(kProcessParams);
// Room for the longest member parameter name, "Process<INT32_MAX>Value", and its zero.
inline constexpr std::size_t kMemberNameSize = 24;

// Writes the kind or value parameter name of member index (from 1) into out.
inline void MemberKindName(int index, char (&out)[kMemberNameSize])
{
    std::snprintf(out, sizeof out, "Process%d", index);
}
inline void MemberValueName(int index, char (&out)[kMemberNameSize])
{
    std::snprintf(out, sizeof out, "Process%dValue", index);
}
// The type the value parameter of a member of this kind (PaVALUE_...) travels as; a member
// without a value sends the integer 0.
constexpr Type MemberValueType(std::int32_t kind) { return kind == PaVALUE_TEXT ? Type::kText : Type::kInt; }

// Columns of a process row (process lists, and the member columns of a service row).
inline constexpr Field kProcessColumns[] = {
    {"name", Type::kText},           {"host", Type::kText},
    {"command", Type::kText},        {"euid", Type::kInt},
    {"managed", Type::kInt},         {"pid", Type::kInt},
    {"restartMessage", Type::kText}, {"alertMessage", Type::kText},
    {"retryCount", Type::kInt},      {"processType", Type::kInt},
};
enum ProcessColumn : std::size_t {
    kColName,
    kColHost,
    kColCommand,
    kColEuid,
    kColManaged,
    kColPid,
    kColRestartMsg,
    kColAlertMsg,
    kColRetryCount,
    kColProcessType
};

// Columns of a service row: the service, then one member (kind, value as text, process). A row
// whose service column is kNoValue continues the service of the row before; a service without
// members is one row whose member process name and host are kNoValue.
inline constexpr Field kServiceColumns[] = {
    {"service", Type::kText},      {"serviceType", Type::kInt}, {"serviceStart", Type::kInt},
    {"valueKind", Type::kInt},     {"value", Type::kText},      {"name", Type::kText},
    {"host", Type::kText},         {"command", Type::kText},    {"euid", Type::kInt},
    {"managed", Type::kInt},       {"pid", Type::kInt},         {"restartMessage", Type::kText},
    {"alertMessage", Type::kText}, {"retryCount", Type::kInt},  {"processType", Type::kInt},
};
enum ServiceColumn : std::size_t {
    kColService,
    kColServiceType,
    kColServiceStart,
    kColValueKind,
    kColValue,
    kColMemberProcess
};

inline constexpr Field kHostColumns[]          = {{"host", Type::kText}, {"server", Type::kText}};
inline constexpr Field kProcessStatusColumns[] = {{"state", Type::kInt}, {"pid", Type::kInt}};
inline constexpr Field kServiceStatusColumns[] = {{"state", Type::kInt}, {"running", Type::kInt}};
inline constexpr Field kVersionColumns[]       = {{"major", Type::kInt}, {"minor", Type::kInt}};
inline constexpr Field kDebugLevelColumns[]    = {{"debugLevel", Type::kInt}};

// Columns of a reply of a process's output: per row, the bytes lost before its data, its data
// and the cursor just after that data. Cursors and counts are 64-bit, so they travel as decimal
// text; the data is base64, so any bytes travel unchanged through the character conversions
// of the Client-Library. A reply has at least one row, whose cursor is the one to pass next.
inline constexpr Field kOutputColumns[] = {{"cursor", Type::kText}, {"lost", Type::kText}, {"data", Type::kText}};
enum OutputColumn : std::size_t {
    kColOutputCursor,
    kColOutputLost,
    kColOutputData
};

// Columns of a reply of events, one row per event in order, then one row of kind 0 (no event)
// whose cursor is the one to pass next. Absent texts are kNoValue; an absent PID or signal is
// 0 and an absent exit status -1.
inline constexpr Field kEventColumns[] = {
    {"cursor", Type::kText},  {"time", Type::kText},    {"kind", Type::kInt},  {"process", Type::kText},
    {"service", Type::kText}, {"host", Type::kText},    {"pid", Type::kInt},   {"status", Type::kInt},
    {"signal", Type::kInt},   {"message", Type::kText}, {"user", Type::kText}, {"lost", Type::kText},
};
enum EventColumn : std::size_t {
    kColEventCursor,
    kColEventTime,
    kColEventKind,
    kColEventProcess,
    kColEventService,
    kColEventHost,
    kColEventPid,
    kColEventStatus,
    kColEventSignal,
    kColEventMessage,
    kColEventUser,
    kColEventLost
};

// Columns of the reply naming the login of the session: its user, its role and the user ids its
// processes may run as ("any", or ids and ranges as "1000,2000-2999").
inline constexpr Field kLoginColumns[] = {{"user", Type::kText}, {"role", Type::kText}, {"uids", Type::kText}};
enum LoginColumn : std::size_t {
    kColLoginUser,
    kColLoginRole,
    kColLoginUids
};

// Columns of a reply of health, one row per process: its name and host, its health ("starting",
// "ready", "healthy" or "unhealthy"; kNoValue while it does not run), the output of its last
// check and the last status text it announced, each at most 1 KiB.
inline constexpr Field kHealthColumns[] = {{"name", Type::kText},
                                           {"host", Type::kText},
                                           {"health", Type::kText},
                                           {"output", Type::kText},
                                           {"statusText", Type::kText}};
enum HealthColumn : std::size_t {
    kColHealthName,
    kColHealthHost,
    kColHealthState,
    kColHealthOutput,
    kColHealthStatusText
};

// Columns of a reply of resource figures, one row per process: its name, host, state and PID;
// when it started (Unix seconds) and for how long it has run by its agent's monotonic clock
// (milliseconds), both 0 while it does not run; its restarts since the last start request; how
// its last run ended (an exit status or a signal, -1 for neither); and the CPU time (user and
// system, milliseconds), resident memory, threads and open descriptors of its whole process
// group. The 64-bit figures travel as decimal text: the wire's integers have 32 bits.
inline constexpr Field kStatsColumns[] = {
    {"name", Type::kText},      {"host", Type::kText},          {"state", Type::kInt},
    {"pid", Type::kInt},        {"startedAt", Type::kText},     {"uptimeMs", Type::kText},
    {"restarts", Type::kInt},   {"lastExitStatus", Type::kInt}, {"lastExitSignal", Type::kInt},
    {"cpuUserMs", Type::kText}, {"cpuSystemMs", Type::kText},   {"memoryBytes", Type::kText},
    {"threads", Type::kInt},    {"descriptors", Type::kInt}};
enum StatsColumn : std::size_t {
    kColStatsName,
    kColStatsHost,
    kColStatsState,
    kColStatsPid,
    kColStatsStartedAt,
    kColStatsUptimeMs,
    kColStatsRestarts,
    kColStatsExitStatus,
    kColStatsExitSignal,
    kColStatsCpuUserMs,
    kColStatsCpuSystemMs,
    kColStatsMemoryBytes,
    kColStatsThreads,
    kColStatsDescriptors
};

// What a reply's rows hold.
enum class Rows : std::uint8_t {
    kNone,
    kIntPair,
    kOneInt,
    kProcesses,
    kServices,
    kHosts,
    kOutput,
    kEvents,
    kLogin,
    kHealth,
    kStats
};

// The block of parameters between an RPC's leading and trailing ones.
enum class Group : std::uint8_t {
    kNone,
    kProcess,
    kService
};

struct RpcShape {
    std::string_view name;
    std::span<const Field> leading;
    Group group;
    std::span<const Field> trailing;
    Rows rows;
    std::span<const Field> columns;
    bool called;  // false for the RPCs the client never calls
};

namespace detail {
inline constexpr Field kStopPaParams[] = {{"stopPAArg", Type::kInt}};
inline constexpr Field kNameAndHost[]  = {{"processNameArg", Type::kText}, {"processHostnameArg", Type::kText}};
inline constexpr Field kSignalParams[] = {
    {"processNameArg", Type::kText}, {"processHostnameArg", Type::kText}, {"processSignalArg", Type::kInt}};
inline constexpr Field kTimeout[]            = {{"processTimeoutArg", Type::kInt}};
inline constexpr Field kServiceAdd[]         = {{"serviceAddArg", Type::kInt}};
inline constexpr Field kServiceName[]        = {{"serviceNameArg", Type::kText}};
inline constexpr Field kProcessChangeName[]  = {{"processChangeArg", Type::kText}};
inline constexpr Field kNotificationParams[] = {{"processPIDArg", Type::kInt}, {"processIDArg", Type::kInt}};
inline constexpr Field kHostListParams[]     = {{"pa_HostListFetchArg", Type::kInt}};
inline constexpr Field kHostParams[]         = {{"pa_HostNameArg", Type::kText}, {"pa_ServerNameArg", Type::kText}};
inline constexpr Field kAddArgs[]            = {{"processAddArgsArg", Type::kText}};
inline constexpr Field kDebugLevel[]         = {{"serverDebugLevArg", Type::kInt}};
inline constexpr Field kState[]              = {{"processStateArg", Type::kInt}};
inline constexpr Field kOutputParams[]       = {{"processNameArg", Type::kText},
                                                {"processHostnameArg", Type::kText},
                                                {"outputCursorArg", Type::kText},
                                                {"outputTailArg", Type::kInt},
                                                {"outputWaitArg", Type::kInt}};
inline constexpr Field kEventParams[]        = {
           {"eventHostArg", Type::kText}, {"eventCursorArg", Type::kText}, {"eventWaitArg", Type::kInt}};

constexpr RpcShape Plain(std::string_view name, std::span<const Field> params = {}, Rows rows = Rows::kNone,
                         std::span<const Field> columns = {})
{
    return {name, params, Group::kNone, {}, rows, columns, true};
}
constexpr RpcShape WithProcess(std::string_view name, std::span<const Field> trailing)
{
    return {name, {}, Group::kProcess, trailing, Rows::kNone, {}, true};
}
constexpr RpcShape WithService(std::string_view name, std::span<const Field> leading)
{
    return {name, leading, Group::kService, {}, Rows::kNone, {}, true};
}
constexpr RpcShape Uncalled(std::string_view name) { return {name, {}, Group::kNone, {}, Rows::kNone, {}, false}; }
}  // namespace detail

inline constexpr std::array<RpcShape, kRpcCount> kRpcs = {
    detail::Plain("pa_StopPA_RPC", detail::kStopPaParams),
    detail::WithProcess("pa_ProcessStartRPC", detail::kTimeout),
    detail::Plain("pa_ProcessStopRPC", detail::kNameAndHost),
    detail::WithService("pa_ServiceStartRPC", detail::kServiceAdd),
    detail::Plain("pa_ServiceStopRPC", detail::kServiceName),
    detail::Plain("pa_ProcessStatusRPC", detail::kNameAndHost, Rows::kIntPair, kProcessStatusColumns),
    detail::Plain("pa_ServiceStatusRPC", detail::kServiceName, Rows::kIntPair, kServiceStatusColumns),
    detail::Plain("pa_ServiceListRPC", {}, Rows::kServices, kServiceColumns),
    detail::Plain("pa_ProcessListRPC", {}, Rows::kProcesses, kProcessColumns),
    detail::Uncalled("sp_regwatch"),
    detail::WithService("pa_ServiceChangeRPC", detail::kServiceName),
    detail::WithProcess("pa_ProcessChangeRPC", detail::kProcessChangeName),
    detail::Plain("pa_StopProcessesRPC"),
    detail::Plain("pa_StartProcessesRPC"),
    detail::Plain("pa_SingleProcList", {}, Rows::kProcesses, kProcessColumns),
    detail::Plain("pa_SingleServList", {}, Rows::kServices, kServiceColumns),
    detail::Plain("pa_PANotificationRPC", detail::kNotificationParams),
    detail::Plain("pa_HostListRPC", detail::kHostListParams, Rows::kHosts, kHostColumns),
    detail::Plain("pa_HostAddRPC", detail::kHostParams),
    detail::Plain("pa_HostRemoveRPC", detail::kHostParams),
    detail::Plain("pa_ServiceRemoveRPC", detail::kServiceName),
    detail::WithProcess("pa_ProcessStartWithArgsRPC", detail::kAddArgs),
    detail::Plain("pa_ServerDebugLevelSetRPC", detail::kDebugLevel),
    detail::Plain("pa_ServerDebugLevelGetRPC", {}, Rows::kOneInt, kDebugLevelColumns),
    detail::Plain("pa_PAGenNotifyRPC"),
    detail::WithProcess("pa_PAStateProcRPC", detail::kState),
    detail::Uncalled("sp_regnowatch"),
    detail::WithProcess("pa_ServiceStartLcRPC", detail::kTimeout),
    detail::Plain("pa_ServerVersionGetRPC", {}, Rows::kIntPair, kVersionColumns),
    detail::Plain("pa_SignalProcessRPC", detail::kSignalParams),
    detail::Uncalled("pa_SignalListRPC"),
    detail::Uncalled("pa_ServerUnameGetRPC"),
    detail::Plain("pa_ProcessOutputRPC", detail::kOutputParams, Rows::kOutput, kOutputColumns),
    detail::Plain("pa_EventWaitRPC", detail::kEventParams, Rows::kEvents, kEventColumns),
    detail::Plain("pa_WhoAmIRPC", {}, Rows::kLogin, kLoginColumns),
    detail::Plain("pa_ProcessHealthRPC", detail::kNameAndHost, Rows::kHealth, kHealthColumns),
    detail::Plain("pa_ProcessStatsRPC", detail::kNameAndHost, Rows::kStats, kStatsColumns),
};

// The shape of RPC number rpc, or none outside the table.
constexpr const RpcShape *Find(std::int32_t rpc)
{
    return rpc >= 0 && rpc < kRpcCount ? &kRpcs[static_cast<std::size_t>(rpc)] : nullptr;
}

// The shape of the RPC called name, or none.
constexpr const RpcShape *Find(std::string_view name)
{
    for (const RpcShape &shape : kRpcs) {
        if (shape.name == name) {
            return &shape;
        }
    }
    return nullptr;
}

// Whether a call of the RPC changes nothing on the agent (it only reads), so that a client may
// send it again when the connection broke under it.
constexpr bool ChangesNothing(const RpcShape &shape) { return shape.rows != Rows::kNone; }

// The most output bytes one reply carries, before base64, and the most a row carries (its
// base64 text then fills kMaxTextBytes).
inline constexpr std::size_t kOutputReplyBytes = 256 * 1024;
inline constexpr std::size_t kOutputRowBytes   = kMaxTextBytes / 4 * 3;
// The most events one reply carries.
inline constexpr std::size_t kEventsPerReply = 1000;
// The cursor that asks for the end: the last lines of an output, or the events still to come.
inline constexpr std::int64_t kEndCursor = -1;

// The number of the server message with which an agent refuses an RPC it does not know.
inline constexpr std::int32_t kUnknownRpcMessage = 2812;

// How long a client waits for the reply of a call whose own argument asks the agent to wait
// seconds: that long and this margin beyond it.
inline constexpr std::int32_t kReplyMarginSeconds = 10;

}  // namespace pa::protocol

#endif
