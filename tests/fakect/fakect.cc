#include "fakect.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <thread>
#include <type_traits>

namespace fakect {
namespace {

// One answer of ct_results: a result type (with its result set, if fetchable) or a final code.
struct Step {
    CS_RETCODE code = CS_SUCCEED;
    CS_INT type     = 0;
    std::optional<ResultSet> set{};
    bool closes_connection = false;
};

struct Binding {
    CS_INT datatype;
    CS_INT maxlength;
    CS_VOID *buffer;
    CS_INT *copied;
    CS_SMALLINT *indicator;
};

}  // namespace
}  // namespace fakect

// The opaque types of cstypes.h. Objects are kept until Reset, so a dropped one is recognised.
struct _cs_context {
    bool dropped = false;
    std::map<CS_INT, CS_VOID *> callbacks;
};

struct _cs_connection {
    CS_CONTEXT *context;
    bool dropped         = false;
    CS_INT status        = 0;      // CS_CONSTAT_* bits
    bool results_pending = false;  // a reply is unfinished: another send fails with 20019
    std::string userdata{};
    std::vector<CS_COMMAND *> commands{};
};

struct _cs_command {
    enum class State {
        kIdle,
        kReady,
        kSent
    };
    CS_CONNECTION *connection;
    bool dropped = false;
    State state  = State::kIdle;
    std::string rpc{};
    std::vector<fakect::SentParam> params{};
    std::deque<fakect::Step> steps{};  // what ct_results still has to answer
    bool cancel_pending = false;       // the next ct_results answers CS_CANCELED
    std::optional<fakect::ResultSet> current{};
    std::size_t next_row = 0;
    std::vector<fakect::Binding> bindings{};
};

