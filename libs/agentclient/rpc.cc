// The RPC engine: one command per call, the parameters, up to eleven sends under the retry
// callback, and every reply row handed to the decoder of its RPC.
#include "rpc.h"
#include "memory.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <span>
#include <string_view>

namespace {

using pa::protocol::Rows;

const pa::protocol::RpcShape &Shape(int32_t rpc) { return *pa::protocol::Find(rpc); }

constexpr int kMaxSends = 11;
// The largest value the engine handles, in bytes, a text's terminating zero included.
constexpr CS_INT kMaxValueBytes  = static_cast<CS_INT>(pa::protocol::kMaxTextBytes + 1);
constexpr CS_INT kShortTextBytes = static_cast<CS_INT>(pa::protocol::kShortTextBytes);

bool IsText(CS_INT datatype) { return datatype == CS_CHAR_TYPE || datatype == CS_LONGCHAR_TYPE; }

// The command of one call. Results still pending when it goes are cancelled first, so the
// connection stays usable after an attempt that ended early.
class Command {
public:
    ~Command()
    {
        if (command_ == nullptr) {
            return;
        }
        if (pending_) {
            ct_cancel(nullptr, command_, CS_CANCEL_ALL);
        }
        if (ct_cmd_drop(command_) != CS_SUCCEED) {
            PaMsgLog(PaMSG_WARNING, "Failed to drop command structure.");
        }
    }
    CS_COMMAND **Slot() { return &command_; }
    CS_COMMAND *Get() const { return command_; }
    void SetPending(bool pending) { pending_ = pending; }

private:
    CS_COMMAND *command_ = nullptr;
    bool pending_        = false;
};

// Allocates a command on a connection that reads as open. Client-Libraries differ in whether
// the allocation itself fails on a dead connection, so the status is read first and a dead
// or unconnected one counts as a failed allocation.
CS_RETCODE AllocateCommand(PaConnection *handle, Command &command)
{
    CS_INT status = 0;
    if (!PaReadConnectionStatus(handle, &status) || (status & CS_CONSTAT_DEAD) != 0 ||
        (status & CS_CONSTAT_CONNECTED) == 0) {
        return CS_FAIL;
    }
    return ct_cmd_alloc(handle->connection, command.Slot());
}

void LogAllocationFailure(CS_RETCODE code)
{
    switch (code) {
    case CS_BUSY: PaMsgLog(PaMSG_DEBUG, "CS_BUSY returned from ct_cmd_alloc."); break;
    case CS_FAIL: PaMsgLog(PaMSG_DEBUG, "CS_FAIL returned from ct_cmd_alloc."); break;
    default: PaMsgLog(PaMSG_DEBUG, "%d returned from ct_cmd_alloc.", static_cast<int>(code)); break;
    }
}

void LogParameterFailure(const PaRpcParam &entry, const char *text, CS_INT length)
{
    if (IsText(entry.datatype)) {
        PaMsgLog(PaMSG_ERROR, "Failed to set parameter - %s. (Value=[%.300s...][%d])", entry.name, text,
                 static_cast<int>(length));
        if (std::strlen(text) >= static_cast<size_t>(kMaxValueBytes)) {
            PaMsgLog(PaMSG_ERROR,
                     "Parameter set failure was due to paramter exceeding the maximum size of %d. Please contact "
                     "support for assistance.",
                     static_cast<int>(kMaxValueBytes));
        }
    } else {
        CS_INT value = entry.datatype == CS_INT_TYPE ? entry.int_value
                       : entry.value != nullptr      ? *static_cast<const CS_SMALLINT *>(entry.value)
                                                     : 0;
        PaMsgLog(PaMSG_ERROR, "Failed to set parameter - %s. (Value=[%d][%d])", entry.name, static_cast<int>(value),
                 static_cast<int>(length));
    }
}

// Passes one parameter. A name too long for the format, a missing text, or a text longer than
// the protocol carries is refused here like a refusal of the Client-Library: nothing is sent.
bool PassParameter(CS_COMMAND *command, CS_DATAFMT &format, const PaRpcParam &entry)
{
    const void *value = entry.value;
    CS_INT length     = 0;
    CS_INT datatype   = entry.datatype;
    bool acceptable   = std::strlen(entry.name) < sizeof format.name;
    if (IsText(datatype)) {
        size_t size = value != nullptr ? std::strlen(static_cast<const char *>(value)) : 0;
        acceptable  = acceptable && value != nullptr && size <= pa::protocol::kMaxTextBytes;
        length      = value != nullptr ? static_cast<CS_INT>(std::min(size + 1, static_cast<size_t>(INT32_MAX))) : 0;
        // A plain text longer than its wire field would be cut without notice.
        if (datatype == CS_CHAR_TYPE && length > kShortTextBytes) {
            datatype = CS_LONGCHAR_TYPE;
        }
    } else if (datatype == CS_SMALLINT_TYPE) {
        length = sizeof(CS_SMALLINT);
    } else if (datatype == CS_INT_TYPE) {
        value  = &entry.int_value;
        length = sizeof(CS_INT);
    }
    if (acceptable) {
        std::memset(format.name, 0, sizeof format.name);
        std::memcpy(format.name, entry.name, std::strlen(entry.name));
        format.namelen   = static_cast<CS_INT>(std::strlen(entry.name));
        format.datatype  = datatype;
        format.status    = entry.status;
        format.maxlength = length;
        acceptable       = ct_param(command, &format, const_cast<void *>(value), length, 0) == CS_SUCCEED;
    }
    if (!acceptable) {
        LogParameterFailure(entry, IsText(entry.datatype) && value != nullptr ? static_cast<const char *>(value) : "",
                            length);
    }
    return acceptable;
}

// Initiates the RPC and passes every parameter; false when one is refused.
bool Initiate(CS_COMMAND *command, int32_t rpc, const PaRpcParam *params)
{
    // The table's names are literals, so their text is terminated.
    ct_command(command, CS_RPC_CMD, const_cast<char *>(Shape(rpc).name.data()), CS_NULLTERM, CS_UNUSED);
    CS_DATAFMT format{};
    format.maxlength = kMaxValueBytes;
    format.count     = 1;
    format.format    = CS_FMT_PADNULL;
    format.locale    = nullptr;
    for (const PaRpcParam *entry = params; entry != nullptr && entry->name != nullptr; ++entry) {
        if (!PassParameter(command, format, *entry)) {
            return false;
        }
    }
    return true;
}

// The columns of one result set, with a spare terminating byte after every text buffer.
class ColumnSet {
public:
    explicit ColumnSet(CS_INT count) : count_(count)
    {
        columns_ = static_cast<PaRpcColumn *>(PaMalloc(sizeof(PaRpcColumn) * static_cast<size_t>(count)));
        if (columns_ != nullptr) {
            std::memset(static_cast<void *>(columns_), 0, sizeof(PaRpcColumn) * static_cast<size_t>(count));
        }
    }
    ~ColumnSet()
    {
        if (columns_ == nullptr) {
            return;
        }
        for (CS_INT k = 0; k < count_; ++k) {
            if (columns_[k].text != nullptr) {
                PaFree(columns_[k].text);
            }
        }
        PaFree(columns_);
    }
    ColumnSet(const ColumnSet &)            = delete;
    ColumnSet &operator=(const ColumnSet &) = delete;

