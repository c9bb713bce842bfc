// A scripted stand-in for FreeTDS's Client-Library (ct-lib), for unit tests.
//
// Link a test with the `fakect` library instead of -lct: every ct_*/cs_* call the agent client
// makes is answered here, with FreeTDS's signatures, constants and (by default) behaviour. A test
// scripts the agent's replies per RPC name, injects failures into any call, raises client and
// server messages through the installed callbacks, drives the secure-login challenge, and reads
// back a log of every call. Call agent().Reset() before each test.
//
// `ct_debug`, which FreeTDS lacks, is defined here and exported from the test executable (the
// library looks it up with dlsym); `fakect` adds the linker option for that to its users.
#ifndef AGENTCLIENT_TESTS_FAKECT_H
#define AGENTCLIENT_TESTS_FAKECT_H

#include <ctpublic.h>

#include <cstddef>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

extern "C" CS_RETCODE ct_debug(CS_CONTEXT *context, CS_CONNECTION *connection, CS_INT operation, CS_INT flag,
                               CS_CHAR *filename, CS_INT filenamelen);

namespace fakect {

// The negotiation callback installed as CS_CHALLENGE_CB, with the eight arguments it is called with.
using ChallengeFunc = CS_RETCODE (*)(CS_CONNECTION *connection, CS_INT receivedId, CS_INT *sendId,
                                     CS_DATAFMT *inputFormat, CS_BYTE *input, CS_DATAFMT *outputFormat, CS_BYTE *output,
                                     CS_INT *outputLength);

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
    ConnectionDies,   // after the result sets ct_results fails (client message 20017), the connection is dead
    ConnectionClosed  // the same without a client message, as FreeTDS reads a socket the agent closed
};

// The agent's answer to one RPC. Row result sets come first, each followed by CS_CMD_DONE; then
// the return status, then parameter result sets, then the outcome.
struct Reply {
    std::vector<ResultSet> results{};
    std::optional<CS_INT> returnStatus = 0;  // no CS_STATUS_RESULT when empty
    Outcome outcome                    = Outcome::Succeed;
    CS_RETCODE endCode                 = CS_END_RESULTS;  // what the last ct_results returns
};

// Message records with their lengths filled in.
CS_CLIENTMSG ClientMessage(CS_MSGNUM number, CS_INT severity, std::string_view text, std::string_view osText = {});
CS_SERVERMSG ServerMessage(CS_MSGNUM number, CS_INT severity, CS_INT state, std::string_view text,
                           std::string_view server = {}, std::string_view proc = {}, CS_INT line = 0);

// What a call named in Agent::On does instead of (or before) its normal work.
class Injection {
public:
    explicit Injection(std::string call) : call_(std::move(call)) {}
    // The call does nothing else and returns code.
    Injection &Returns(CS_RETCODE code)
    {
        code_ = code;
        return *this;
    }
    // Raised inside the call, before it acts.
    Injection &Raises(const CS_CLIENTMSG &message)
    {
        clientMessages_.push_back(message);
        return *this;
    }
    Injection &Raises(const CS_SERVERMSG &message)
    {
        serverMessages_.push_back(message);
        return *this;
    }
    // Only calls about this property (ct_con_props, ct_config), callback type (ct_callback),
    // information type (ct_res_info), item (ct_describe, ct_bind), cancel type, close or exit option.
    Injection &OnlyFor(CS_INT key)
    {
        key_ = key;
        return *this;
    }
    Injection &OnlyAction(CS_INT action)
    {
        action_ = action;
        return *this;
    }  // CS_SET or CS_GET
    // The n-th matching call from now (1-based) is the first affected.
    Injection &FromCall(int n)
    {
        first_ = n;
        return *this;
    }
    Injection &Times(int n)
    {
        count_ = n;
        return *this;
    }  // how many calls are affected (default 1)
    Injection &Always()
    {
        count_ = -1;
        return *this;
    }  // every call from the first on