namespace fakect {
namespace {

struct State {
    std::vector<std::unique_ptr<_cs_context>> contexts;
    std::vector<std::unique_ptr<_cs_connection>> connections;
    std::vector<std::unique_ptr<_cs_command>> commands;
    std::map<std::string, std::deque<Reply>, std::less<>> scripts;
    std::vector<Injection> injections;
    std::vector<SentRpc> sent;
};

State &Shared()
{
    static State instance;
    return instance;
}

// Ends the test program on a call the real library would crash on or silently misuse.
template <typename Object>
Object &Use(const std::vector<std::unique_ptr<Object>> &objects, const Object *handle, const char *call)
{
    auto found =
        std::find_if(objects.begin(), objects.end(), [&](const auto &object) { return object.get() == handle; });
    if (found == objects.end() || (*found)->dropped) {
        std::fprintf(stderr, "fakect: %s: a NULL, unknown or dropped object\n", call);
        std::abort();
    }
    return **found;
}

_cs_context &Use(CS_CONTEXT *context, const char *call) { return Use(Shared().contexts, context, call); }
_cs_command &Use(CS_COMMAND *command, const char *call) { return Use(Shared().commands, command, call); }
_cs_connection &Use(CS_CONNECTION *connection, const char *call)
{
    _cs_connection &found = Use(Shared().connections, connection, call);
    Use(found.context, call);
    return found;
}

// The library's message callbacks are its context's.
template <typename Message>
CS_RETCODE Deliver(const Message &message, CS_CONNECTION *connection)
{
    constexpr bool kClient = std::is_same_v<Message, CS_CLIENTMSG>;
    using Func             = std::conditional_t<kClient, CS_CLIENTMSG_FUNC, CS_SERVERMSG_FUNC>;
    CS_CONTEXT *owner      = connection->context;
    auto found             = owner->callbacks.find(kClient ? CS_CLIENTMSG_CB : CS_SERVERMSG_CB);
    Message record         = message;
    return found != owner->callbacks.end() ? reinterpret_cast<Func>(found->second)(owner, connection, &record)
                                           : CS_SUCCEED;
}

// Applies and forgets the first injection for this call: raises its messages and returns its code.
std::optional<CS_RETCODE> Intercept(const char *call, CS_CONNECTION *connection)
{
    auto &injections = Shared().injections;
    auto found = std::find_if(injections.begin(), injections.end(), [&](const auto &i) { return i.call == call; });
    if (found == injections.end()) {
        return std::nullopt;
    }
    Injection injection = *found;
    injections.erase(found);
    if (injection.raises && injection.slice) {
        do {
            std::this_thread::sleep_for(*injection.slice);
        } while (Deliver(*injection.raises, connection) == CS_SUCCEED);
    } else if (injection.raises) {
        Deliver(*injection.raises, connection);
    }
    if (injection.raises_server) {
        Deliver(*injection.raises_server, connection);
    }
    return injection.code;
}

std::string TextOf(const CS_VOID *buffer, CS_INT length)
{
    const char *text = static_cast<const char *>(buffer);
    return length == CS_NULLTERM ? std::string(text) : std::string(text, static_cast<std::size_t>(std::max(length, 0)));
}

// FreeTDS hands the return status over as a result set of its own, which the library skips.
std::deque<Step> StepsOf(const Reply &reply)
{
    std::deque<Step> steps;
    for (const ResultSet &set : reply.results) {
        steps.push_back(Step{.type = CS_ROW_RESULT, .set = set});
        steps.push_back(Step{.type = CS_CMD_DONE});
    }
    if (reply.outcome == Outcome::kConnectionClosed) {
        steps.push_back(Step{.code = CS_FAIL, .closes_connection = true});
        return steps;
    }
    steps.push_back(Step{.type = CS_STATUS_RESULT});
    steps.push_back(Step{.type = reply.outcome == Outcome::kCommandFails ? CS_CMD_FAIL : CS_CMD_SUCCEED});
    steps.push_back(Step{.type = CS_CMD_DONE});
    steps.push_back(Step{.code = CS_END_RESULTS});
    return steps;
}

std::deque<Step> NextReply(const std::string &rpc)
{
    auto scripted = Shared().scripts.find(rpc);
    if (scripted == Shared().scripts.end()) {
        return StepsOf(Reply{});
    }
    std::deque<Reply> &replies = scripted->second;
    std::deque<Step> steps     = StepsOf(replies.front());
    if (replies.size() > 1) {
        replies.pop_front();
    }
    return steps;
}

template <typename Object>
std::size_t Live(const std::vector<std::unique_ptr<Object>> &objects)
{
    return static_cast<std::size_t>(
        std::count_if(objects.begin(), objects.end(), [](const auto &object) { return !object->dropped; }));
}

}  // namespace

CS_CLIENTMSG ClientMessage(CS_MSGNUM number, CS_INT severity, const std::string &text)
{
    CS_CLIENTMSG message{};
    message.msgnumber    = number;
    message.severity     = severity;
    message.msgstringlen = static_cast<CS_INT>(text.copy(message.msgstring, sizeof message.msgstring - 1));
    return message;
}

CS_SERVERMSG ServerMessage(CS_MSGNUM number, CS_INT severity, const std::string &text)
{
    CS_SERVERMSG message{};
    message.msgnumber = number;
    message.severity  = severity;
    message.textlen   = static_cast<CS_INT>(text.copy(message.text, sizeof message.text - 1));
    return message;
}

void Agent::Reset() { Shared() = State{}; }

void Agent::Script(const std::string &rpc, Reply reply) { Shared().scripts[rpc].push_back(std::move(reply)); }

void Agent::On(Injection injection) { Shared().injections.push_back(std::move(injection)); }

CS_RETCODE Agent::Raise(const CS_CLIENTMSG &message, CS_CONNECTION *connection)
{
    return Deliver(message, &Use(connection, "Raise"));
}

void Agent::SetStatus(CS_CONNECTION *connection, CS_INT status) { Use(connection, "SetStatus").status = status; }

const std::vector<SentRpc> &Agent::Sent() const { return Shared().sent; }

int Agent::SendCount(const std::string &rpc) const
{
    return static_cast<int>(std::count_if(Shared().sent.begin(), Shared().sent.end(),
                                          [&](const SentRpc &sent) { return sent.name == rpc; }));
}

std::size_t Agent::Undropped() const
{
    return Live(Shared().contexts) + Live(Shared().connections) + Live(Shared().commands);
}

Agent &Scripted()
{
    static Agent instance;
    return instance;
}

}  // namespace fakect

