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

void Reply::BeginRows(std::vector<Column> columns)
{
    EndRows();
    PutRowfmt(tokens_, columns);
    columns_   = std::move(columns);
    row_count_ = 0;
    rows_open_ = true;
}

void Reply::AddRow(const std::vector<Value> &values)
{
    if (!rows_open_) {
        throw std::logic_error("add_row called before begin_rows");
    }
    PutRow(tokens_, columns_, values);
    ++row_count_;
}

// Closing each result set with DONEINPROC(MORE|COUNT) gives the client a CS_CMD_DONE with its row count.
void Reply::EndRows()
{
    if (rows_open_) {
        PutDone(tokens_, DoneToken::kDoneInProc, done::kMore | done::kCount, row_count_);
        rows_open_ = false;
    }
}

void Reply::Message(ServerMessage message)
{
    EndRows();
    if (message.procedure.empty()) {
        message.procedure = procedure_;
    }
    PutEed(tokens_, message, server_name_);
}

void Reply::Fail() { failed_ = true; }

void Reply::Fail(ServerMessage message)
{
    this->Message(std::move(message));
    Fail();
}

// RETURNSTATUS must come right before the DONEPROC, or FreeTDS drops it.
TokenBuffer Reply::Finish() &&
{
    EndRows();
    PutReturnStatus(tokens_, return_status_.value_or(failed_ ? kFailedReturnStatus : 0));
    PutDone(tokens_, DoneToken::kDoneProc, failed_ ? done::kError : 0, 0);
    return std::move(tokens_);
}

}  // namespace paagent::tds