    bool Ok() const { return columns_ != nullptr; }
    PaRpcColumn *Columns() const { return columns_; }
    CS_INT Count() const { return count_; }

    // Describes and binds column k (from 1); text columns get a buffer as wide as the reply
    // describes them, up to the largest value the protocol carries.
    CS_RETCODE Bind(CS_COMMAND *command, CS_INT k)
    {
        PaRpcColumn &column = columns_[k - 1];
        CS_RETCODE code     = ct_describe(command, k, &column.format);
        if (code != CS_SUCCEED) {
            PaMsgLog(PaMSG_ERROR, "Failed to describe parameter.");
            return code;
        }
        void *target = nullptr;
        if (IsText(column.format.datatype)) {
            CS_INT size = std::clamp(column.format.maxlength, CS_INT{1}, kMaxValueBytes);
            column.text = static_cast<char *>(PaMalloc(static_cast<size_t>(size) + 1));
            if (column.text == nullptr) {
                return CS_FAIL;
            }
            std::memset(column.text, 0, static_cast<size_t>(size) + 1);
            column.format.maxlength = size;
            target                  = column.text;
        } else if (column.format.datatype == CS_INT_TYPE) {
            target = &column.int_value;
        }
        code = ct_bind(command, k, &column.format, target, &column.copied_length, &column.indicator);
        if (code != CS_SUCCEED) {
            PaMsgLog(PaMSG_ERROR, "Failed to bind to variable.");
        }
        return code;
    }

