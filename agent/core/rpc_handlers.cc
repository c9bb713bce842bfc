#include "core/rpc_handlers.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <exception>
#include <map>
#include <optional>
#include <set>
#include <span>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <protocol/base64.h>
#include <protocol/roles.h>
#include <protocol/rpc_table.h>

#include "core/access.h"
#include "core/audit.h"
#include "core/peers.h"
#include "core/request_user.h"
#include "core/rpc_params.h"
#include "core/socket_owner.h"
#include "tds/request_client.h"

namespace paagent {

namespace {

using protocol::Field;
using protocol::Rpc;
using tds::Column;
using tds::Reply;
using tds::Value;

constexpr std::int32_t kVersionMajor        = 3;
constexpr std::int32_t kVersionMinor        = 1;
constexpr std::int32_t kNotificationMessage = 20100;
// The longest wait for events a client may ask for: a session waits in a thread of its own,
// but one that asks for hours has most likely mistaken the unit.

using Handler      = std::function<void(ParamReader &params, Reply &reply)>;
using HandlerTable = std::map<Rpc, Handler>;
using Row          = std::vector<Value>;

Value NoValue() { return Value(std::string(protocol::kNoValue)); }

Value TextOrNone(const std::optional<std::string> &text) { return text ? Value(*text) : NoValue(); }

// An absent name or host travels as the no-value text.
std::string Present(std::string text) { return text == protocol::kNoValue ? std::string() : text; }

// Text columns declared as wide as their longest value, so short tables stay small on the wire.
class RowSet {
public:
    explicit RowSet(std::span<const Field> fields)
    {
        for (const Field &field : fields) {
            std::string name(field.name);
            columns_.push_back(field.type == protocol::Type::kText ? Column::Text(std::move(name), 1)
                                                                   : Column::Integer(std::move(name)));
        }
    }

    // A row with every column empty, to be filled in by the contract's column positions.
    Row Blank() const { return Row(columns_.size()); }

    void Add(Row row)
    {
        for (std::size_t k = 0; k < row.size(); ++k) {
            if (columns_[k].type == tds::ColumnType::kText && row[k].IsText()) {
                columns_[k].max_length =
                    std::max<std::uint32_t>(columns_[k].max_length, static_cast<std::uint32_t>(row[k].AsText().size()));
            }
        }
        rows_.push_back(std::move(row));
    }

