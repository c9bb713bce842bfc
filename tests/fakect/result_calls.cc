// Reading a reply: result types, column descriptions, bindings and rows.
#include "names.h"
#include "state.h"

#include <algorithm>
#include <cstring>

using namespace fakect;

namespace {

CS_RETCODE NextResult(_cs_command &command, CS_INT *resultType)
{
    if (command.cancelPending) {
        command.cancelPending = false;
        return CS_CANCELED;
    }
    CS_CONNECTION *connection = command.connection;
    if (!connection || connection->status != CS_CONSTAT_CONNECTED || command.steps.empty())
        return CS_FAIL;
    Step step = std::move(command.steps.front());
    command.steps.pop_front();
    command.current = std::move(step.set);
    command.nextRow = 0;
    command.bindings.clear();
    if (step.killsConnection) {
        connection->status = CS_CONSTAT_DEAD;
        connection->EndReply();
        if (!step.silently) {
            Deliver(ClientMessage(20017, 9, "Unexpected EOF from the server"), connection);
        }
    } else if (step.code != CS_SUCCEED) {
        command.state = _cs_command::State::Ready;  // FreeTDS lets a finished RPC be sent again
        connection->EndReply();
    } else {
        *resultType = step.type;
    }
    return step.code;
}

}  // namespace

CS_RETCODE ct_results(CS_COMMAND *command, CS_INT *result_type)
{
    Logged call("ct_results", "ct_results");
    _cs_command &target                = Use(command, "ct_results");
    std::optional<CS_RETCODE> injected = Intercept("ct_results", CS_UNUSED, CS_UNUSED, target.connection);
    CS_RETCODE code                    = injected ? *injected : NextResult(target, result_type);
    bool announced                     = !injected && code == CS_SUCCEED;
    call.Amend("ct_results -> " + (announced ? ResultTypeName(*result_type) : ReturnName(code)));
    return call(code);
}

CS_RETCODE ct_res_info(CS_COMMAND *command, CS_INT type, CS_VOID *buffer, CS_INT, CS_INT *out_len)
{
    Logged call("ct_res_info", "ct_res_info(" + PropertyName(type) + ")");
    _cs_command &target = Use(command, "ct_res_info");
    if (auto injected = Intercept("ct_res_info", type, CS_UNUSED, target.connection))
        return call(*injected);
    if (type != CS_NUMDATA)
        return call(CS_FAIL);
    CS_INT columns = target.current ? static_cast<CS_INT>(target.current->columns.size()) : 0;
    std::memcpy(buffer, &columns, sizeof columns);
    if (out_len)
        *out_len = sizeof columns;
    return call(CS_SUCCEED);
}

namespace {

bool InRange(const _cs_command &command, CS_INT item)
{
    return command.current && item >= 1 && static_cast<std::size_t>(item) <= command.current->columns.size();
}

}  // namespace

CS_RETCODE ct_describe(CS_COMMAND *command, CS_INT item, CS_DATAFMT *datafmt)
{
    Logged call("ct_describe", "ct_describe(" + std::to_string(item) + ")");
    _cs_command &target = Use(command, "ct_describe");
    if (auto injected = Intercept("ct_describe", item, CS_UNUSED, target.connection))
        return call(*injected);
    if (!InRange(target, item))
        return call(CS_FAIL);
    const Column &column = target.current->columns[static_cast<std::size_t>(item - 1)];
    std::size_t namelen  = std::min(column.name.size(), sizeof datafmt->name - 1);
    std::memcpy(datafmt->name, column.name.data(), namelen);
    datafmt->name[namelen] = '\0';
    datafmt->namelen       = static_cast<CS_INT>(namelen);
    datafmt->datatype      = column.datatype;
    datafmt->maxlength     = column.maxlength;
    datafmt->scale         = 0;
    datafmt->precision     = 0;
    datafmt->status        = 0;
    datafmt->count         = 1;
    datafmt->usertype      = 0;
    datafmt->locale        = nullptr;
    return call(CS_SUCCEED);
}

