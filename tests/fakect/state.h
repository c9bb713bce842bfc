// The stand-in's internals: the Client-Library objects it hands out and the state shared by its calls.
#ifndef AGENTCLIENT_TESTS_FAKECT_STATE_H
#define AGENTCLIENT_TESTS_FAKECT_STATE_H

#include "fakect.h"

#include <deque>
#include <map>
#include <memory>

// The opaque types of cstypes.h. Objects are kept until Reset, so a dropped one is recognised.
struct _cs_context {
    bool dropped = false;
    std::map<CS_INT, CS_VOID *> callbacks;
};

struct _cs_connection {
    CS_CONTEXT *context;
    bool dropped             = false;
    CS_INT status            = 0;         // CS_CONSTAT_* bits
    bool resultsPending      = false;     // a reply is unfinished: another send fails with 20019
    CS_COMMAND *pendingOwner = nullptr;   // the command reading it; null once that was dropped
    std::map<CS_INT, std::string> texts;  // text properties and CS_USERDATA
    std::map<CS_INT, CS_INT> ints;
    std::map<CS_INT, CS_VOID *> callbacks;
    std::vector<CS_COMMAND *> commands;

    void EndReply()
    {
        resultsPending = false;
        pendingOwner   = nullptr;
    }
};

namespace fakect {

// One answer of ct_results: a result type (with its result set, if fetchable) or a final code.
struct Step {
    CS_RETCODE code = CS_SUCCEED;
    CS_INT type     = 0;
    std::optional<ResultSet> set;
    bool killsConnection = false;
    bool silently        = false;  // no client message when it kills the connection
};

struct Binding {
    CS_INT datatype;
    CS_INT maxlength;
    CS_INT format;
    CS_VOID *buffer;
    CS_INT *copied;
    CS_SMALLINT *indicator;
};

}  // namespace fakect

struct _cs_command {
    enum class State {
        Idle,
        Ready,
        Sent
    };
    CS_CONNECTION *connection;
    bool dropped = false;
    State state  = State::Idle;
    std::string rpc;
    std::vector<fakect::SentParam> params;
    std::deque<fakect::Step> steps;  // what ct_results still has to answer
    bool cancelPending = false;      // the next ct_results or ct_send answers CS_CANCELED
    std::optional<fakect::ResultSet> current;
    std::size_t nextRow = 0;
    std::vector<fakect::Binding> bindings;
};

namespace fakect {

struct State {
    std::vector<std::unique_ptr<_cs_context>> contexts;
    std::vector<std::unique_ptr<_cs_connection>> connections;
    std::vector<std::unique_ptr<_cs_command>> commands;
    std::map<std::string, std::deque<Reply>, std::less<>> scripts;
    std::deque<Injection> injections;
    std::vector<Call> calls;
    std::vector<SentRpc> sent;
    std::vector<Delivery> deliveries;
    std::vector<ChallengeCall> challenges;
};

State &state();

// Ends the test program: a call the real library would crash on or silently misuse.
[[noreturn]] void Abort(std::string_view call, std::string_view what);

// The live object behind a handle; aborts for a dropped or unknown one.
_cs_context &Use(CS_CONTEXT *context, std::string_view call);
_cs_connection &Use(CS_CONNECTION *connection, std::string_view call);
_cs_command &Use(CS_COMMAND *command, std::string_view call);

// Records one call in the log when made; the result (and, for readers, the text) when it returns.
class Logged {
public:
    Logged(std::string_view name, std::string text);
    CS_RETCODE operator()(CS_RETCODE result);
    void Amend(std::string text);

private:
    std::size_t index_;
};

// Applies the first injection that affects this call: raises its messages and returns its code.
std::optional<CS_RETCODE> Intercept(std::string_view call, CS_INT key, CS_INT action, CS_CONNECTION *connection,
                                    CS_CONTEXT *context = nullptr);

// Delivers a message to the connection's callback, else its context's (or the given context's).
CS_RETCODE Deliver(const CS_CLIENTMSG &message, CS_CONNECTION *connection, CS_CONTEXT *context = nullptr);
CS_RETCODE Deliver(const CS_SERVERMSG &message, CS_CONNECTION *connection, CS_CONTEXT *context = nullptr);

// What ct_results answers, in order, for the next scripted reply to this RPC.
std::deque<Step> NextReply(const std::string &rpc);

}  // namespace fakect

#endif
