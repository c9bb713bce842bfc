// The test-facing side: scripting, injections, messages and what the calls recorded.
#include "state.h"

#include <algorithm>

namespace fakect {

namespace {

// Copies text into a fixed record field, cut to fit with its terminator; returns the length kept.
template <std::size_t Size>
CS_INT Fill(CS_CHAR (&field)[Size], std::string_view text)
{
    std::size_t length = std::min(text.size(), Size - 1);
    text.copy(field, length);
    field[length] = '\0';
    return static_cast<CS_INT>(length);
}

}  // namespace

CS_CLIENTMSG ClientMessage(CS_MSGNUM number, CS_INT severity, std::string_view text, std::string_view osText)
{
    CS_CLIENTMSG message{};
    message.msgnumber    = number;
    message.severity     = severity;
    message.msgstringlen = Fill(message.msgstring, text);
    message.osstringlen  = Fill(message.osstring, osText);
    return message;
}

CS_SERVERMSG ServerMessage(CS_MSGNUM number, CS_INT severity, CS_INT state, std::string_view text,
                           std::string_view server, std::string_view proc, CS_INT line)
{
    CS_SERVERMSG message{};
    message.msgnumber = number;
    message.severity  = severity;
    message.state     = state;
    message.textlen   = Fill(message.text, text);
    message.svrnlen   = Fill(message.svrname, server);
    message.proclen   = Fill(message.proc, proc);
    message.line      = line;
    return message;
}

bool Injection::Matches(std::string_view call, CS_INT key, CS_INT action) const
{
    return call == call_ && (!key_ || *key_ == key) && (!action_ || *action_ == action);
}

bool Injection::Hit()
{
    ++seen_;
    return seen_ >= first_ && (count_ < 0 || seen_ < first_ + count_);
}

void Agent::Reset()
{
    state()   = State{};
    behaviour = Behaviour{};
    challenge = Challenge{};
}

void Agent::Script(const std::string &rpc, Reply reply) { state().scripts[rpc].push_back(std::move(reply)); }

Injection &Agent::On(std::string call) { return state().injections.emplace_back(std::move(call)); }

CS_RETCODE Agent::Raise(const CS_CLIENTMSG &message, CS_CONNECTION *connection, CS_CONTEXT *context)
{
    if (connection)
        Use(connection, "Raise");
    return Deliver(message, connection, context);
}

CS_RETCODE Agent::Raise(const CS_SERVERMSG &message, CS_CONNECTION *connection, CS_CONTEXT *context)
{
    if (connection)
        Use(connection, "Raise");
    return Deliver(message, connection, context);
}

namespace {

template <typename Object>
Object *LastLive(const std::vector<std::unique_ptr<Object>> &objects)
{
    auto live = std::find_if(objects.rbegin(), objects.rend(), [](const auto &object) { return !object->dropped; });
    return live == objects.rend() ? nullptr : live->get();
}

}  // namespace

CS_CONTEXT *Agent::LastContext() const { return LastLive(state().contexts); }

CS_CONNECTION *Agent::LastConnection() const { return LastLive(state().connections); }

void Agent::SetStatus(CS_CONNECTION *connection, CS_INT status) { Use(connection, "SetStatus").status = status; }

CS_INT Agent::Status(CS_CONNECTION *connection) const { return Use(connection, "Status").status; }

std::optional<std::string> Agent::Property(CS_CONNECTION *connection, CS_INT property) const
{
    const auto &texts = Use(connection, "Property").texts;
    auto found        = texts.find(property);
    return found == texts.end() ? std::nullopt : std::optional(found->second);
}

std::optional<CS_INT> Agent::IntProperty(CS_CONNECTION *connection, CS_INT property) const
{
    const auto &ints = Use(connection, "IntProperty").ints;
    auto found       = ints.find(property);
    return found == ints.end() ? std::nullopt : std::optional(found->second);
}

const std::vector<Call> &Agent::Calls() const { return state().calls; }

std::vector<std::string> Agent::Log(std::initializer_list<std::string_view> names) const
{
    std::vector<std::string> texts;
    for (const Call &call : state().calls) {
        if (names.size() == 0 || std::find(names.begin(), names.end(), call.name) != names.end()) {
            texts.push_back(call.text);
        }
    }
    return texts;
}

void Agent::ClearLog() { state().calls.clear(); }

const std::vector<SentRpc> &Agent::Sent() const { return state().sent; }

int Agent::SendCount(std::string_view rpc) const
{
    return static_cast<int>(
        std::count_if(state().sent.begin(), state().sent.end(), [&](const SentRpc &sent) { return sent.name == rpc; }));
}

const std::vector<Delivery> &Agent::Deliveries() const { return state().deliveries; }

const std::vector<ChallengeCall> &Agent::Challenges() const { return state().challenges; }

namespace {

template <typename Object>
void ReportLive(const std::vector<std::unique_ptr<Object>> &objects, std::string_view kind,
                std::vector<std::string> &leaks)
{
    for (std::size_t i = 0; i < objects.size(); ++i) {
        if (!objects[i]->dropped)
            leaks.push_back(std::string(kind) + " #" + std::to_string(i + 1) + " not dropped");
    }
}

}  // namespace

std::vector<std::string> Agent::Leaks() const
{
    std::vector<std::string> leaks;
    ReportLive(state().contexts, "context", leaks);
    ReportLive(state().connections, "connection", leaks);
    ReportLive(state().commands, "command", leaks);
    return leaks;
}

Agent &agent()
{
    static Agent instance;
    return instance;
}

}  // namespace fakect
