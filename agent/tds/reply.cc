#include "tds/reply.h"

#include <stdexcept>
#include <utility>

#include "tds/protocol.h"

namespace paagent::tds {
namespace {
constexpr std::int32_t kFailedReturnStatus = -6;
}

Reply::Reply(std::string server_name, std::string procedure)
    : server_name_(std::move(server_name)), procedure_(std::move(procedure))
{
}

void Reply::begin_rows(std::vector<Column> columns)
{
    end_rows();
    put_rowfmt(tokens_, columns);
    columns_   = std::move(columns);
    row_count_ = 0;
    rows_open_ = true;
}

void Reply::add_row(const std::vector<Value> &values)
{
    if (!rows_open_) {
        throw std::logic_error("add_row called before begin_rows");
    }
    put_row(tokens_, columns_, values);
    ++row_count_;
}

// Closing each result set with DONEINPROC(MORE|COUNT) gives the client a CS_CMD_DONE with its row count.
void Reply::end_rows()
{
    if (rows_open_) {
        put_done(tokens_, DoneToken::DoneInProc, done::More | done::Count, row_count_);
        rows_open_ = false;
    }
}

void Reply::message(ServerMessage message)
{
    end_rows();
    if (message.procedure.empty()) {
        message.procedure = procedure_;
    }
    put_eed(tokens_, message, server_name_);
}

void Reply::fail() { failed_ = true; }

void Reply::fail(ServerMessage message)
{
    this->message(std::move(message));
    fail();
}

// RETURNSTATUS must come right before the DONEPROC, or FreeTDS drops it.
TokenBuffer Reply::finish() &&
{
    end_rows();
    put_return_status(tokens_, return_status_.value_or(failed_ ? kFailedReturnStatus : 0));
    put_done(tokens_, DoneToken::DoneProc, failed_ ? done::Error : 0, 0);
    return std::move(tokens_);
}

}  // namespace paagent::tds