    // Clears every value so that one row never shows through the next.
    void Clear()
    {
        for (CS_INT k = 0; k < count_; ++k) {
            PaRpcColumn &column = columns_[k];
            if (column.text != nullptr) {
                std::memset(column.text, 0, static_cast<size_t>(column.format.maxlength) + 1);
            }
            column.int_value = 0;
        }
    }

    // Whether column k (from 1) exists and holds an integer.
    bool HasInt(CS_INT k) const { return k <= count_ && columns_[k - 1].format.datatype == CS_INT_TYPE; }

    // Whether the row has the columns of the layout, of their types.
    bool Fits(std::span<const pa::protocol::Field> layout) const
    {
        if (static_cast<size_t>(count_) < layout.size()) {
            return false;
        }
        for (size_t k = 0; k < layout.size(); ++k) {
            bool text    = columns_[k].text != nullptr;
            bool integer = columns_[k].format.datatype == CS_INT_TYPE;
            if (layout[k].type == pa::protocol::Type::kText ? !text : !integer) {
                return false;
            }
        }
        return true;
    }

private:
    PaRpcColumn *columns_ = nullptr;
    CS_INT count_;
};

void StoreInts(const ColumnSet &row, int32_t *target, CS_INT wanted)
{
    for (CS_INT k = 1; k <= wanted; ++k) {
        if (row.HasInt(k)) {
            target[k - 1] = row.Columns()[k - 1].int_value;
        }
    }
}

// State of one call shared by its send attempts.
struct Call {
    PaConnection *handle;
    int32_t rpc;
    const PaRpcParam *params;
    void *target;
    const pa::Operation &operation;
    Command command;
    int32_t retry       = 0;
    bool command_failed = false;
};

// Hands one row to its RPC's decoder; false when the RPC has none.
bool DispatchRow(Call &call, const ColumnSet &row, void **slot)
{
    const pa::protocol::RpcShape &shape = Shape(call.rpc);
    if (call.target == nullptr) {
        return false;
    }
    switch (shape.rows) {
    case Rows::kIntPair: StoreInts(row, static_cast<int32_t *>(call.target), 2); return true;
    case Rows::kOneInt: StoreInts(row, static_cast<int32_t *>(call.target), 1); return true;
    case Rows::kNone: return false;
    case Rows::kProcesses:
    case Rows::kServices:
    case Rows::kHosts:
    case Rows::kOutput:
    case Rows::kEvents:
    case Rows::kLogin:
    case Rows::kHealth:
    case Rows::kStats: break;
    }
    const auto *sink = static_cast<const PaRowTarget *>(call.target);
    sink->decoder->decode(row.Columns(), sink->list, slot);
    return true;
}

bool HasRecordRows(int32_t rpc)
{
    Rows rows = Shape(rpc).rows;
    return rows != Rows::kNone && rows != Rows::kIntPair && rows != Rows::kOneInt;
}

// Fetches one result set and dispatches its rows.
CS_RETCODE FetchRows(Call &call)
{
    CS_COMMAND *command = call.command.Get();
    CS_INT count        = 0;
    CS_RETCODE code     = ct_res_info(command, CS_NUMDATA, &count, sizeof count, nullptr);
    if (code != CS_SUCCEED) {
        PaMsgLog(PaMSG_ERROR, "ct_res_info() Failed to get parameter returns.");
        return code;
    }
    if (count <= 0) {
        PaMsgLog(PaMSG_DEBUG, "No Results to fetch.");
        return CS_SUCCEED;
    }
    ColumnSet row(count);
    if (!row.Ok()) {
        return CS_FAIL;
    }
    for (CS_INT k = 1; k <= count; ++k) {
        code = row.Bind(command, k);
        if (code != CS_SUCCEED) {
            return code;
        }
    }
    // Records are read only from rows of their own layout; any other layout refuses the list.
    if (HasRecordRows(call.rpc) && !row.Fits(Shape(call.rpc).columns)) {
        PaMsgLog(PaMSG_ERROR, "Unexpected row layout from RPC %d; the results are refused.",
                 static_cast<int>(call.rpc));
        return CS_FAIL;
    }
    bool undecoded   = false;
    void *slot       = nullptr;
    CS_INT rows_read = 0;
    for (;;) {
        code = ct_fetch(command, CS_UNUSED, CS_UNUSED, CS_UNUSED, &rows_read);
        if (code == CS_ROW_FAIL) {
            // A list missing a row would read as the agent's whole answer.
            PaMsgLog(PaMSG_ERROR, "A row from RPC %d could not be read whole; the results are refused.",
                     static_cast<int>(call.rpc));
            return CS_FAIL;
        }
        if (code == CS_END_DATA) {
            break;
        }
        if (code != CS_SUCCEED) {
            // The rows read so far are not the agent's whole answer.
            PaMsgLog(PaMSG_ERROR, "Reading the rows from RPC %d failed; the results are refused.",
                     static_cast<int>(call.rpc));
            return CS_FAIL;
        }
        undecoded = !DispatchRow(call, row, &slot) || undecoded;
        // Rows that keep coming would keep the call for ever.
        if (call.operation.Expired()) {
            return CS_FAIL;
        }
        row.Clear();
    }
    return undecoded ? CS_FAIL : CS_SUCCEED;
}

// Empties a list target with its kind's clean-up, so that a repeat never duplicates records.
void EmptyListTarget(const Call &call)
{
    if (call.target == nullptr || !HasRecordRows(call.rpc)) {
        return;
    }
    const auto *sink = static_cast<const PaRowTarget *>(call.target);
    while (void *element = PaListGetHead(sink->list)) {
        PaListDeleteElement(sink->list, element, sink->decoder->cleanup);
    }
}

// One send and the reading of its results; returns the code that ended the results.
CS_RETCODE SendAttempt(Call &call)
{
    call.command_failed = false;
    EmptyListTarget(call);
    CS_COMMAND *command = call.command.Get();
    if (ct_send(command) != CS_SUCCEED) {
        PaMsgLog(PaMSG_ERROR, "Failed to send RPC command to %s", call.handle->server_name);
        return CS_FAIL;
    }
    PaMsgLog(PaMSG_DEBUG, "Sent the PRC command. Now getting results.");
    call.command.SetPending(true);
    CS_INT type = 0;
    CS_RETCODE code;
    while ((code = ct_results(command, &type)) == CS_SUCCEED) {
        PaMsgLog(PaMSG_DEBUG, "Read results OK");
        switch (type) {
        case CS_ROW_RESULT:
        case CS_PARAM_RESULT:
            if (FetchRows(call) != CS_SUCCEED) {
                PaMsgLog(PaMSG_DEBUG, "Fetch row data failed");
                return CS_FAIL;
            }
            break;
        case CS_CMD_DONE:
        case CS_CMD_SUCCEED: call.retry = 0; break;
        case CS_CMD_FAIL:
            PaMsgLog(PaMSG_ERROR, "Command failed.");
            call.command_failed = true;
            if (ct_cancel(call.handle->connection, nullptr, CS_CANCEL_ALL) != CS_SUCCEED) {
                PaMsgLog(PaMSG_ERROR, "Failed to cancel the errored command.");
                return CS_FAIL;
            }
            call.retry =
                call.handle->retry_func != nullptr ? call.handle->retry_func(call.handle, call.handle->retry_data) : 0;
            break;
        default: break;
        }
        if (call.operation.Expired()) {
            return CS_FAIL;
        }
    }
    if (code == CS_END_RESULTS || code == CS_CANCELED) {
        call.command.SetPending(false);
    }
    return code;
}

int32_t Outcome(const Call &call, CS_RETCODE end)
{
    if (call.retry == 1) {
        return PaCONNECTION_LOST;
    }
    // A command the agent failed stays a failure even when its results end normally.
    if (end == CS_END_RESULTS && !call.command_failed) {
        PaMsgLog(PaMSG_DEBUG, "RPC Results successfully fetched.");
        return PaSUCCESS;
    }
    if (end == CS_CANCELED) {
        PaMsgLog(PaMSG_INFORMATION, "Sybase RPC Command cancelled.");
    } else if (end == CS_FAIL || end == CS_END_RESULTS) {
        PaMsgLog(PaMSG_WARNING, "Results retrieval failure.");
    } else {
        PaMsgLog(PaMSG_WARNING, "Results returned unexpected return value.");
    }
    return PaFAILURE;
}

}  // namespace

