// A FreeTDS ct-lib client for the tests: connect, call an RPC, record the server's messages.
#ifndef PAAGENT_TESTS_CTLIB_CLIENT_H
#define PAAGENT_TESTS_CTLIB_CLIENT_H

#include <ctpublic.h>

#include <string>
#include <utility>
#include <vector>

namespace paagent::tds::testing {

struct SeenMessage {
    CS_INT number;
    std::string text;
};

// How an RPC ended: whether the server reported success or failure, and what ended the
// ct_results loop (CS_END_RESULTS when the reply was complete, CS_FAIL when the connection broke).
struct RpcOutcome {
    bool succeeded  = false;
    bool failed     = false;
    CS_RETCODE last = CS_FAIL;
};

class CtClient {
public:
    CtClient();
    ~CtClient();
    CtClient(const CtClient &)            = delete;
    CtClient &operator=(const CtClient &) = delete;

    // Always TDS 5.0, as the library asks for.
    CS_RETCODE connect(const std::string &server, const std::string &user, const std::string &password);
    CS_RETCODE close();

    // Sends the RPC with text parameters and reads its results, rows skipped.
    RpcOutcome call(const std::string &rpc, const std::vector<std::pair<std::string, std::string>> &texts = {});

    std::vector<SeenMessage> server_messages;

private:
    static CS_RETCODE on_server_message(CS_CONTEXT *, CS_CONNECTION *connection, CS_SERVERMSG *message);
    static CS_RETCODE on_client_message(CS_CONTEXT *, CS_CONNECTION *, CS_CLIENTMSG *);

    CS_CONTEXT *context_       = nullptr;
    CS_CONNECTION *connection_ = nullptr;
    CS_COMMAND *command_       = nullptr;
};

}  // namespace paagent::tds::testing

#endif  // PAAGENT_TESTS_CTLIB_CLIENT_H
