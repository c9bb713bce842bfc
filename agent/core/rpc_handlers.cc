#include "core/rpc_handlers.h"

#include <algorithm>
#include <utility>

#include "core/rpc_params.h"

namespace paagent {

namespace {

using tds::Column;
using tds::Reply;
using tds::Value;

constexpr const char* kNoValue = "NULL";
constexpr std::int32_t kVersionMajor = 3;
constexpr std::int32_t kVersionMinor = 1;
constexpr std::int32_t kNotificationMessage = 20100;

using Handler = std::function<void(ParamReader& params, Reply& reply)>;

Value text_or_null(const std::optional<std::string>& text) { return Value(text.value_or(kNoValue)); }

// Text columns declared as wide as their longest value, so short tables stay small on the wire.
class RowSet {
public:
    explicit RowSet(std::vector<Column> columns) : columns_(std::move(columns)) {}

    void add(std::vector<Value> row) {
        for (std::size_t k = 0; k < row.size(); ++k) {
            if (columns_[k].type == tds::ColumnType::Text && row[k].is_text()) {
                columns_[k].max_length = std::max<std::uint32_t>(columns_[k].max_length,
                                                                  static_cast<std::uint32_t>(row[k].as_text().size()));
            }
        }
        rows_.push_back(std::move(row));
    }