bool PaRpcParamSet(PaRpcParam *entry, const char *name, CS_INT datatype, CS_INT status, const void *value)
{
    entry->name      = PaStrDup(name);
    entry->datatype  = datatype;
    entry->status    = status;
    entry->value     = nullptr;
    entry->int_value = 0;
    if (datatype == CS_INT_TYPE) {
        entry->int_value = *static_cast<const CS_INT *>(value);
    } else {
        entry->value = value;
    }
    return entry->name != nullptr;
}

void PaRpcParamListFree(PaRpcParam *list)
{
    for (PaRpcParam *entry = list; entry != nullptr && entry->name != nullptr; ++entry) {
        PaFree(entry->name);
    }
}

int32_t PaRpcCall(PaConnection *handle, int32_t rpc, const PaRpcParam *params, void *target)
{
    if (handle == nullptr) {
        return PaFAILURE;
    }
    PaMsgLog(PaMSG_DEBUG, "Call to RPC %d made to connection %s.", static_cast<int>(rpc), handle->server_name);
    if (pa::protocol::Find(rpc) == nullptr) {
        return PaFAILURE;
    }
    pa::Operation operation(handle);
    PaBeginCall(handle);
    Call call{handle, rpc, params, target, operation, {}};
    CS_RETCODE code = AllocateCommand(handle, call.command);
    if (code != CS_SUCCEED) {
        if (PaReconnect(handle) != PaSUCCESS) {
            PaMsgLog(PaMSG_ERROR, "Failed to allocate command context and reconnect.");
            return PaCONNECTION_LOST;
        }
        code = AllocateCommand(handle, call.command);
        if (code != CS_SUCCEED) {
            PaMsgLog(PaMSG_ERROR, "Complete failure of connection %s.", handle->server_name);
            LogAllocationFailure(code);
            if (code == CS_BUSY) {
                handle->busy = 1;
            }
            return PaFAILURE;
        }
    }
    CS_RETCODE end = CS_FAIL;
    for (int sends = 0; sends < kMaxSends && (sends == 0 || call.retry == 1); ++sends) {
        // A cancel may have wiped the command: initiate it afresh for every send.
        if (!Initiate(call.command.Get(), rpc, params)) {
            return PaFAILURE;
        }
        end = SendAttempt(call);
    }
    int32_t result = Outcome(call, end);
    if (result != PaSUCCESS && (operation.TimedOut() || operation.Expired())) {
        // Cancelling would read the rest of a reply that may never end: the connection is closed
        // instead, unread, and the next call opens a new one.
        call.command.SetPending(false);
        ct_close(handle->connection, CS_FORCE_CLOSE);
        PaMsgLog(PaMSG_ERROR,
                 operation.Abandoned() ? "The call of RPC %d to %s was abandoned; the connection was closed."
                                       : "The reply to RPC %d from %s did not end in time; the connection was closed.",
                 static_cast<int>(rpc), handle->server_name);
        handle->last_client_msg_number = kPaTimedOutNumber;
        operation.SetTimedOut();
        return PaFAILURE;
    }
    // FreeTDS fails a read or write on a closed socket without a client message.
    if (result != PaSUCCESS && PaConnectionBroken(handle)) {
        PaRecordSilentFailure(handle, kPaBrokenConnectionNumber);
    }
    // An older agent refuses what it does not know; its text stays the last server message.
    if (result == PaFAILURE && handle->last_server_message.present &&
        handle->last_server_message.number == pa::protocol::kUnknownRpcMessage) {
        return PaNOT_SUPPORTED;
    }
    return result;
}

