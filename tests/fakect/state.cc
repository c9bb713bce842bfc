#include "state.h"

#include <cstdio>
#include <cstdlib>

namespace fakect {

State &state()
{
    static State instance;
    return instance;
}

void Abort(std::string_view call, std::string_view what)
{
    std::fprintf(stderr, "fakect: %.*s: %.*s\n", static_cast<int>(call.size()), call.data(),
                 static_cast<int>(what.size()), what.data());
    std::abort();
}

namespace {

template <typename Object>
Object &Find(const std::vector<std::unique_ptr<Object>> &objects, const Object *handle, std::string_view kind,
             std::string_view call)
{
    for (const auto &object : objects) {
        if (object.get() != handle)
            continue;
        if (object->dropped)
            Abort(call, std::string(kind) + " used after it was dropped");
        return *object;
    }
    Abort(call, handle ? "unknown " + std::string(kind) : "NULL " + std::string(kind) + " (FreeTDS crashes here)");
}

}  // namespace

_cs_context &Use(CS_CONTEXT *context, std::string_view call)
{
    return Find(state().contexts, context, "context", call);
}

_cs_connection &Use(CS_CONNECTION *connection, std::string_view call)
{
    _cs_connection &found = Find(state().connections, connection, "connection", call);
    if (found.context->dropped)
        Abort(call, "connection used after its context was dropped");
    return found;
}

_cs_command &Use(CS_COMMAND *command, std::string_view call)
{
    return Find(state().commands, command, "command", call);
}

Logged::Logged(std::string_view name, std::string text) : index_(state().calls.size())
{
    state().calls.push_back(Call{std::string(name), std::move(text), CS_SUCCEED});
}

CS_RETCODE Logged::operator()(CS_RETCODE result)
{
    state().calls[index_].result = result;
    return result;
}

void Logged::Amend(std::string text) { state().calls[index_].text = std::move(text); }

std::optional<CS_RETCODE> Intercept(std::string_view call, CS_INT key, CS_INT action, CS_CONNECTION *connection,
                                    CS_CONTEXT *context)
{
    Injection *affecting = nullptr;
    for (Injection &injection : state().injections) {
        if (injection.Matches(call, key, action) && injection.Hit() && !affecting)
            affecting = &injection;
    }
    if (!affecting)
        return std::nullopt;
    for (const CS_CLIENTMSG &message : affecting->clientMessages())
        Deliver(message, connection, context);
    for (const CS_SERVERMSG &message : affecting->serverMessages())
        Deliver(message, connection, context);
    return affecting->code();
}

namespace {

template <typename Message, typename Func>
CS_RETCODE DeliverTo(CS_INT type, const Message &message, CS_CONNECTION *connection, CS_CONTEXT *context)
{
    CS_CONTEXT *owner = connection ? connection->context : context ? context : agent().LastContext();
    if (!owner)
        Abort("Raise", "no context to deliver a message to");
    CS_VOID *callback = nullptr;
    if (connection && connection->callbacks.contains(type))
        callback = connection->callbacks[type];
    else if (owner->callbacks.contains(type))
        callback = owner->callbacks[type];
    Delivery delivery{type == CS_CLIENTMSG_CB, message.msgnumber, callback != nullptr, CS_SUCCEED};
    if (callback) {
        Message record  = message;
        delivery.result = reinterpret_cast<Func>(callback)(owner, connection, &record);
    }
    state().deliveries.push_back(delivery);
    return delivery.result;
}

}  // namespace

CS_RETCODE Deliver(const CS_CLIENTMSG &message, CS_CONNECTION *connection, CS_CONTEXT *context)
{
    return DeliverTo<CS_CLIENTMSG, CS_CLIENTMSG_FUNC>(CS_CLIENTMSG_CB, message, connection, context);
}

CS_RETCODE Deliver(const CS_SERVERMSG &message, CS_CONNECTION *connection, CS_CONTEXT *context)
{
    return DeliverTo<CS_SERVERMSG, CS_SERVERMSG_FUNC>(CS_SERVERMSG_CB, message, connection, context);
}

namespace {

Step Announce(CS_INT type) { return Step{CS_SUCCEED, type, std::nullopt, false}; }

Step Announce(const ResultSet &set) { return Step{CS_SUCCEED, set.type, set, false}; }

// FreeTDS hands the return status over as a fetchable one-column result set.
ResultSet StatusSet(CS_INT status)
{
    return ResultSet{CS_STATUS_RESULT, {Column{"", CS_INT_TYPE, 4}}, {Row{status}}, std::nullopt};
}

std::deque<Step> StepsOf(const Reply &reply)
{
    std::deque<Step> steps;
    for (const ResultSet &set : reply.results) {
        if (set.type == CS_PARAM_RESULT)
            continue;
        steps.push_back(Announce(set));
        steps.push_back(Announce(CS_CMD_DONE));
    }
    if (reply.outcome == Outcome::ConnectionDies || reply.outcome == Outcome::ConnectionClosed) {
        steps.push_back(Step{CS_FAIL, 0, std::nullopt, true, reply.outcome == Outcome::ConnectionClosed});
        return steps;
    }
    if (reply.returnStatus)
        steps.push_back(Announce(StatusSet(*reply.returnStatus)));
    for (const ResultSet &set : reply.results) {
        if (set.type == CS_PARAM_RESULT)
            steps.push_back(Announce(set));
    }
    steps.push_back(Announce(reply.outcome == Outcome::CommandFails ? CS_CMD_FAIL : CS_CMD_SUCCEED));
    steps.push_back(Announce(CS_CMD_DONE));
    steps.push_back(Step{reply.endCode, 0, std::nullopt, false});
    return steps;
}

}  // namespace

std::deque<Step> NextReply(const std::string &rpc)
{
    auto scripted = state().scripts.find(rpc);
    if (scripted == state().scripts.end())
        return StepsOf(Reply{});
    std::deque<Reply> &replies = scripted->second;
    std::deque<Step> steps     = StepsOf(replies.front());
    if (replies.size() > 1)
        replies.pop_front();
    return steps;
}

}  // namespace fakect