// The Client-Library's calls, in FreeTDS's manner.
using namespace fakect;

CS_RETCODE cs_ctx_alloc(CS_INT, CS_CONTEXT **context)
{
    *context = Shared().contexts.emplace_back(std::make_unique<_cs_context>()).get();
    return CS_SUCCEED;
}

CS_RETCODE cs_ctx_drop(CS_CONTEXT *context)
{
    if (context != nullptr) {
        Use(context, "cs_ctx_drop").dropped = true;
    }
    return CS_SUCCEED;
}

CS_RETCODE ct_init(CS_CONTEXT *context, CS_INT)
{
    Use(context, "ct_init");
    return CS_SUCCEED;
}

// Like FreeTDS: connections stay open.
CS_RETCODE ct_exit(CS_CONTEXT *context, CS_INT)
{
    if (context != nullptr) {
        Use(context, "ct_exit");
    }
    return CS_SUCCEED;
}

// The message callbacks of a context.
CS_RETCODE ct_callback(CS_CONTEXT *context, CS_CONNECTION *, CS_INT, CS_INT type, CS_VOID *func)
{
    Use(context, "ct_callback").callbacks[type] = func;
    return CS_SUCCEED;
}

// Like FreeTDS: the settings are accepted and have no effect.
CS_RETCODE ct_config(CS_CONTEXT *context, CS_INT, CS_INT, CS_VOID *, CS_INT, CS_INT *)
{
    Use(context, "ct_config");
    return CS_SUCCEED;
}

CS_RETCODE ct_con_alloc(CS_CONTEXT *context, CS_CONNECTION **connection)
{
    Use(context, "ct_con_alloc");
    *connection = Shared().connections.emplace_back(std::make_unique<_cs_connection>(_cs_connection{context})).get();
    return CS_SUCCEED;
}

CS_RETCODE ct_con_drop(CS_CONNECTION *connection)
{
    if (connection == nullptr) {
        return CS_SUCCEED;
    }
    _cs_connection &dropping = Use(connection, "ct_con_drop");
    dropping.dropped         = true;
    return CS_SUCCEED;
}

// Only the status and the user data are read back; other settings have no effect.
CS_RETCODE ct_con_props(CS_CONNECTION *connection, CS_INT action, CS_INT property, CS_VOID *buffer, CS_INT buflen,
                        CS_INT *outlen)
{
    _cs_connection &target = Use(connection, "ct_con_props");
    if (auto injected = Intercept("ct_con_props", connection)) {
        return *injected;
    }
    if (action == CS_SET && property == CS_USERDATA) {
        target.userdata = TextOf(buffer, buflen);
    } else if (action == CS_GET && property == CS_USERDATA) {
        target.userdata.copy(static_cast<char *>(buffer), static_cast<std::size_t>(std::max(buflen, 0)));
        *outlen = static_cast<CS_INT>(target.userdata.size());
    } else if (action == CS_GET && property == CS_CON_STATUS) {
        std::memcpy(buffer, &target.status, sizeof(CS_INT));
    }
    return CS_SUCCEED;
}

CS_RETCODE ct_connect(CS_CONNECTION *connection, CS_CHAR *, CS_INT)
{
    _cs_connection &target = Use(connection, "ct_connect");
    if (auto injected = Intercept("ct_connect", connection)) {
        return *injected;
    }
    target.status = CS_CONSTAT_CONNECTED;
    return CS_SUCCEED;
}

// Like FreeTDS: the option is ignored and the connection goes at once.
CS_RETCODE ct_close(CS_CONNECTION *connection, CS_INT)
{
    _cs_connection &target = Use(connection, "ct_close");
    if (auto injected = Intercept("ct_close", connection)) {
        return *injected;
    }
    target.status          = 0;
    target.results_pending = false;
    return CS_SUCCEED;
}

CS_RETCODE ct_cmd_alloc(CS_CONNECTION *connection, CS_COMMAND **command)
{
    _cs_connection &owner = Use(connection, "ct_cmd_alloc");
    *command = Shared().commands.emplace_back(std::make_unique<_cs_command>(_cs_command{connection})).get();
    owner.commands.push_back(*command);
    return CS_SUCCEED;
}