    void Send(Reply &reply) &&
    {
        reply.BeginRows(std::move(columns_));
        for (const auto &row : rows_) {
            reply.AddRow(row);
        }
    }

private:
    std::vector<Column> columns_;
    std::vector<Row> rows_;
};

// Fills the process columns of row, which start at column first.
void PutProcess(Row &row, std::size_t first, const Process &definition, pid_t pid)
{
    row[first + protocol::kColName]        = Value(definition.name);
    row[first + protocol::kColHost]        = Value(definition.host);
    row[first + protocol::kColCommand]     = Value(definition.command);
    row[first + protocol::kColEuid]        = Value(definition.euid);
    row[first + protocol::kColManaged]     = Value(std::int32_t{definition.managed ? 1 : 0});
    row[first + protocol::kColPid]         = Value(static_cast<std::int32_t>(pid));
    row[first + protocol::kColRestartMsg]  = TextOrNone(definition.restart_message);
    row[first + protocol::kColAlertMsg]    = TextOrNone(definition.alert_message);
    row[first + protocol::kColRetryCount]  = Value(definition.retry_count);
    row[first + protocol::kColProcessType] = Value(static_cast<std::int32_t>(definition.type));
}

// A reply of one row of integers.
void SendIntegers(Reply &reply, std::span<const Field> columns, Row row)
{
    RowSet rows(columns);
    rows.Add(std::move(row));
    std::move(rows).Send(reply);
}

void SendProcesses(Reply &reply, const std::vector<ProcessView> &processes)
{
    RowSet rows(protocol::kProcessColumns);
    for (const auto &process : processes) {
        Row row = rows.Blank();
        PutProcess(row, 0, process.definition, process.pid);
        rows.Add(std::move(row));
    }
    std::move(rows).Send(reply);
}

// Fills the kind and the text form of a member's value, as a service row carries them.
void PutMemberValue(Row &row, const MemberValue &value)
{
    if (const auto *number = std::get_if<std::int32_t>(&value)) {
        row[protocol::kColValueKind] = Value(std::int32_t{PaVALUE_INTEGER});
        row[protocol::kColValue]     = Value(std::to_string(*number));
    } else if (const auto *text = std::get_if<std::string>(&value)) {
        row[protocol::kColValueKind] = Value(std::int32_t{PaVALUE_TEXT});
        row[protocol::kColValue]     = Value(*text);
    } else {
        row[protocol::kColValueKind] = Value(std::int32_t{PaVALUE_NONE});
        row[protocol::kColValue]     = NoValue();
    }
}

// One row per member; the rows after a service's first carry no service name. A service
// without members is one row whose member process name and host are absent.
void SendServices(Reply &reply, const std::vector<Service> &services)
{
    RowSet rows(protocol::kServiceColumns);
    auto add = [&rows](const Service &service, bool first, const Member &member) {
        Row row                         = rows.Blank();
        row[protocol::kColService]      = first ? Value(service.name) : NoValue();
        row[protocol::kColServiceType]  = Value(static_cast<std::int32_t>(service.type));
        row[protocol::kColServiceStart] = Value(static_cast<std::int32_t>(service.start));
        PutMemberValue(row, member.value);
        PutProcess(row, protocol::kColMemberProcess, member.process, 0);
        rows.Add(std::move(row));
    };
    for (const auto &service : services) {
        if (service.members.empty()) {
            Member none;
            none.process.name = none.process.host = none.process.command = protocol::kNoValue;
            add(service, true, none);
        }
        for (std::size_t i = 0; i < service.members.size(); ++i) {
            add(service, i == 0, service.members[i]);
        }
    }
    std::move(rows).Send(reply);
}

void SendRoutes(Reply &reply, const std::vector<Route> &routes)
{
    RowSet rows(protocol::kHostColumns);
    for (const auto &route : routes) {
        rows.Add({Value(route.host), Value(route.server)});
    }
    std::move(rows).Send(reply);
}

// The output in rows of at most protocol::kOutputRowBytes, in base64: the first says what was
// lost before it, each the cursor after its data; at least one row.
void SendOutput(Reply &reply, const agentclient::Output &output)
{
    RowSet rows(protocol::kOutputColumns);
    const std::string_view data = output.data;
    std::int64_t cursor         = output.cursor - static_cast<std::int64_t>(data.size());
    char encoded[protocol::Base64EncodedLength(protocol::kOutputRowBytes)];
    std::size_t at = 0;
    do {
        const std::string_view part = data.substr(at, protocol::kOutputRowBytes);
        cursor += static_cast<std::int64_t>(part.size());
        Row row                         = rows.Blank();
        row[protocol::kColOutputCursor] = Value(std::to_string(cursor));
        row[protocol::kColOutputLost]   = Value(std::to_string(at == 0 ? output.lost : 0));
        protocol::Base64Encode(part, encoded);
        row[protocol::kColOutputData] = Value(std::string(encoded, protocol::Base64EncodedLength(part.size())));
        at += part.size();
        rows.Add(std::move(row));
    } while (at < data.size());
    std::move(rows).Send(reply);
}

// The events, then a row of no event whose cursor is the one to pass next.
void SendEvents(Reply &reply, const EventBatch &page)
{
    RowSet rows(protocol::kEventColumns);
    auto add = [&rows](const agentclient::Event &event) {
        Row row                         = rows.Blank();
        row[protocol::kColEventCursor]  = Value(std::to_string(event.cursor));
        row[protocol::kColEventTime]    = Value(std::to_string(event.time_ms));
        row[protocol::kColEventKind]    = Value(static_cast<std::int32_t>(event.kind));
        row[protocol::kColEventProcess] = TextOrNone(event.process);
        row[protocol::kColEventService] = TextOrNone(event.service);
        row[protocol::kColEventHost]    = TextOrNone(event.host);
        row[protocol::kColEventPid]     = Value(event.pid);
        row[protocol::kColEventStatus]  = Value(event.status);
        row[protocol::kColEventSignal]  = Value(event.signal);
        row[protocol::kColEventMessage] = TextOrNone(event.message);
        row[protocol::kColEventUser]    = TextOrNone(event.user);
        row[protocol::kColEventLost]    = Value(std::to_string(event.lost));
        rows.Add(std::move(row));
    };
    for (const auto &event : page.events) {
        add(event);
    }
    agentclient::Event end;
    end.cursor = page.cursor;
    add(end);
    std::move(rows).Send(reply);
}

HandlerTable Handlers(Agent &agent, std::function<void(bool)> stop_agent)
{
    Supervisor &supervisor = agent.GetSupervisor();
    Catalog &catalog       = agent.GetCatalog();
    HandlerTable table;
    auto start = [&agent](ParamReader &params, Reply &) {
        Process definition   = params.Process();
        std::int32_t timeout = params.Integer();
        agent.StartProcess(definition, timeout);
    };
    table[protocol::kProcessStart]         = start;
    table[protocol::kProcessStartLong]     = start;
    table[protocol::kProcessStartWithArgs] = [&agent](ParamReader &params, Reply &) {
        Process definition = params.Process();
        std::string args   = params.Text();
        agent.StartProcess(definition, 0, args);
    };
    table[protocol::kProcessStop] = [&agent](ParamReader &params, Reply &) {
        std::string name = params.Text();
        std::string host = params.Text();
        agent.StopProcess(name, host);
    };
    table[protocol::kSignalProcess] = [&agent](ParamReader &params, Reply &) {
        std::string name    = params.Text();
        std::string host    = params.Text();
        std::int32_t signal = params.Integer();
        agent.SignalProcess(name, host, signal);
    };
    table[protocol::kProcessStatus] = [&agent](ParamReader &params, Reply &reply) {
        std::string name = params.Text();
        std::string host = params.Text();
        ProcessView view = agent.ProcessStatus(name, host);
        SendIntegers(reply, protocol::kProcessStatusColumns,
                     {Value(static_cast<std::int32_t>(view.state)), Value(static_cast<std::int32_t>(view.pid))});
    };
    table[protocol::kProcessHealth] = [&agent](ParamReader &params, Reply &reply) {
        const std::string name = Present(params.Text());
        const std::string host = Present(params.Text());
        RowSet rows(protocol::kHealthColumns);
        for (const agentclient::ProcessHealth &health : agent.HealthOf(name, host)) {
            Row row                       = rows.Blank();
            row[protocol::kColHealthName] = Value(health.name);
            row[protocol::kColHealthHost] = Value(health.host);
            row[protocol::kColHealthState] =
                health.health ? Value(std::string(agentclient::HealthWord(*health.health))) : NoValue();
            row[protocol::kColHealthOutput]     = Value(health.output);
            row[protocol::kColHealthStatusText] = Value(health.status_text);
            rows.Add(std::move(row));
        }
        std::move(rows).Send(reply);
    };
    table[protocol::kProcessStats] = [&agent](ParamReader &params, Reply &reply) {
        const std::string name = Present(params.Text());
        const std::string host = Present(params.Text());
        // The wire's integers have 32 bits: larger figures go as decimal text.
        const auto text = [](double number) { return Value(std::to_string(std::llround(number))); };
        RowSet rows(protocol::kStatsColumns);
        for (const agentclient::ProcessStats &stats : agent.StatsOf(name, host)) {
            Row row                             = rows.Blank();
            row[protocol::kColStatsName]        = Value(stats.name);
            row[protocol::kColStatsHost]        = Value(stats.host);
            row[protocol::kColStatsState]       = Value(stats.state);
            row[protocol::kColStatsPid]         = Value(stats.pid);
            row[protocol::kColStatsStartedAt]   = Value(std::to_string(stats.started_at));
            row[protocol::kColStatsUptimeMs]    = text(stats.uptime_seconds * 1000);
            row[protocol::kColStatsRestarts]    = Value(stats.restarts);
            row[protocol::kColStatsExitStatus]  = Value(stats.last_exit_status.value_or(-1));
            row[protocol::kColStatsExitSignal]  = Value(stats.last_exit_signal.value_or(-1));
            row[protocol::kColStatsCpuUserMs]   = text(stats.cpu_user_seconds * 1000);
            row[protocol::kColStatsCpuSystemMs] = text(stats.cpu_system_seconds * 1000);
            row[protocol::kColStatsMemoryBytes] = Value(std::to_string(stats.memory_bytes));
            row[protocol::kColStatsThreads]     = Value(stats.threads);
            row[protocol::kColStatsDescriptors] = Value(stats.descriptors);
            rows.Add(std::move(row));
        }
        std::move(rows).Send(reply);
    };
    table[protocol::kProcessOutput] = [&agent](ParamReader &params, Reply &reply) {
        std::string name    = params.Text();
        std::string host    = params.Text();
        std::int64_t cursor = params.Number("cursor");
        std::int32_t tail   = params.Integer();
        std::int32_t wait   = params.Integer();
        SendOutput(reply, agent.ProcessOutput(name, host, cursor, tail, std::chrono::seconds(wait)));
    };
    table[protocol::kProcessChange] = [&agent](ParamReader &params, Reply &) {
        Process definition   = params.Process();
        std::string old_name = params.Text();
        agent.ChangeProcess(old_name, definition);
    };
    table[protocol::kProcessState] = [&agent](ParamReader &params, Reply &) {
        Process definition = params.Process();
        std::int32_t state = params.Integer();
        agent.RequestState(definition, state);
    };
    auto list_processes = [&supervisor](bool running_only) {
        return [&supervisor, running_only](ParamReader &, Reply &reply) {
            SendProcesses(reply, supervisor.List(running_only));
        };
    };
    table[protocol::kProcessList]       = list_processes(false);
    table[protocol::kSingleProcessList] = list_processes(true);
    table[protocol::kStopProcesses]     = [&agent](ParamReader &, Reply &) { agent.StopAllProcesses(); };
    table[protocol::kStartProcesses]    = [&agent](ParamReader &, Reply &) { agent.StartAllProcesses(); };

    table[protocol::kServiceStart] = [&agent, &catalog](ParamReader &params, Reply &) {
        bool add           = params.Integer() != 0;
        Service definition = params.Service();
        if (add) {
            RequireRole(Role::kAdmin, "define services");
            catalog.AddService(definition);
        } else {
            agent.StartService(definition);
        }
    };
    table[protocol::kServiceChange] = [&catalog](ParamReader &params, Reply &) {
        std::string old_name = params.Text();
        Service definition   = params.Service();
        catalog.ChangeService(old_name, definition);
    };
    table[protocol::kServiceStop]   = [&agent](ParamReader &params, Reply &) { agent.StopService(params.Text()); };
    table[protocol::kServiceRemove] = [&catalog](ParamReader &params, Reply &) {
        catalog.RemoveService(params.Text());
    };
    table[protocol::kServiceStatus] = [&agent](ParamReader &params, Reply &reply) {
        ServiceStatus status = agent.StatusOfService(params.Text());
        SendIntegers(reply, protocol::kServiceStatusColumns,
                     {Value(static_cast<std::int32_t>(status.state)), Value(status.running_members)});
    };
    auto list_services = [&catalog](bool running_only) {
        return [&catalog, running_only](ParamReader &, Reply &reply) {
            SendServices(reply, catalog.Services(running_only));
        };
    };
    table[protocol::kServiceList]       = list_services(false);
    table[protocol::kSingleServiceList] = list_services(true);

    table[protocol::kHostList] = [&catalog](ParamReader &params, Reply &reply) {
        SendRoutes(reply, catalog.Routes(params.Integer()));
    };
    auto by_route = [&catalog](void (Catalog::*action)(const Route &)) {
        return [&catalog, action](ParamReader &params, Reply &) {
            Route route;
            route.host   = params.Text();
            route.server = params.Text();
            (catalog.*action)(route);
        };
    };
    table[protocol::kHostAdd]    = by_route(&Catalog::AddRoute);
    table[protocol::kHostRemove] = by_route(&Catalog::RemoveRoute);

    table[protocol::kDebugLevelSet] = [&agent](ParamReader &params, Reply &) { agent.SetDebugLevel(params.Integer()); };
    table[protocol::kDebugLevelGet] = [&agent](ParamReader &, Reply &reply) {
        SendIntegers(reply, protocol::kDebugLevelColumns, {Value(agent.DebugLevel())});
    };
    table[protocol::kVersionGet] = [](ParamReader &, Reply &reply) {
        SendIntegers(reply, protocol::kVersionColumns, {Value(kVersionMajor), Value(kVersionMinor)});
    };
    table[protocol::kGenerateNotification] = [&agent](ParamReader &, Reply &reply) {
        agent.Log(Verbosity::kEvent, "notification requested");
        reply.Message(tds::ServerMessage::Info(kNotificationMessage, "notification from " + agent.ServerName()));
    };
    table[protocol::kNotification] = [&supervisor](ParamReader &params, Reply &) {
        std::int32_t pid = params.Integer();
        std::int32_t id  = params.Integer();
        // Every local program knows the inform password: a report counts only from within the
        // process it names, which Report then finds among the processes this agent started.
        if (RequestUser() == protocol::kInformUser && !PeerHeldBy(tds::RequestClientSocket(), pid)) {
            throw AgentError("the inform login may only report the process it runs in");
        }
        supervisor.Report(id, pid);
    };
    table[protocol::kEventWait] = [&agent](ParamReader &params, Reply &reply) {
        const std::string host    = params.Text();
        const std::int64_t cursor = params.Number("event cursor");
        const std::int32_t wait   = params.Integer();
        SendEvents(reply, agent.Events(host, cursor, std::chrono::seconds(wait)));
    };
    table[protocol::kWhoAmI] = [](ParamReader &, Reply &reply) {
        // Every request but the inform login's carries the access of its login.
        const Access &access = *RequestAccess();
        RowSet rows(protocol::kLoginColumns);
        rows.Add(
            {Value(access.User()), Value(std::string(protocol::RoleName(access.GetRole()))), Value(access.UidsText())});
        std::move(rows).Send(reply);
    };
    table[protocol::kStopPa] = [stop_agent](ParamReader &params, Reply &reply) {
        bool stop_processes = params.Integer() != 0;
        // The client learns of its success before the agent goes away.
        reply.AfterDelivery([stop_agent, stop_processes] { stop_agent(stop_processes); });
    };
    return table;
}

// Where the host parameter is of the RPCs that the agent of that host carries out: those about
// one process, and the health and figures of one or every process, whose first two parameters
// are its name and host, and the wait for events.
std::optional<std::size_t> HostParam(Rpc rpc)
{
    static const std::set<Rpc> kAboutOneProcess = {
        protocol::kProcessStart,  protocol::kProcessStartLong, protocol::kProcessStartWithArgs, protocol::kProcessStop,
        protocol::kSignalProcess, protocol::kProcessStatus,    protocol::kProcessChange,        protocol::kProcessState,
        protocol::kProcessOutput, protocol::kProcessHealth,    protocol::kProcessStats};
    if (rpc == protocol::kEventWait) {
        return 0;
    }
    return kAboutOneProcess.contains(rpc) ? std::optional<std::size_t>(1) : std::nullopt;
}

// The text parameter at position of a request, when it has one.
std::optional<std::string> TextAt(const tds::RpcRequest &request, std::size_t position)
{
    if (position >= request.params.size() || !request.params[position].value.IsText()) {
        return std::nullopt;
    }
    return request.params[position].value.AsText();
}

// What a request asks for, as its audit line says: its action and the process, service or host
// it names.
std::string AuditedAction(Rpc rpc, const tds::RpcRequest &request)
{
    std::string what(protocol::RoleOf(rpc).action);
    std::optional<std::string> name;
    std::string kind;
    if (HostParam(rpc) == std::size_t{1}) {
        name = TextAt(request, 0);
        kind = "process";
        if (auto host = TextAt(request, 1); name && host) {
            *name += " of host " + *host;
        }
    } else if (rpc == protocol::kServiceStart) {
        // After the flag that says whether it adds the service.
        name = TextAt(request, 1);
        kind = "service";
    } else if (rpc == protocol::kServiceStop || rpc == protocol::kServiceRemove || rpc == protocol::kServiceChange) {
        name = TextAt(request, 0);
        kind = "service";
    } else if (rpc == protocol::kHostAdd || rpc == protocol::kHostRemove) {
        name = TextAt(request, 0);
        kind = "host";
    }
    return name ? what + ": " + kind + " " + *name : what;
}

// A request another agent forwarded goes no further: routing tables that point back at each
// other cannot make it loop.
void RefuseForwardingAgain(const Catalog &catalog, const protocol::RpcShape &shape, const tds::RpcRequest &request,
                           std::size_t host_param)
{
    ParamReader params(shape, request);
    const std::string name = host_param > 0 ? params.Text() : std::string();
    const std::string host = params.Text();
    // The no-value host is the agent's own.
    if (auto peer = host != protocol::kNoValue ? catalog.PeerOf(host) : std::nullopt) {
        throw AgentError((name.empty() ? "the request" : "process " + name) + " of host " + host +
                         " would be forwarded again, to " + *peer + ": a request is forwarded at most once");
    }
}

// Every RPC a client calls has a handler, and every handler serves one of them.
void CheckCoverage(const HandlerTable &table)
{
    for (const auto &[rpc, handler] : table) {
        const protocol::RpcShape *shape = protocol::Find(rpc);
        if (shape == nullptr || !shape->called) {
            throw std::logic_error("a handler serves RPC " + std::to_string(rpc) + ", which no client calls");
        }
    }
    for (std::size_t rpc = 0; rpc < protocol::kRpcs.size(); ++rpc) {
        if (protocol::kRpcs[rpc].called && !table.contains(static_cast<Rpc>(rpc))) {
            throw std::logic_error("RPC " + std::string(protocol::kRpcs[rpc].name) + " has no handler");
        }
    }
}

}  // namespace

void RegisterRpcs(tds::Server &server, Agent &agent, std::function<void(bool)> stop_agent, AccessOf access_of)
{
    HandlerTable table = Handlers(agent, std::move(stop_agent));
    CheckCoverage(table);
    // Named variables rather than structured bindings: clang 14 cannot capture bindings in a lambda.
    for (const auto &entry : table) {
        const Rpc rpc                   = entry.first;
        const auto &handler             = entry.second;
        const protocol::RpcShape &shape = *protocol::Find(rpc);
        const std::string name(shape.name);
        server.AddRpc(name, [&agent, &shape, rpc, name, handler,
                             access_of](const tds::SessionInfo &session, const tds::RpcRequest &request, Reply &reply) {
            const std::string requester = Requester(session);
            agent.Log(Verbosity::kRequest, "RPC " + name + " from user " + requester);
            const bool audited = Audited(rpc);
            std::exception_ptr failure;
            // In a scope of its own: the lines the request logs while it is carried out are
            // details of its audit line (see Agent::Log), which comes after it.
            const std::string outcome = [&]() -> std::string {
                const bool inform = session.user == protocol::kInformUser;
                const RequestUserScope user(requester, inform ? nullptr : access_of(session.user));
                try {
                    if (inform &&
                        (rpc != protocol::kNotification || session.application != protocol::kInformApplication)) {
                        throw AgentError("the inform login may only report processes");
                    }
                    // A reload of the users file may have removed the user since it logged in.
                    if (!inform && !RequestAccess()) {
                        throw AgentError("user " + session.user + " is no longer in the users file");
                    }
                    RequireRole(protocol::RoleOf(rpc).role, protocol::RoleOf(rpc).action);
                    if (const auto host_param = HostParam(rpc);
                        session.application == kForwardApplication && host_param) {
                        RefuseForwardingAgain(agent.GetCatalog(), shape, request, *host_param);
                    }
                    ParamReader params(shape, request);
                    handler(params, reply);
                    return "done";
                } catch (const AgentError &error) {
                    if (!audited) {
                        agent.Log(Verbosity::kRequest, name + " refused: " + error.what());
                    }
                    reply.Fail(tds::ServerMessage::Error(kRequestRefused, error.what()));
                    return std::string("refused: ") + error.what();
                } catch (const std::exception &error) {
                    // The session answers and logs it as it does any handler's failure.
                    failure = std::current_exception();
                    return std::string("failed: ") + error.what();
                }
            }();
            if (audited) {
                agent.Log(Verbosity::kEvent, AuditLine(session, AuditedAction(rpc, request), outcome));
            }
            if (failure) {
                std::rethrow_exception(failure);
            }
        });
    }
}

}  // namespace paagent
