// Commands: allocation, the RPC and its parameters, sending and cancelling.
#include "names.h"
#include "state.h"

#include <algorithm>
#include <cstring>

using namespace fakect;

namespace {

// Forgets the RPC and its parameters, as FreeTDS does on a cancel.
void Wipe(_cs_command &command)
{
    command.rpc.clear();
    command.params.clear();
    command.state = _cs_command::State::Idle;
}

}  // namespace

// Like FreeTDS, succeeds on any connection; the vendor's library refuses a dead or closed one.
CS_RETCODE ct_cmd_alloc(CS_CONNECTION *connection, CS_COMMAND **command)
{
    Logged call("ct_cmd_alloc", "ct_cmd_alloc()");
    if (!connection)
        return call(CS_FAIL);
    _cs_connection &owner = Use(connection, "ct_cmd_alloc");
    if (auto injected = Intercept("ct_cmd_alloc", CS_UNUSED, CS_UNUSED, connection))
        return call(*injected);
    if (agent().behaviour.vendor && owner.status != CS_CONSTAT_CONNECTED)
        return call(agent().behaviour.deadConnectionCode);
    auto made        = std::make_unique<_cs_command>();
    made->connection = connection;
    *command         = state().commands.emplace_back(std::move(made)).get();
    owner.commands.push_back(*command);
    return call(CS_SUCCEED);
}

// Like FreeTDS, an unfinished reply keeps the connection busy after the drop.
CS_RETCODE ct_cmd_drop(CS_COMMAND *command)
{
    Logged call("ct_cmd_drop", "ct_cmd_drop()");
    if (!command)
        return call(CS_SUCCEED);
    _cs_command &dropping = Use(command, "ct_cmd_drop");
    if (auto injected = Intercept("ct_cmd_drop", CS_UNUSED, CS_UNUSED, dropping.connection))
        return call(*injected);
    if (CS_CONNECTION *connection = dropping.connection) {
        std::erase(connection->commands, command);
        if (connection->pendingOwner == command)
            connection->pendingOwner = nullptr;
    }
    dropping.dropped = true;
    return call(CS_SUCCEED);
}

CS_RETCODE ct_command(CS_COMMAND *command, CS_INT type, const CS_VOID *buffer, CS_INT buflen, CS_INT option)
{
    Logged call("ct_command", "ct_command(" + CommandTypeName(type) + ", " + Quote(TextOf(buffer, buflen)) + ", " +
                                  LengthName(buflen) + ", " + OptionName(option) + ")");
    _cs_command &target = Use(command, "ct_command");
    if (auto injected = Intercept("ct_command", CS_UNUSED, CS_UNUSED, target.connection))
        return call(*injected);
    if (type != CS_RPC_CMD)
        return call(CS_FAIL);
    target.rpc = TextOf(buffer, buflen);
    target.params.clear();
    target.state = _cs_command::State::Ready;
    return call(CS_SUCCEED);
}

namespace {

std::optional<std::string> ValueBytes(CS_INT datatype, const CS_VOID *data, CS_INT datalen)
{
    if (!data)
        return std::nullopt;
    if (datatype == CS_INT_TYPE)
        return TextOf(data, sizeof(CS_INT));
    if (datatype == CS_SMALLINT_TYPE)
        return TextOf(data, sizeof(CS_SMALLINT));
    return TextOf(data, datalen);
}

std::string ValueText(CS_INT datatype, const std::optional<std::string> &bytes)
{
    if (!bytes)
        return "NULL";
    if (datatype == CS_INT_TYPE) {
        CS_INT value;
        std::memcpy(&value, bytes->data(), sizeof value);
        return std::to_string(value);
    }
    if (datatype == CS_SMALLINT_TYPE) {
        CS_SMALLINT value;
        std::memcpy(&value, bytes->data(), sizeof value);
        return std::to_string(value);
    }
    return Quote(*bytes);
}

}  // namespace