// Like FreeTDS, an unfinished reply keeps the connection busy after the drop.
CS_RETCODE ct_cmd_drop(CS_COMMAND *command)
{
    if (command == nullptr) {
        return CS_SUCCEED;
    }
    _cs_command &dropping = Use(command, "ct_cmd_drop");
    std::erase(dropping.connection->commands, command);
    dropping.dropped = true;
    return CS_SUCCEED;
}

CS_RETCODE ct_command(CS_COMMAND *command, CS_INT, const CS_VOID *buffer, CS_INT buflen, CS_INT)
{
    _cs_command &target = Use(command, "ct_command");
    target.rpc          = TextOf(buffer, buflen);
    target.params.clear();
    target.state = _cs_command::State::kReady;
    return CS_SUCCEED;
}

CS_RETCODE ct_param(CS_COMMAND *command, CS_DATAFMT *datafmt, CS_VOID *data, CS_INT datalen, CS_SMALLINT)
{
    _cs_command &target = Use(command, "ct_param");
    if (target.state == _cs_command::State::kIdle) {
        return CS_FAIL;
    }
    CS_INT size = datafmt->datatype == CS_INT_TYPE ? 4 : datafmt->datatype == CS_SMALLINT_TYPE ? 2 : datalen;
    target.params.push_back(SentParam{TextOf(datafmt->name, datafmt->namelen), datafmt->datatype,
                                      data != nullptr ? std::optional(TextOf(data, size)) : std::nullopt});
    return CS_SUCCEED;
}

CS_RETCODE ct_send(CS_COMMAND *command)
{
    _cs_command &target       = Use(command, "ct_send");
    CS_CONNECTION *connection = target.connection;
    if (connection->status != CS_CONSTAT_CONNECTED) {
        return CS_FAIL;
    }
    if (connection->results_pending) {
        Deliver(ClientMessage(20019, 7, "Attempt to initiate a new Adaptive Server operation with results pending"),
                connection);
        return CS_FAIL;
    }
    Shared().sent.push_back(SentRpc{target.rpc, target.params});
    target.steps = NextReply(target.rpc);
    target.current.reset();
    target.state                = _cs_command::State::kSent;
    connection->results_pending = true;
    return CS_SUCCEED;
}

namespace {

// Like FreeTDS: a cancel forgets the RPC and its parameters.
void Cancel(_cs_command &command)
{
    if (command.state == _cs_command::State::kSent) {
        command.steps.clear();
        command.current.reset();
        command.cancel_pending              = true;
        command.connection->results_pending = false;
    }
    command.rpc.clear();
    command.params.clear();
    command.state = _cs_command::State::kIdle;
}

}  // namespace

// Only CS_CANCEL_ALL, on a connection or on one command.
CS_RETCODE ct_cancel(CS_CONNECTION *connection, CS_COMMAND *command, CS_INT type)
{
    CS_CONNECTION *concerned = command != nullptr ? Use(command, "ct_cancel").connection : connection;
    if (connection != nullptr) {
        Use(connection, "ct_cancel");
    }
    if (auto injected = Intercept("ct_cancel", concerned)) {
        return *injected;
    }
    if ((connection == nullptr) == (command == nullptr) || type != CS_CANCEL_ALL) {
        return CS_FAIL;
    }
    if (command != nullptr) {
        Cancel(*command);
        return CS_SUCCEED;
    }
    for (CS_COMMAND *each : connection->commands) {
        Cancel(*each);
    }
    return CS_SUCCEED;
}

CS_RETCODE ct_results(CS_COMMAND *command, CS_INT *result_type)
{
    _cs_command &target = Use(command, "ct_results");
    if (auto injected = Intercept("ct_results", target.connection)) {
        return *injected;
    }
    if (target.cancel_pending) {
        target.cancel_pending = false;
        return CS_CANCELED;
    }
    CS_CONNECTION *connection = target.connection;
    if (connection->status != CS_CONSTAT_CONNECTED || target.steps.empty()) {
        return CS_FAIL;
    }
    Step step = std::move(target.steps.front());
    target.steps.pop_front();
    target.current  = std::move(step.set);
    target.next_row = 0;
    target.bindings.clear();
    if (step.closes_connection) {
        connection->status          = CS_CONSTAT_DEAD;
        connection->results_pending = false;
    } else if (step.code != CS_SUCCEED) {
        target.state                = _cs_command::State::kReady;  // FreeTDS lets a finished RPC be sent again
        connection->results_pending = false;
    } else {
        *result_type = step.type;
    }
    return step.code;
}

