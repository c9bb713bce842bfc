#include "tests/ctlib_client.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace paagent::tds::testing {

bool RpcOutcome::has(CS_INT type) const
{
    return std::find(result_types.begin(), result_types.end(), type) != result_types.end();
}

namespace {
// Bounds every wait of the client: a missing server answer becomes time-out message 20003, which
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

CtClient *CtClient::owner(CS_CONNECTION *connection)
{
    CtClient *self = nullptr;
    CS_INT length  = 0;
    if (connection == nullptr ||
        ct_con_props(connection, CS_GET, CS_USERDATA, &self, sizeof self, &length) != CS_SUCCEED ||
        length != sizeof self) {
        return nullptr;
    }
    return self;
}

CS_RETCODE CtClient::on_server_message(CS_CONTEXT *, CS_CONNECTION *connection, CS_SERVERMSG *m)
{
    if (CtClient *self = owner(connection)) {
        self->server_messages.push_back({m->msgnumber, m->severity, m->state, m->line, std::string(m->text, m->textlen),
                                         std::string(m->svrname, m->svrnlen), std::string(m->proc, m->proclen)});
    }
    return CS_SUCCEED;
}

CS_RETCODE CtClient::on_client_message(CS_CONTEXT *, CS_CONNECTION *connection, CS_CLIENTMSG *message)
{
    if (CtClient *self = owner(connection)) {
        self->client_messages.push_back(message->msgnumber);
    }
    return CS_FAIL;
}

CS_RETCODE CtClient::connect(const std::string &server, const std::string &user, const std::string &password,
                             CS_INT packet_size, bool force_tds50)
{
    CS_INT version = CS_TDS_50;
    ct_con_props(connection_, CS_SET, CS_USERNAME, const_cast<char *>(user.c_str()), CS_NULLTERM, nullptr);
    ct_con_props(connection_, CS_SET, CS_PASSWORD, const_cast<char *>(password.c_str()), CS_NULLTERM, nullptr);
    ct_con_props(connection_, CS_SET, CS_APPNAME, const_cast<char *>("tds-tests"), CS_NULLTERM, nullptr);
    if (force_tds50) {
        ct_con_props(connection_, CS_SET, CS_TDS_VERSION, &version, CS_UNUSED, nullptr);
    }
    if (packet_size > 0) {
        ct_con_props(connection_, CS_SET, CS_PACKETSIZE, &packet_size, CS_UNUSED, nullptr);
    }
    return ct_connect(connection_, const_cast<char *>(server.c_str()), CS_NULLTERM);
}

CS_RETCODE CtClient::close() { return ct_close(connection_, CS_UNUSED); }

CS_RETCODE CtClient::new_command(CS_INT type, const std::string &text)
{
    ct_cmd_drop(command_);
    command_ = nullptr;
    if (ct_cmd_alloc(connection_, &command_) != CS_SUCCEED) {
        return CS_FAIL;
    }
    return ct_command(command_, type, const_cast<char *>(text.c_str()), CS_NULLTERM, CS_UNUSED);
}

RpcOutcome CtClient::language(const std::string &text)
{
    if (new_command(CS_LANG_CMD, text) != CS_SUCCEED || ct_send(command_) != CS_SUCCEED) {
        return RpcOutcome{};
    }
    return read_results();
}

CS_RETCODE CtClient::send(const std::string &rpc, const std::vector<CtParam> &params)
{
    if (new_command(CS_RPC_CMD, rpc) != CS_SUCCEED) {
        return CS_FAIL;
    }
    for (const CtParam &param : params) {
        CS_DATAFMT format{};
        std::strncpy(format.name, param.name.c_str(), sizeof format.name - 1);
        format.namelen    = static_cast<CS_INT>(param.name.size());
        format.datatype   = param.datatype;
        format.status     = CS_INPUTVALUE;
        CS_SMALLINT small = static_cast<CS_SMALLINT>(param.number);
        const void *data  = &param.number;
        CS_INT length     = sizeof(CS_INT);
        if (param.datatype == CS_SMALLINT_TYPE) {
            data   = &small;
            length = sizeof small;
        } else if (param.datatype == CS_FLOAT_TYPE) {
            data   = &param.real;
            length = sizeof param.real;
        } else if (param.datatype == CS_CHAR_TYPE || param.datatype == CS_LONGCHAR_TYPE) {
            data   = param.text.c_str();
            length = static_cast<CS_INT>(param.text.size() + 1);
        }
        CS_SMALLINT indicator = param.null ? -1 : 0;
        if (param.null) {
            data   = nullptr;
            length = 0;
        }
        format.maxlength = std::max<CS_INT>(length, 1);
        if (ct_param(command_, &format, const_cast<void *>(data), length, indicator) != CS_SUCCEED) {
            return CS_FAIL;
        }
    }
    return ct_send(command_);
}

RpcOutcome CtClient::call(const std::string &rpc, const std::vector<CtParam> &params, int max_rows)
{
    if (CS_RETCODE sent = send(rpc, params); sent != CS_SUCCEED) {
        RpcOutcome failed;
        failed.sent = sent;
        return failed;
    }
    return read_results(max_rows);
}

RpcOutcome CtClient::read_results(int max_rows)
{
    RpcOutcome outcome;
    outcome.sent = CS_SUCCEED;
    CS_INT type  = 0;
    while ((outcome.last = ct_results(command_, &type)) == CS_SUCCEED) {
        outcome.result_types.push_back(type);
        if (type == CS_ROW_RESULT && !fetch_rows(outcome, max_rows)) {
            break;
        }
        if (type == CS_STATUS_RESULT) {
            fetch_status(outcome);
        }
    }
    return outcome;
}

// Returns false when it stopped early at `max_rows`.
bool CtClient::fetch_rows(RpcOutcome &outcome, int max_rows)
{
    CS_INT count = 0;
    ct_res_info(command_, CS_NUMDATA, &count, CS_UNUSED, nullptr);
    struct Bound {
        CS_INT number = 0;
        std::vector<char> text;
        CS_INT copied         = 0;
        CS_SMALLINT indicator = 0;
    };
    std::vector<Bound> bound(static_cast<std::size_t>(count));
    outcome.columns.clear();
    for (CS_INT i = 0; i < count; ++i) {
        CS_DATAFMT format{};
        ct_describe(command_, i + 1, &format);
        outcome.columns.push_back({std::string(format.name, static_cast<std::size_t>(format.namelen)), format.datatype,
                                   format.maxlength, format.status});
        Bound &b     = bound[static_cast<std::size_t>(i)];
        void *target = &b.number;
        if (format.datatype == CS_CHAR_TYPE) {
            b.text.resize(static_cast<std::size_t>(format.maxlength) + 1);
            format.maxlength = static_cast<CS_INT>(b.text.size());
            target           = b.text.data();
        }
        format.format = CS_FMT_UNUSED;
        format.count  = 1;
        ct_bind(command_, i + 1, &format, target, &b.copied, &b.indicator);
    }
    for (int fetched = 0; max_rows < 0 || fetched < max_rows; ++fetched) {
        if (ct_fetch(command_, CS_UNUSED, CS_UNUSED, CS_UNUSED, nullptr) != CS_SUCCEED) {
            return true;
        }
        std::vector<std::string> row;
        for (const Bound &b : bound) {
            if (b.indicator == -1) {
                row.push_back(kNull);
            } else if (!b.text.empty()) {
                row.emplace_back(b.text.data(), static_cast<std::size_t>(b.copied));
            } else {
                row.push_back(std::to_string(b.number));
            }
        }
        outcome.rows.push_back(std::move(row));
    }
    return false;
}

void CtClient::fetch_status(RpcOutcome &outcome)
{
    CS_DATAFMT format{};
    format.datatype  = CS_INT_TYPE;
    format.maxlength = sizeof(CS_INT);
    format.count     = 1;
    CS_INT status    = 0;
    ct_bind(command_, 1, &format, &status, nullptr, nullptr);
    while (ct_fetch(command_, CS_UNUSED, CS_UNUSED, CS_UNUSED, nullptr) == CS_SUCCEED) {
        outcome.statuses.push_back(status);
    }
}

}  // namespace paagent::tds::testing