CS_RETCODE ct_param(CS_COMMAND *command, CS_DATAFMT *datafmt, CS_VOID *data, CS_INT datalen, CS_SMALLINT indicator)
{
    SentParam param{TextOf(datafmt->name, datafmt->namelen),
                    datafmt->datatype,
                    datafmt->status,
                    datafmt->maxlength,
                    datafmt->format,
                    ValueBytes(datafmt->datatype, data, datalen),
                    datalen,
                    indicator};
    Logged call("ct_param",
                "ct_param(name=" + Quote(param.name) + ", namelen=" + LengthName(datafmt->namelen) +
                    ", datatype=" + std::to_string(param.datatype) + ", status=" + std::to_string(param.status) +
                    ", maxlength=" + std::to_string(param.maxlength) + ", format=" + std::to_string(param.format) +
                    ", value=" + ValueText(param.datatype, param.value) + ", datalen=" + LengthName(datalen) +
                    ", indicator=" + std::to_string(indicator) + ")");
    _cs_command &target = Use(command, "ct_param");
    if (auto injected = Intercept("ct_param", CS_UNUSED, CS_UNUSED, target.connection))
        return call(*injected);
    if (target.state == _cs_command::State::Idle)
        return call(CS_FAIL);
    target.params.push_back(std::move(param));
    return call(CS_SUCCEED);
}

// Checks in FreeTDS's order; the failures it reports carry its message numbers.
CS_RETCODE ct_send(CS_COMMAND *command)
{
    Logged call("ct_send", "ct_send()");
    if (!command)
        return call(CS_FAIL);
    _cs_command &target       = Use(command, "ct_send");
    CS_CONNECTION *connection = target.connection;
    if (auto injected = Intercept("ct_send", CS_UNUSED, CS_UNUSED, connection))
        return call(*injected);
    if (!connection || connection->status == 0)
        return call(CS_FAIL);
    if (target.cancelPending) {
        target.cancelPending = false;
        return call(CS_CANCELED);
    }
    if (target.state == _cs_command::State::Idle) {
        Deliver(ClientMessage(16843163, 1,
                              "ct_send: user api layer: external error: This routine cannot be called when the "
                              "command structure is idle."),
                connection);
        return call(CS_FAIL);
    }
    if (connection->status & CS_CONSTAT_DEAD) {
        Deliver(ClientMessage(20006, 9, "Write to the server failed"), connection);
        return call(CS_FAIL);
    }
    if (connection->resultsPending) {
        Deliver(ClientMessage(20019, 7, "Attempt to initiate a new Adaptive Server operation with results pending"),
                connection);
        return call(CS_FAIL);
    }
    state().sent.push_back(SentRpc{target.rpc, target.params});
    target.steps = NextReply(target.rpc);
    target.current.reset();
    target.state               = _cs_command::State::Sent;
    connection->resultsPending = true;
    connection->pendingOwner   = command;
    return call(CS_SUCCEED);
}

namespace {

void Cancel(_cs_command &command, bool vendor)
{
    if (command.state == _cs_command::State::Sent) {
        command.steps.clear();
        command.current.reset();
        command.cancelPending = true;
        command.state         = _cs_command::State::Ready;
        if (command.connection && command.connection->pendingOwner == &command)
            command.connection->EndReply();
    }
    if (!vendor)
        Wipe(command);
}

}  // namespace

// Only CS_CANCEL_ALL, on a connection or on one command.
CS_RETCODE ct_cancel(CS_CONNECTION *connection, CS_COMMAND *command, CS_INT type)
{
    Logged call("ct_cancel", "ct_cancel(" + HandleName(connection, "conn") + ", " + HandleName(command, "cmd") + ", " +
                                 OptionName(type) + ")");
    if (connection)
        Use(connection, "ct_cancel");
    if (command)
        Use(command, "ct_cancel");
    CS_CONNECTION *concerned = command ? command->connection : connection;
    if (auto injected = Intercept("ct_cancel", type, CS_UNUSED, concerned))
        return call(*injected);
    if (!connection == !command || type != CS_CANCEL_ALL)
        return call(CS_FAIL);
    bool vendor = agent().behaviour.vendor;
    if (command) {
        Cancel(*command, vendor);
        return call(CS_SUCCEED);
    }
    for (CS_COMMAND *each : connection->commands)
        Cancel(*each, vendor);
    if (vendor)
        connection->EndReply();
    return call(CS_SUCCEED);
}