CS_RETCODE ct_res_info(CS_COMMAND *command, CS_INT, CS_VOID *buffer, CS_INT, CS_INT *)
{
    _cs_command &target = Use(command, "ct_res_info");
    CS_INT columns      = target.current ? static_cast<CS_INT>(target.current->columns.size()) : 0;
    std::memcpy(buffer, &columns, sizeof columns);
    return CS_SUCCEED;
}

CS_RETCODE ct_describe(CS_COMMAND *command, CS_INT item, CS_DATAFMT *datafmt)
{
    _cs_command &target  = Use(command, "ct_describe");
    const Column &column = target.current->columns.at(static_cast<std::size_t>(item - 1));
    *datafmt             = CS_DATAFMT{};
    datafmt->datatype    = column.datatype;
    datafmt->maxlength   = column.maxlength;
    datafmt->count       = 1;
    return CS_SUCCEED;
}

CS_RETCODE ct_bind(CS_COMMAND *command, CS_INT item, CS_DATAFMT *datafmt, CS_VOID *buffer, CS_INT *copied,
                   CS_SMALLINT *indicator)
{
    _cs_command &target = Use(command, "ct_bind");
    target.bindings.resize(std::max(target.bindings.size(), static_cast<std::size_t>(item)));
    target.bindings.at(static_cast<std::size_t>(item - 1)) =
        Binding{datafmt->datatype, datafmt->maxlength, buffer, copied, indicator};
    return CS_SUCCEED;
}

namespace {

bool IsText(CS_INT datatype) { return datatype == CS_CHAR_TYPE || datatype == CS_LONGCHAR_TYPE; }

// FreeTDS's character conversion, for the library's unformatted binding: as much as fits,
// failing when the value does not fit.
bool CopyText(const Binding &binding, const std::string &text, CS_INT &copied)
{
    auto room = static_cast<std::size_t>(std::max(binding.maxlength, 0));
    copied    = static_cast<CS_INT>(text.copy(static_cast<char *>(binding.buffer), room));
    return text.size() <= room;
}

// Converts one value into its bound buffer (a text or an integer one); false when it cannot.
bool Store(const Binding &binding, const Value &value, CS_INT &copied, CS_SMALLINT &indicator)
{
    copied    = 0;
    indicator = std::holds_alternative<std::monostate>(value) ? -1 : 0;
    if (binding.buffer == nullptr || indicator != 0) {
        return true;
    }
    if (const std::string *text = std::get_if<std::string>(&value)) {
        return IsText(binding.datatype) && CopyText(binding, *text, copied);
    }
    CS_INT number = std::get<CS_INT>(value);
    if (IsText(binding.datatype)) {
        return CopyText(binding, std::to_string(number), copied);
    }
    std::memcpy(binding.buffer, &number, copied = sizeof number);
    return true;
}

}  // namespace

CS_RETCODE ct_fetch(CS_COMMAND *command, CS_INT, CS_INT, CS_INT, CS_INT *rows_read)
{
    _cs_command &target = Use(command, "ct_fetch");
    *rows_read          = 0;
    if (auto injected = Intercept("ct_fetch", target.connection)) {
        return *injected;
    }
    if (target.next_row >= target.current->rows.size()) {
        return CS_END_DATA;
    }
    const Row &row = target.current->rows[target.next_row++];
    bool converted = true;
    for (std::size_t column = 0; column < target.bindings.size() && column < row.size(); ++column) {
        const Binding &binding = target.bindings[column];
        converted              = Store(binding, row[column], *binding.copied, *binding.indicator) && converted;
    }
    *rows_read = 1;
    return converted ? CS_SUCCEED : CS_ROW_FAIL;
}
