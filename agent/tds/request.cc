#include "tds/request.h"

namespace paagent::tds {

const Param *RpcRequest::Find(std::string_view param_name) const
{
    for (const Param &param : params) {
        if (param.name == param_name) {
            return &param;
        }
    }
    return nullptr;
}

}  // namespace paagent::tds
