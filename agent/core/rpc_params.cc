#include "core/rpc_params.h"

#include <limits>

namespace paagent {

namespace {

constexpr const char* kNoValue = "NULL";
constexpr std::int32_t kKindInteger = 0;
constexpr std::int32_t kKindText = 1;

std::int32_t checked_int32(std::int64_t value, const std::string& name) {
    if (value < std::numeric_limits<std::int32_t>::min() || value > std::numeric_limits<std::int32_t>::max()) {
        throw AgentError("parameter " + name + " is out of range");
    }
    return static_cast<std::int32_t>(value);
}

ProcessType process_type(std::int32_t value) {
    if (value < 0 || value > 2) throw AgentError("unknown process type " + std::to_string(value));
    return static_cast<ProcessType>(value);
}

}  // namespace

const tds::Param& ParamReader::next(const std::string& name) {
    if (position_ >= request_.params.size()) throw AgentError("missing parameter " + name);
    const tds::Param& param = request_.params[position_];
    if (param.name != name) {
        throw AgentError("expected parameter " + name + " at position " + std::to_string(position_ + 1) + ", got " +
                         param.name);
    }
    ++position_;
    return param;
}

std::int32_t ParamReader::integer(const std::string& name) {
    const tds::Param& param = next(name);
    if (!param.value.is_int()) throw AgentError("parameter " + name + " must be an integer");
    return checked_int32(param.value.as_int(), name);
}

std::string ParamReader::text(const std::string& name) {
    const tds::Param& param = next(name);
    if (!param.value.is_text()) throw AgentError("parameter " + name + " must be a text");
    return param.value.as_text();
}

std::optional<std::string> ParamReader::optional_text(const std::string& name) {
    std::string value = text(name);
    if (value == kNoValue) return std::nullopt;
    return value;
}

ProcessSpec ParamReader::process() {
    ProcessSpec definition;
    definition.name = text("processNameArg");
    definition.host = text("processHostnameArg");
    definition.command = text("processCommandArg");
    definition.euid = integer("processEUIDArg");
    definition.managed = integer("processManagedArg") != 0;
    definition.restart_message = optional_text("processRMesgArg");
    definition.alert_message = optional_text("processAMesgArg");
    integer("processPIDArg");  // the agent knows its processes' PIDs itself
    definition.type = process_type(integer("processProcessTypeArg"));
    definition.retry_count = integer("processRetryCountArg");
    return definition;
}

ServiceSpec ParamReader::service() {
    ServiceSpec definition;
    definition.name = text("serviceNameArg");
    definition.type = integer("serviceServTypeArg");
    definition.start = integer("serviceServStartArg");
    const std::int32_t count = integer("serviceProcessNoArg");
    if (count < 0) throw AgentError("negative member count");
    for (std::int32_t i = 1; i <= count; ++i) {
        const std::string member = "Process" + std::to_string(i);
        const std::int32_t kind = integer(member);
        ServiceMember entry;
        if (kind == kKindText) {
            entry.value = text(member + "Value");
        } else if (kind == kKindInteger) {
            entry.value = integer(member + "Value");
        } else {
            integer(member + "Value");  // no value: the client sends 0
        }
        entry.process = process();
        definition.members.push_back(std::move(entry));
    }
    return definition;
}

void ParamReader::finish() const {
    if (position_ != request_.params.size()) {
        throw AgentError("unexpected parameter " + request_.params[position_].name);
    }
}

}  // namespace paagent
