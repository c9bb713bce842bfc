// Checking an RPC's request against the protocol contract, then reading its values in order.
#ifndef PAAGENT_CORE_RPC_PARAMS_H
#define PAAGENT_CORE_RPC_PARAMS_H

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include <protocol/rpc_table.h>

#include "core/agent.h"
#include "core/records.h"
#include "tds/request.h"

namespace paagent {

namespace protocol = pa::protocol;

// Throws AgentError naming the first parameter of request that the contract of shape does not
// allow: misnamed, of the wrong type, an integer outside 32 bits, a text longer than
// protocol::kMaxTextBytes or holding a zero byte, missing, or left over.
void CheckRequest(const protocol::RpcShape &shape, const tds::RpcRequest &request);

// Reads the values of a request in the order they travel, once check_request has accepted it;
// the reads turn them into definitions and refuse values outside their range with AgentError.
class ParamReader {
public:
    // Checks request against shape first.
    ParamReader(const protocol::RpcShape &shape, const tds::RpcRequest &request);

    std::int32_t Integer();
    std::string Text();
    // A 64-bit number, which travels as decimal text; throws AgentError naming what when the
    // text is none.
    std::int64_t Number(const std::string &what);
    // A text where protocol::kNoValue stands for none.
    std::optional<std::string> OptionalText();
    // The ten parameters of a process.
    agentclient::Process Process();
    // A whole service: name, type, start, member count, members.
    agentclient::Service Service();

private:
    const tds::Value &Next();
    agentclient::Member Member(std::int32_t index);

    const tds::RpcRequest &request_;
    std::size_t position_ = 0;
};

}  // namespace paagent

#endif  // PAAGENT_CORE_RPC_PARAMS_H