    // Used by the stand-in: counts a matching call and tells whether it is affected.
    bool Matches(std::string_view call, CS_INT key, CS_INT action) const;
    bool Hit();
    const std::optional<CS_RETCODE> &code() const { return code_; }
    const std::vector<CS_CLIENTMSG> &clientMessages() const { return clientMessages_; }
    const std::vector<CS_SERVERMSG> &serverMessages() const { return serverMessages_; }

private:
    std::string call_;
    std::optional<CS_INT> key_;
    std::optional<CS_INT> action_;
    int first_ = 1;
    int count_ = 1;  // negative: unbounded
    int seen_  = 0;
    std::optional<CS_RETCODE> code_;
    std::vector<CS_CLIENTMSG> clientMessages_;
    std::vector<CS_SERVERMSG> serverMessages_;
};

// Switches away from FreeTDS 1.3 behaviour.
struct Behaviour {
    // The vendor's Client-Library: ct_cmd_alloc fails with deadConnectionCode on a connection that is
    // dead or not connected, and ct_cancel keeps the command (a re-send repeats the RPC and parameters).
    bool vendor                   = false;
    CS_RETCODE deadConnectionCode = CS_FAIL;
    // false: like FreeTDS 1.3, ct_callback(CS_SET, CS_CHALLENGE_CB) succeeds but stores nothing.
    bool challengeCallbackStored = true;
};

// What ct_connect hands the challenge callback.
struct Challenge {
    CS_INT messageId  = 1;
    std::string input = "challenge";
    CS_INT outputSize = 512;
};

struct ChallengeCall {
    CS_RETCODE result;
    CS_INT sendId;
    std::string output;  // the bytes the callback reported in its output length
};

struct Call {
    std::string name;  // "ct_send"
    std::string text;  // "ct_send()"
    CS_RETCODE result;
};

struct SentParam {
    std::string name;
    CS_INT datatype;
    CS_INT status;
    CS_INT maxlength;
    CS_INT format;
    std::optional<std::string> value;  // the value's bytes; empty for a null data pointer
    CS_INT datalen;
    CS_SMALLINT indicator;
};

struct SentRpc {
    std::string name;
    std::vector<SentParam> params;
};

struct Delivery {
    bool client;  // client message, else server message
    CS_MSGNUM number;
    bool delivered;  // a callback was installed and called
    CS_RETCODE result;
};

class Agent {
public:
    // Forgets everything: objects, scripts, injections, records, behaviour.
    void Reset();

    // Appends to the replies of an RPC; they are used in order and the last one repeats.
    void Script(const std::string &rpc, Reply reply);
    // Injects into every later call with this name (see Injection).
    Injection &On(std::string call);

    Behaviour behaviour;
    Challenge challenge;

    // Raises a message now, on the connection's callback or else its context's; with no
    // connection, on the context given or else the most recent live one. Returns the callback's result.
    CS_RETCODE Raise(const CS_CLIENTMSG &message, CS_CONNECTION *connection, CS_CONTEXT *context = nullptr);
    CS_RETCODE Raise(const CS_SERVERMSG &message, CS_CONNECTION *connection, CS_CONTEXT *context = nullptr);

    // The most recently allocated context or connection that is still live, or null.
    CS_CONTEXT *LastContext() const;
    CS_CONNECTION *LastConnection() const;
    void SetStatus(CS_CONNECTION *connection, CS_INT status);
    CS_INT Status(CS_CONNECTION *connection) const;
    // The bytes set for a text property or CS_USERDATA, or the value of an integer property.
    std::optional<std::string> Property(CS_CONNECTION *connection, CS_INT property) const;
    std::optional<CS_INT> IntProperty(CS_CONNECTION *connection, CS_INT property) const;

    const std::vector<Call> &Calls() const;
    // The text of every call, or of the calls with these names, in order.
    std::vector<std::string> Log(std::initializer_list<std::string_view> names = {}) const;
    void ClearLog();

    const std::vector<SentRpc> &Sent() const;
    int SendCount(std::string_view rpc) const;
    const std::vector<Delivery> &Deliveries() const;
    const std::vector<ChallengeCall> &Challenges() const;

    // One line per context, connection or command not dropped.
    std::vector<std::string> Leaks() const;
};

Agent &agent();

}  // namespace fakect

#endif
