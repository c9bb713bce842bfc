#include "tests/ctlib_client.h"

#include <cstring>
#include <stdexcept>

namespace paagent::tds::testing {
namespace {
// Bounds every wait of the client: a missing server answer becomes a time-out message, which
// the client-message callback answers with CS_FAIL so the connection is dropped instead of waiting again.
CS_INT kTimeoutSeconds = 10;
}  // namespace

CtClient::CtClient()
{
    CtClient *self = this;
    if (cs_ctx_alloc(CS_VERSION_100, &context_) != CS_SUCCEED || ct_init(context_, CS_VERSION_100) != CS_SUCCEED ||
        ct_config(context_, CS_SET, CS_TIMEOUT, &kTimeoutSeconds, CS_UNUSED, nullptr) != CS_SUCCEED ||
        ct_config(context_, CS_SET, CS_LOGIN_TIMEOUT, &kTimeoutSeconds, CS_UNUSED, nullptr) != CS_SUCCEED ||
        ct_callback(context_, nullptr, CS_SET, CS_SERVERMSG_CB, reinterpret_cast<CS_VOID *>(&on_server_message)) !=
            CS_SUCCEED ||
        ct_callback(context_, nullptr, CS_SET, CS_CLIENTMSG_CB, reinterpret_cast<CS_VOID *>(&on_client_message)) !=
            CS_SUCCEED ||
        ct_con_alloc(context_, &connection_) != CS_SUCCEED ||
        ct_con_props(connection_, CS_SET, CS_USERDATA, &self, sizeof self, nullptr) != CS_SUCCEED) {
        throw std::runtime_error("ct-lib set-up failed");
    }
}

CtClient::~CtClient()
{
    ct_cmd_drop(command_);
    ct_con_drop(connection_);
    ct_exit(context_, CS_FORCE_EXIT);
    cs_ctx_drop(context_);
}

CS_RETCODE CtClient::on_server_message(CS_CONTEXT *, CS_CONNECTION *connection, CS_SERVERMSG *message)
{
    CtClient *self = nullptr;
    CS_INT length  = 0;
    if (ct_con_props(connection, CS_GET, CS_USERDATA, &self, sizeof self, &length) == CS_SUCCEED && self != nullptr)
        self->server_messages.push_back({message->msgnumber, std::string(message->text, message->textlen)});
    return CS_SUCCEED;
}

CS_RETCODE CtClient::on_client_message(CS_CONTEXT *, CS_CONNECTION *, CS_CLIENTMSG *) { return CS_FAIL; }

CS_RETCODE CtClient::connect(const std::string &server, const std::string &user, const std::string &password)
{
    CS_INT version = CS_TDS_50;
    ct_con_props(connection_, CS_SET, CS_USERNAME, const_cast<char *>(user.c_str()), CS_NULLTERM, nullptr);
    ct_con_props(connection_, CS_SET, CS_PASSWORD, const_cast<char *>(password.c_str()), CS_NULLTERM, nullptr);
    ct_con_props(connection_, CS_SET, CS_APPNAME, const_cast<char *>("tds-tests"), CS_NULLTERM, nullptr);
    ct_con_props(connection_, CS_SET, CS_TDS_VERSION, &version, CS_UNUSED, nullptr);
    return ct_connect(connection_, const_cast<char *>(server.c_str()), CS_NULLTERM);
}

CS_RETCODE CtClient::close() { return ct_close(connection_, CS_UNUSED); }

RpcOutcome CtClient::call(const std::string &rpc, const std::vector<std::pair<std::string, std::string>> &texts)
{
    RpcOutcome outcome;
    ct_cmd_drop(command_);
    command_ = nullptr;
    if (ct_cmd_alloc(connection_, &command_) != CS_SUCCEED ||
        ct_command(command_, CS_RPC_CMD, const_cast<char *>(rpc.c_str()), CS_NULLTERM, CS_UNUSED) != CS_SUCCEED)
        return outcome;
    for (const auto &[name, text] : texts) {
        CS_DATAFMT format{};
        std::strncpy(format.name, name.c_str(), sizeof format.name - 1);
        format.namelen   = static_cast<CS_INT>(name.size());
        format.datatype  = CS_CHAR_TYPE;
        format.status    = CS_INPUTVALUE;
        format.maxlength = static_cast<CS_INT>(text.size() + 1);
        if (ct_param(command_, &format, const_cast<char *>(text.c_str()), format.maxlength, 0) != CS_SUCCEED)
            return outcome;
    }
    if (ct_send(command_) != CS_SUCCEED)
        return outcome;
    CS_INT type = 0;
    while ((outcome.last = ct_results(command_, &type)) == CS_SUCCEED) {
        outcome.succeeded |= type == CS_CMD_SUCCEED;
        outcome.failed |= type == CS_CMD_FAIL;
        if (type == CS_ROW_RESULT || type == CS_STATUS_RESULT)
            ct_cancel(nullptr, command_, CS_CANCEL_CURRENT);
    }
    return outcome;
}

}  // namespace paagent::tds::testing
