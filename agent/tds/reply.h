// The reply an RPC handler builds: result sets, messages, return status, success or failure.
// The server ends every reply with exactly one final DONEPROC; handlers never write DONE tokens.
#ifndef PAAGENT_TDS_REPLY_H
#define PAAGENT_TDS_REPLY_H

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "tds/reply_types.h"
#include "tds/token_writer.h"
#include "tds/value.h"

namespace paagent::tds {

class Reply {
public:
    Reply(std::string server_name, std::string procedure);

    // Starts a result set; ends the previous one. Throws std::invalid_argument for bad columns.
    void BeginRows(std::vector<Column> columns);
    // Adds a row to the current result set. Throws std::logic_error without a result set and
    // std::invalid_argument when a value does not match its column (type, length, nullability).
    void AddRow(const std::vector<Value> &values);

    // Sends a message to the client; an empty procedure becomes the RPC's name.
    void Message(ServerMessage message);
    // Marks the command as failed (the client's ct_results reports CS_CMD_FAIL).
    void Fail();
    void Fail(ServerMessage message);
    bool Failed() const { return failed_; }

    // Return status of the RPC; defaults to 0, or -6 for a failed command.
    void SetReturnStatus(std::int32_t status) { return_status_ = status; }

    // Runs action once the whole reply has been handed to the client's connection; not when
    // it could not be sent. For work that must not cut the reply short, such as shutting down.
    void AfterDelivery(std::function<void()> action) { after_delivery_ = std::move(action); }
    std::function<void()> TakeAfterDelivery() { return std::move(after_delivery_); }

    // Completes the reply: ends an open result set, then RETURNSTATUS and the final DONEPROC.
    TokenBuffer Finish() &&;

private:
    void EndRows();

    std::string server_name_;
    std::string procedure_;
    TokenBuffer tokens_;
    std::vector<Column> columns_;
    std::int32_t row_count_ = 0;
    bool rows_open_         = false;
    bool failed_            = false;
    std::optional<std::int32_t> return_status_;
    std::function<void()> after_delivery_;
};

}  // namespace paagent::tds

#endif  // PAAGENT_TDS_REPLY_H