int32_t PaRpcCallReconnecting(PaConnection *handle, int32_t rpc, const PaRpcParam *params, void *target)
{
    if (handle == nullptr) {
        return PaFAILURE;
    }
    // The call, a reconnect and the send after it draw on one deadline.
    pa::Operation operation(handle);
    int32_t result = PaRpcCall(handle, rpc, params, target);
    // A call that only reads is sent again on a new connection when the old one broke under it:
    // it cannot have changed anything. Other calls fail, as the request may have run. A call
    // that ran out of time is not sent again, so that it stays within its bound.
    if (result == PaFAILURE && pa::protocol::ChangesNothing(Shape(rpc)) && PaConnectionBroken(handle) &&
        !operation.TimedOut()) {
        result = PaCONNECTION_LOST;
    }
    if (result != PaCONNECTION_LOST) {
        return result;
    }
    int32_t reconnected = PaReconnect(handle);
    return reconnected == PaSUCCESS ? PaRpcCall(handle, rpc, params, target) : reconnected;
}

int32_t PaRpcFetchList(PaConnection *handle, int32_t rpc, const PaRpcParam *params, const PaRowDecoder *decoder,
                       PaList **list)
{
    PaList *fetched = PaListCreate();
    if (fetched == nullptr) {
        return PaFAILURE;
    }
    PaRowTarget target{fetched, decoder};
    int32_t result = PaRpcCallReconnecting(handle, rpc, params, &target);
    if (result != PaSUCCESS) {
        PaListDestroy(fetched, decoder->cleanup);
        return result;
    }
    *list = fetched;
    return PaSUCCESS;
}