CS_RETCODE ct_bind(CS_COMMAND *command, CS_INT item, CS_DATAFMT *datafmt, CS_VOID *buffer, CS_INT *copied,
                   CS_SMALLINT *indicator)
{
    Logged call("ct_bind", "ct_bind(" + std::to_string(item) + ", datatype=" + std::to_string(datafmt->datatype) +
                               ", maxlength=" + std::to_string(datafmt->maxlength) + ", format=" +
                               std::to_string(datafmt->format) + ", " + HandleName(buffer, "buffer") + ")");
    _cs_command &target = Use(command, "ct_bind");
    if (auto injected = Intercept("ct_bind", item, CS_UNUSED, target.connection))
        return call(*injected);
    if (!InRange(target, item))
        return call(CS_FAIL);
    target.bindings.resize(std::max(target.bindings.size(), static_cast<std::size_t>(item)));
    target.bindings[static_cast<std::size_t>(item - 1)] =
        Binding{datafmt->datatype, datafmt->maxlength, datafmt->format, buffer, copied, indicator};
    return call(CS_SUCCEED);
}

namespace {

bool IsText(CS_INT datatype) { return datatype == CS_CHAR_TYPE || datatype == CS_LONGCHAR_TYPE; }

// FreeTDS's character conversion: as much as fits, failing when the value does not fit.
bool CopyText(const Binding &binding, const std::string &text, CS_INT &copied)
{
    std::size_t room = static_cast<std::size_t>(std::max(binding.maxlength, 0));
    char *buffer     = static_cast<char *>(binding.buffer);
    std::memcpy(buffer, text.data(), std::min(text.size(), room));
    copied = static_cast<CS_INT>(std::min(text.size(), room));
    if (text.size() > room)
        return false;
    if (binding.format == CS_FMT_NULLTERM) {
        if (text.size() == room)
            return false;
        buffer[text.size()] = '\0';
        copied += 1;
    } else if (binding.format == CS_FMT_PADNULL) {
        std::memset(buffer + text.size(), 0, room - text.size());
        copied = static_cast<CS_INT>(room);
    }
    return true;
}

// Converts one value into its bound buffer; false when it cannot be done.
bool Store(const Binding &binding, const Value &value, CS_INT &copied, CS_SMALLINT &indicator)
{
    copied    = 0;
    indicator = 0;
    if (!binding.buffer)
        return true;
    if (std::holds_alternative<std::monostate>(value)) {
        indicator = -1;
        return true;
    }
    if (const std::string *text = std::get_if<std::string>(&value)) {
        return IsText(binding.datatype) && CopyText(binding, *text, copied);
    }
    CS_INT number = std::get<CS_INT>(value);
    if (IsText(binding.datatype))
        return CopyText(binding, std::to_string(number), copied);
    if (binding.datatype == CS_INT_TYPE) {
        std::memcpy(binding.buffer, &number, sizeof number);
        copied = sizeof number;
        return true;
    }
    if (binding.datatype == CS_SMALLINT_TYPE) {
        CS_SMALLINT small = static_cast<CS_SMALLINT>(number);
        std::memcpy(binding.buffer, &small, sizeof small);
        copied = sizeof small;
        return true;
    }
    return false;
}

CS_RETCODE FetchRow(_cs_command &command, CS_INT *rowsRead)
{
    if (rowsRead)
        *rowsRead = 0;
    if (!command.current)
        return CS_FAIL;
    const ResultSet &set = *command.current;
    if (command.nextRow >= set.rows.size())
        return CS_END_DATA;
    std::size_t index = command.nextRow++;
    const Row &row    = set.rows[index];
    bool converted    = true;
    for (std::size_t column = 0; column < command.bindings.size() && column < row.size(); ++column) {
        const Binding &binding = command.bindings[column];
        CS_INT copied;
        CS_SMALLINT indicator;
        converted = Store(binding, row[column], copied, indicator) && converted;
        if (binding.copied)
            *binding.copied = copied;
        if (binding.indicator)
            *binding.indicator = indicator;
    }
    if (rowsRead)
        *rowsRead = 1;
    return converted && set.failingRow != index ? CS_SUCCEED : CS_ROW_FAIL;
}

}  // namespace

CS_RETCODE ct_fetch(CS_COMMAND *command, CS_INT, CS_INT, CS_INT, CS_INT *rows_read)
{
    Logged call("ct_fetch", "ct_fetch");
    _cs_command &target                = Use(command, "ct_fetch");
    std::optional<CS_RETCODE> injected = Intercept("ct_fetch", CS_UNUSED, CS_UNUSED, target.connection);
    CS_RETCODE code                    = injected ? *injected : FetchRow(target, rows_read);
    call.Amend("ct_fetch -> " + ReturnName(code));
    return call(code);
}
