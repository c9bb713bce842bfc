// A FreeTDS ct-lib client for the tests: connect, call an RPC, record everything the client sees.
#ifndef PAAGENT_TESTS_CTLIB_CLIENT_H
#define PAAGENT_TESTS_CTLIB_CLIENT_H

#include <ctpublic.h>

#include <string>
#include <utility>
#include <vector>

namespace paagent::tds::testing {

struct CtParam {
    std::string name;
    CS_INT datatype = CS_INT_TYPE;
    CS_INT number   = 0;
    CS_FLOAT real   = 0;
    std::string text;  // sent with its terminating NUL counted, as the client library does
    bool null = false;

    static CtParam integer(std::string name, CS_INT value)
    {
        return {std::move(name), CS_INT_TYPE, value, 0, {}, false};
    }
    static CtParam smallint(std::string name, CS_SMALLINT value)
    {
        return {std::move(name), CS_SMALLINT_TYPE, value, 0, {}, false};
    }
    static CtParam floating(std::string name, CS_FLOAT value)
    {
        return {std::move(name), CS_FLOAT_TYPE, 0, value, {}, false};
    }
    static CtParam chars(std::string name, std::string value)
    {
        return {std::move(name), CS_CHAR_TYPE, 0, 0, std::move(value), false};
    }
    static CtParam longchars(std::string name, std::string value)
    {
        return {std::move(name), CS_LONGCHAR_TYPE, 0, 0, std::move(value), false};
    }
    static CtParam null_chars(std::string name) { return {std::move(name), CS_CHAR_TYPE, 0, 0, {}, true}; }
};

struct SeenMessage {
    CS_INT number;
    CS_INT severity;
    CS_INT state;
    CS_INT line;
    std::string text;
    std::string server;
    std::string procedure;
};

struct SeenColumn {
    std::string name;
    CS_INT datatype;
    CS_INT maxlength;
    CS_INT status;
};

inline const std::string kNull = "<null>";

struct RpcOutcome {
    CS_RETCODE sent = CS_FAIL;
    std::vector<CS_INT> result_types;            // every type ct_results reported, in order
    CS_RETCODE last = CS_FAIL;                   // what ended the ct_results loop (CS_END_RESULTS when complete)
    std::vector<SeenColumn> columns;             // of the last row result
    std::vector<std::vector<std::string>> rows;  // values as text, kNull for NULL
    std::vector<CS_INT> statuses;                // fetched return statuses

    bool has(CS_INT type) const;
};

class CtClient {
public:
    CtClient();
    ~CtClient();
    CtClient(const CtClient &)            = delete;
    CtClient &operator=(const CtClient &) = delete;

    // Forces TDS 5.0 unless `force_tds50` is false (then the configured version, "auto" on Debian, applies).
    CS_RETCODE connect(const std::string &server, const std::string &user, const std::string &password,
                       CS_INT packet_size = 0, bool force_tds50 = true);
    CS_RETCODE close();

    // Sends the RPC and reads its results; with `max_rows` >= 0 stops after that many rows,
    // leaving the rest of the reply unread.
    RpcOutcome call(const std::string &rpc, const std::vector<CtParam> &params, int max_rows = -1);
    CS_RETCODE send(const std::string &rpc, const std::vector<CtParam> &params);
    RpcOutcome language(const std::string &text);
    RpcOutcome read_results(int max_rows = -1);

    CS_CONNECTION *connection() const { return connection_; }

    std::vector<SeenMessage> server_messages;
    std::vector<CS_INT> client_messages;

private:
    static CS_RETCODE on_server_message(CS_CONTEXT *, CS_CONNECTION *connection, CS_SERVERMSG *message);
    static CS_RETCODE on_client_message(CS_CONTEXT *, CS_CONNECTION *connection, CS_CLIENTMSG *message);
    static CtClient *owner(CS_CONNECTION *connection);
    CS_RETCODE new_command(CS_INT type, const std::string &text);
    bool fetch_rows(RpcOutcome &outcome, int max_rows);
    void fetch_status(RpcOutcome &outcome);

    CS_CONTEXT *context_       = nullptr;
    CS_CONNECTION *connection_ = nullptr;
    CS_COMMAND *command_       = nullptr;
};

}  // namespace paagent::tds::testing

#endif  // PAAGENT_TESTS_CTLIB_CLIENT_H
