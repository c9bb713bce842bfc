// A scripted stand-in for FreeTDS's Client-Library (ct-lib), for what a real agent cannot
// produce: malformed rows, failures injected into any call, messages raised at will and connection
// state bits.
//
// Link a test with the `fakect` library instead of -lct: every ct_*/cs_* call the agent client
// makes is answered here, with FreeTDS's signatures, constants and behaviour. Call
// agent().Reset() before each test.
#ifndef AGENTCLIENT_TESTS_FAKECT_H
#define AGENTCLIENT_TESTS_FAKECT_H

#include <ctpublic.h>

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace fakect {

// One value of a scripted row: NULL, an integer or a text.
using Value = std::variant<std::monostate, CS_INT, std::string>;
inline constexpr std::monostate kNull{};
using Row = std::vector<Value>;

struct Column {
    CS_INT datatype  = CS_CHAR_TYPE;  // CS_CHAR_TYPE, CS_LONGCHAR_TYPE, CS_INT_TYPE or CS_SMALLINT_TYPE
    CS_INT maxlength = 0;
};

struct ResultSet {
    std::vector<Column> columns{};
    std::vector<Row> rows{};
};

enum class Outcome {
    kSucceed,          // ... CS_STATUS_RESULT, CS_CMD_SUCCEED, CS_CMD_DONE, CS_END_RESULTS
    kCommandFails,     // ... CS_STATUS_RESULT, CS_CMD_FAIL, CS_CMD_DONE, CS_END_RESULTS
    kConnectionClosed  // after the result sets ct_results fails and the connection is dead, without a message
};

// The agent's answer to one RPC: row result sets, each followed by CS_CMD_DONE, then the outcome.
struct Reply {
    std::vector<ResultSet> results{};
    Outcome outcome = Outcome::kSucceed;
};

CS_CLIENTMSG ClientMessage(CS_MSGNUM number, CS_INT severity, const std::string &text);
CS_SERVERMSG ServerMessage(CS_MSGNUM number, CS_INT severity, const std::string &text);

// What the next call of one name does before (or instead of) its work.
struct Injection {
    std::string call;
    std::optional<CS_RETCODE> code{};  // the call does nothing else and returns this
    std::optional<CS_CLIENTMSG> raises{};
    std::optional<CS_SERVERMSG> raises_server{};
    // The call stands for a wait on a silent agent, as FreeTDS makes it: after each slice it
    // raises `raises` again, for as long as the client-message handler answers CS_SUCCEED.
    std::optional<std::chrono::milliseconds> slice{};
};

struct SentParam {
    std::string name;
    CS_INT datatype;
    std::optional<std::string> value;  // the value's bytes; none for a null data pointer
};

struct SentRpc {
    std::string name;
    std::vector<SentParam> params;
};

class Agent {
public:
    // Forgets everything: objects, scripts, injections, records.
    void Reset();
    // Appends to the replies of an RPC; they are used in order and the last one repeats.
    void Script(const std::string &rpc, Reply reply);
    void On(Injection injection);
    // Raises a message now, on the connection's context's callback.
    CS_RETCODE Raise(const CS_CLIENTMSG &message, CS_CONNECTION *connection);
    void SetStatus(CS_CONNECTION *connection, CS_INT status);
    const std::vector<SentRpc> &Sent() const;
    int SendCount(const std::string &rpc) const;
    // How many contexts, connections and commands are not dropped.
    std::size_t Undropped() const;
};

Agent &Scripted();

}  // namespace fakect

#endif