namespace pa {

RpcParams::RpcParams(size_t capacity) : capacity_(capacity)
{
    entries_ = static_cast<PaRpcParam *>(PaMalloc(sizeof(PaRpcParam) * (capacity + 1)));
    ok_      = entries_ != nullptr;
    if (ok_) {
        entries_[0] = PaRpcParam{};
    }
}

RpcParams::~RpcParams()
{
    if (entries_ != nullptr) {
        PaRpcParamListFree(entries_);
        PaFree(entries_);
    }
}

RpcParams &RpcParams::Int(const protocol::Field &field, int32_t value)
{
    if (field.type != protocol::Type::kInt) {
        ok_ = false;
        return *this;
    }
    return Int(field.name.data(), value);
}

RpcParams &RpcParams::Text(const protocol::Field &field, const char *value)
{
    if (field.type != protocol::Type::kText) {
        ok_ = false;
        return *this;
    }
    return Text(field.name.data(), value);
}

RpcParams &RpcParams::Int(const char *name, int32_t value)
{
    CS_INT number = value;
    return Add(name, CS_INT_TYPE, &number);
}

RpcParams &RpcParams::Text(const char *name, const char *value) { return Add(name, CS_CHAR_TYPE, value); }

RpcParams &RpcParams::Add(const char *name, CS_INT datatype, const void *value)
{
    if (!ok_ || count_ == capacity_) {
        ok_ = false;
        return *this;
    }
    ok_ = PaRpcParamSet(&entries_[count_], name, datatype, CS_INPUTVALUE, value);
    if (ok_) {
        ++count_;
    }
    entries_[count_] = PaRpcParam{};
    return *this;
}

int32_t FetchProcessRows(PaConnection *handle, int32_t rpc, const char *name, const char *host,
                         const PaRowDecoder *decoder, PaList **list)
{
    if (list != nullptr) {
        *list = nullptr;
    }
    if (handle == nullptr || list == nullptr) {
        return PaFAILURE;
    }
    RpcParams params(2);
    params.Text(Leading(rpc, 0), OrNoValue(name)).Text(Leading(rpc, 1), OrNoValue(host));
    return params.Ok() ? PaRpcFetchList(handle, rpc, params.List(), decoder, list) : PaFAILURE;
}

}  // namespace pa
