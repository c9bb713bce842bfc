// Reading an RPC's parameters in the order the client library sends them.
#ifndef PAAGENT_CORE_RPC_PARAMS_H
#define PAAGENT_CORE_RPC_PARAMS_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "core/agent.h"
#include "core/definitions.h"
#include "tds/request.h"

namespace paagent {

// Walks a request's parameters in order; every read names the parameter expected next and
// throws AgentError when it is missing, misnamed or of the wrong kind.
class ParamReader {
public:
    explicit ParamReader(const tds::RpcRequest& request) : request_(request) {}

    std::int32_t integer(const std::string& name);
    std::string text(const std::string& name);
    // A text where the four letters NULL stand for none.
    std::optional<std::string> optional_text(const std::string& name);
    // The ten parameters of a process, from "processNameArg" to "processRetryCountArg".
    ProcessSpec process();
    // A whole service after its leading parameter: name, type, start, member count, members.
    ServiceSpec service();
    // Throws when parameters are left over.
    void finish() const;

private:
    const tds::Param& next(const std::string& name);

    const tds::RpcRequest& request_;
    std::size_t position_ = 0;
};

}  // namespace paagent

#endif  // PAAGENT_CORE_RPC_PARAMS_H