    void send(Reply& reply) && {
        for (auto& column : columns_) column.max_length = std::max<std::uint32_t>(column.max_length, 1);
        reply.begin_rows(std::move(columns_));
        for (const auto& row : rows_) reply.add_row(row);
    }

private:
    std::vector<Column> columns_;
    std::vector<std::vector<Value>> rows_;
};

std::vector<Column> process_columns() {
    return {Column::text("name", 1),          Column::text("host", 1),
            Column::text("command", 1),       Column::integer("euid"),
            Column::integer("managed"),       Column::integer("pid"),
            Column::text("restartMessage", 1), Column::text("alertMessage", 1),
            Column::integer("retryCount"),    Column::integer("processType")};
}

std::vector<Value> process_values(const ProcessSpec& definition, pid_t pid) {
    return {Value(definition.name),
            Value(definition.host),
            Value(definition.command),
            Value(definition.euid),
            Value(std::int32_t{definition.managed ? 1 : 0}),
            Value(static_cast<std::int32_t>(pid)),
            text_or_null(definition.restart_message),
            text_or_null(definition.alert_message),
            Value(definition.retry_count),
            Value(static_cast<std::int32_t>(definition.type))};
}

void send_pair(Reply& reply, const char* first, std::int32_t a, const char* second, std::int32_t b) {
    reply.begin_rows({Column::integer(first), Column::integer(second)});
    reply.add_row({Value(a), Value(b)});
}

void send_processes(Reply& reply, const std::vector<ProcessView>& processes) {
    RowSet rows(process_columns());
    for (const auto& process : processes) rows.add(process_values(process.definition, process.pid));
    std::move(rows).send(reply);
}

// The kind and the text form of a member's value, as a service row carries them.
std::pair<std::int32_t, std::string> member_value_columns(const MemberValue& value) {
    if (const auto* number = std::get_if<std::int32_t>(&value)) return {0, std::to_string(*number)};
    if (const auto* text = std::get_if<std::string>(&value)) return {1, *text};
    return {2, kNoValue};
}

// One row per member; the rows after a service's first carry NULL as the service name. A
// service without members is one row whose process name and host are NULL.
void send_services(Reply& reply, const std::vector<ServiceSpec>& services) {
    std::vector<Column> columns = {Column::text("service", 1), Column::integer("serviceType"),
                                   Column::integer("serviceStart"), Column::integer("valueKind"),
                                   Column::text("value", 1)};
    for (auto& column : process_columns()) columns.push_back(std::move(column));
    RowSet rows(std::move(columns));
    for (const auto& service : services) {
        std::vector<Value> head = {Value(service.name), Value(service.type), Value(service.start)};
        if (service.members.empty()) {
            ProcessSpec none;
            none.name = none.host = none.command = kNoValue;
            std::vector<Value> row = head;
            auto [kind, text] = member_value_columns(MemberValue{});
            row.emplace_back(kind);
            row.emplace_back(std::move(text));
            for (auto& value : process_values(none, 0)) row.push_back(std::move(value));
            rows.add(std::move(row));
            continue;
        }
        bool first = true;
        for (const auto& member : service.members) {
            std::vector<Value> row = first ? head : std::vector<Value>{Value(kNoValue), Value(service.type), Value(service.start)};
            auto [kind, text] = member_value_columns(member.value);
            row.emplace_back(kind);
            row.emplace_back(std::move(text));
            for (auto& value : process_values(member.process, 0)) row.push_back(std::move(value));
            rows.add(std::move(row));
            first = false;
        }
    }
    std::move(rows).send(reply);
}

void send_routes(Reply& reply, const std::vector<Route>& routes) {
    RowSet rows({Column::text("host", 1), Column::text("server", 1)});
    for (const auto& route : routes) rows.add({Value(route.host), Value(route.server)});
    std::move(rows).send(reply);
}

std::map<std::string, Handler> handlers(Agent& agent, std::function<void(bool)> stop_agent) {
    std::map<std::string, Handler> table;
    auto start = [&agent](ParamReader& params, Reply&) {
        ProcessSpec definition = params.process();
        std::int32_t timeout = params.integer("processTimeoutArg");
        params.finish();
        agent.start_process(definition, timeout);
    };
    table["pa_ProcessStartRPC"] = start;
    table["pa_ServiceStartLcRPC"] = start;
    table["pa_ProcessStartWithArgsRPC"] = [&agent](ParamReader& params, Reply&) {
        ProcessSpec definition = params.process();
        std::string args = params.text("processAddArgsArg");
        params.finish();
        agent.start_process(definition, 0, args);
    };
    table["pa_ProcessStopRPC"] = [&agent](ParamReader& params, Reply&) {
        std::string name = params.text("processNameArg");
        std::string host = params.text("processHostnameArg");
        params.finish();
        agent.stop_process(name, host);
    };
    table["pa_SignalProcessRPC"] = [&agent](ParamReader& params, Reply&) {
        std::string name = params.text("processNameArg");
        std::string host = params.text("processHostnameArg");
        std::int32_t signal = params.integer("processSignalArg");
        params.finish();
        agent.signal_process(name, host, signal);
    };
    table["pa_ProcessStatusRPC"] = [&agent](ParamReader& params, Reply& reply) {
        std::string name = params.text("processNameArg");
        std::string host = params.text("processHostnameArg");
        params.finish();
        ProcessView view = agent.process_status(name, host);
        send_pair(reply, "state", static_cast<std::int32_t>(view.state), "pid", static_cast<std::int32_t>(view.pid));
    };
    table["pa_ProcessChangeRPC"] = [&agent](ParamReader& params, Reply&) {
        ProcessSpec definition = params.process();
        std::string old_name = params.text("processChangeArg");
        params.finish();
        agent.change_process(old_name, definition);
    };
    table["pa_PAStateProcRPC"] = [&agent](ParamReader& params, Reply&) {
        ProcessSpec definition = params.process();
        std::int32_t state = params.integer("processStateArg");
        params.finish();
        agent.request_state(definition, state);
    };
    auto list_processes = [&agent](bool running_only) {
        return [&agent, running_only](ParamReader& params, Reply& reply) {
            params.finish();
            send_processes(reply, agent.processes(running_only));
        };
    };
    table["pa_ProcessListRPC"] = list_processes(false);
    table["pa_SingleProcList"] = list_processes(true);
    table["pa_StopProcessesRPC"] = [&agent](ParamReader& params, Reply&) {
        params.finish();
        agent.stop_all_processes();
    };
    table["pa_StartProcessesRPC"] = [&agent](ParamReader& params, Reply&) {
        params.finish();
        agent.start_all_processes();
    };

    table["pa_ServiceStartRPC"] = [&agent](ParamReader& params, Reply&) {
        bool add = params.integer("serviceAddArg") != 0;
        ServiceSpec definition = params.service();
        params.finish();
        add ? agent.add_service(definition) : agent.start_service(definition);
    };
    table["pa_ServiceChangeRPC"] = [&agent](ParamReader& params, Reply&) {
        std::string old_name = params.text("serviceNameArg");
        ServiceSpec definition = params.service();
        params.finish();
        agent.change_service(old_name, definition);
    };
    auto by_service_name = [&agent](void (Agent::*action)(const std::string&)) {
        return [&agent, action](ParamReader& params, Reply&) {
            std::string name = params.text("serviceNameArg");
            params.finish();
            (agent.*action)(name);
        };
    };
    table["pa_ServiceStopRPC"] = by_service_name(&Agent::stop_service);
    table["pa_ServiceRemoveRPC"] = by_service_name(&Agent::remove_service);
    table["pa_ServiceStatusRPC"] = [&agent](ParamReader& params, Reply& reply) {
        std::string name = params.text("serviceNameArg");
        params.finish();
        ServiceStatus status = agent.service_status(name);
        send_pair(reply, "state", static_cast<std::int32_t>(status.state), "running", status.running_members);
    };
    auto list_services = [&agent](bool running_only) {
        return [&agent, running_only](ParamReader& params, Reply& reply) {
            params.finish();
            send_services(reply, agent.services(running_only));
        };
    };
    table["pa_ServiceListRPC"] = list_services(false);
    table["pa_SingleServList"] = list_services(true);

    table["pa_HostListRPC"] = [&agent](ParamReader& params, Reply& reply) {
        std::int32_t selector = params.integer("pa_HostListFetchArg");
        params.finish();
        send_routes(reply, agent.routes(selector));
    };
    auto by_route = [&agent](void (Agent::*action)(const Route&)) {
        return [&agent, action](ParamReader& params, Reply&) {
            Route route;
            route.host = params.text("pa_HostNameArg");
            route.server = params.text("pa_ServerNameArg");
            params.finish();
            (agent.*action)(route);
        };
    };
    table["pa_HostAddRPC"] = by_route(&Agent::add_route);
    table["pa_HostRemoveRPC"] = by_route(&Agent::remove_route);

    table["pa_ServerDebugLevelSetRPC"] = [&agent](ParamReader& params, Reply&) {
        std::int32_t level = params.integer("serverDebugLevArg");
        params.finish();
        agent.set_debug_level(level);
    };
    table["pa_ServerDebugLevelGetRPC"] = [&agent](ParamReader& params, Reply& reply) {
        params.finish();
        reply.begin_rows({Column::integer("debugLevel")});
        reply.add_row({Value(agent.debug_level())});
    };
    table["pa_ServerVersionGetRPC"] = [](ParamReader& params, Reply& reply) {
        params.finish();
        send_pair(reply, "major", kVersionMajor, "minor", kVersionMinor);
    };
    table["pa_PAGenNotifyRPC"] = [&agent](ParamReader& params, Reply& reply) {
        params.finish();
        agent.log(Verbosity::Event, "notification requested");
        reply.message(tds::ServerMessage::info(kNotificationMessage, "notification from " + agent.server_name()));
    };
    table["pa_PANotificationRPC"] = [&agent](ParamReader& params, Reply&) {
        std::int32_t pid = params.integer("processPIDArg");
        std::int32_t id = params.integer("processIDArg");
        params.finish();
        agent.report_pid(id, pid);
    };
    table["pa_StopPA_RPC"] = [stop_agent](ParamReader& params, Reply& reply) {
        bool stop_processes = params.integer("stopPAArg") != 0;
        params.finish();
        // The client learns of its success before the agent goes away.
        reply.after_delivery([stop_agent, stop_processes] { stop_agent(stop_processes); });
    };
    return table;
}

}  // namespace

void register_rpcs(tds::Server& server, Agent& agent, std::function<void(bool)> stop_agent) {
    for (auto& [name, handler] : handlers(agent, std::move(stop_agent))) {
        server.add_rpc(name, [&agent, name, handler](const tds::SessionInfo& session, const tds::RpcRequest& request,
                                                      Reply& reply) {
            agent.log(Verbosity::Request, "RPC " + name + " from user " + session.user);
            try {
                if (session.user == kInformUser &&
                    (name != "pa_PANotificationRPC" || session.application != kInformApplication)) {
                    throw AgentError("the inform login may only report processes");
                }
                ParamReader params(request);
                handler(params, reply);
            } catch (const AgentError& error) {
                agent.log(Verbosity::Request, name + " refused: " + error.what());
                reply.fail(tds::ServerMessage::error(kRequestRefused, error.what()));
            }
        });
    }
}

}  // namespace paagent
