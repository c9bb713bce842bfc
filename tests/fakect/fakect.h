// A scripted stand-in for FreeTDS's Client-Library (ct-lib), for what a real agent cannot
// produce: malformed rows, failures injected into any call, messages raised at will and connection
// state bits.
//
// Link a test with the `fakect` library instead of -lct: every ct_*/cs_* call the agent client
// makes is answered here, with FreeTDS's signatures, constants and behaviour (the vendor's where
// asked). Call agent().Reset() before each test. `ct_debug`, which FreeTDS lacks, is defined here
// and exported from the test executable, as the library looks it up with dlsym.
#ifndef AGENTCLIENT_TESTS_FAKECT_H
#define AGENTCLIENT_TESTS_FAKECT_H

#include <ctpublic.h>

#include <cstddef>
#include <optional>
#include <string>
#include <variant>
#include <vector>

extern "C" CS_RETCODE ct_debug(CS_CONTEXT *context, CS_CONNECTION *connection, CS_INT operation, CS_INT flag,
                               CS_CHAR *filename, CS_INT filenamelen);

namespace fakect {

// One value of a scripted row: NULL, an integer or a text.
using Value = std::variant<std::monostate, CS_INT, std::string>;
inline constexpr std::monostate Null{};
using Row = std::vector<Value>;

struct Column {
    std::string name{};
    CS_INT datatype  = CS_CHAR_TYPE;  // CS_CHAR_TYPE, CS_LONGCHAR_TYPE, CS_INT_TYPE or CS_SMALLINT_TYPE
    CS_INT maxlength = 0;
};

struct ResultSet {
    CS_INT type = CS_ROW_RESULT;  // or CS_PARAM_RESULT
    std::vector<Column> columns{};
    std::vector<Row> rows{};
    std::optional<std::size_t> failingRow{};  // this row (0-based) fetches as CS_ROW_FAIL
};

enum class Outcome {
    Succeed,          // ... CS_STATUS_RESULT, CS_CMD_SUCCEED, CS_CMD_DONE, then endCode
    CommandFails,     // ... CS_STATUS_RESULT, CS_CMD_FAIL, CS_CMD_DONE, then endCode
    ConnectionClosed  // after the result sets ct_results fails and the connection is dead, without a message
};

// The agent's answer to one RPC. Row result sets come first, each followed by CS_CMD_DONE; then
// the return status, then parameter result sets, then the outcome.
struct Reply {
    std::vector<ResultSet> results{};
    std::optional<CS_INT> returnStatus = 0;  // no CS_STATUS_RESULT when empty
    Outcome outcome                    = Outcome::Succeed;
    CS_RETCODE endCode                 = CS_END_RESULTS;  // what the last ct_results returns
};

CS_CLIENTMSG ClientMessage(CS_MSGNUM number, CS_INT severity, const std::string &text);
CS_SERVERMSG ServerMessage(CS_MSGNUM number, CS_INT severity, CS_INT state, const std::string &text,
                           const std::string &server = {});

inline constexpr CS_INT kAny = -999999;

// What the calls of one name do instead of (or before) their work.
struct Injection {
    std::string call;
    CS_INT key    = kAny;                  // only about this property, callback type, item, cancel type or close option
    CS_INT action = kAny;                  // only CS_SET or CS_GET
    std::optional<CS_RETCODE> code{};      // the call does nothing else and returns this
    std::optional<CS_CLIENTMSG> raises{};  // raised inside the call, before it acts
    std::optional<CS_SERVERMSG> raisesServer{};
    int times = 1;  // how many matching calls are affected; negative: all
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
    // Forgets everything: objects, scripts, injections, records, behaviour.
    void Reset();
    // Appends to the replies of an RPC; they are used in order and the last one repeats.
    void Script(const std::string &rpc, Reply reply);
    void On(Injection injection);
    // The vendor's Client-Library: ct_cmd_alloc fails on a connection that is dead or not
    // connected, and ct_cancel keeps the command (a re-send repeats the RPC and parameters).
    bool vendor = false;

    // Raises a message now, on the connection's callback or else its context's.
    CS_RETCODE Raise(const CS_CLIENTMSG &message, CS_CONNECTION *connection);
    CS_RETCODE Raise(const CS_SERVERMSG &message, CS_CONNECTION *connection);

    void SetStatus(CS_CONNECTION *connection, CS_INT status);
    const std::vector<SentRpc> &Sent() const;
    int SendCount(const std::string &rpc) const;
    // One line per context, connection or command not dropped.
    std::vector<std::string> Leaks() const;
};

Agent &agent();

}  // namespace fakect

#endif
