#include "core/rpc_params.h"

#include <algorithm>
#include <array>
#include <initializer_list>
#include <limits>
#include <span>
#include <stdexcept>
#include <string_view>

namespace paagent {

namespace {

using protocol::Field;
using protocol::Type;

// The types whose values the decoder reads as text with the client's terminating zero removed;
// a text sent as binary would keep it, so only these carry text parameters.
bool is_character(tds::WireType type)
{
    return type == tds::WireType::Char || type == tds::WireType::VarChar || type == tds::WireType::LongChar ||
           type == tds::WireType::Text;
}

void check_integer(const std::string &name, const tds::Param &param)
{
    if (!param.value.is_int())
        throw AgentError("parameter " + name + " must be an integer");
    const std::int64_t value = param.value.as_int();
    if (value < std::numeric_limits<std::int32_t>::min() || value > std::numeric_limits<std::int32_t>::max()) {
        throw AgentError("parameter " + name + " is out of range");
    }
}

// The client's texts are C strings, and the configuration file cannot hold a zero byte either.
void check_text(const std::string &name, const tds::Param &param)
{
    if (!param.value.is_text() || !is_character(param.type))
        throw AgentError("parameter " + name + " must be a text");
    const std::string &text = param.value.as_text();
    if (text.size() > protocol::kMaxTextBytes) {
        throw AgentError("parameter " + name + " is " + std::to_string(text.size()) +
                         " bytes long; the largest text value is " + std::to_string(protocol::kMaxTextBytes) +
                         " bytes");
    }
    if (text.find('\0') != std::string::npos)
        throw AgentError("parameter " + name + " contains a zero byte");
}

// Walks a request's parameters against the fields the contract expects, one after another.
class RequestCheck {
public:
    explicit RequestCheck(const std::vector<tds::Param> &params) : params_(params) {}

    void fields(std::span<const Field> fields)
    {
        for (const Field &field : fields)
            expect(field);
    }

    void group(protocol::Group group)
    {
        if (group == protocol::Group::Process)
            fields(protocol::kProcessParams);
        if (group == protocol::Group::Service)
            service();
    }

    void finish() const
    {
        if (position_ != params_.size())
            throw AgentError("unexpected parameter " + params_[position_].name);
    }

private:
    const tds::Value &expect(const Field &field)
    {
        const std::string name(field.name);
        if (position_ >= params_.size())
            throw AgentError("missing parameter " + name);
        const tds::Param &param = params_[position_];
        if (param.name != field.name) {
            throw AgentError("expected parameter " + name + " at position " + std::to_string(position_ + 1) + ", got " +
                             param.name);
        }
        ++position_;
        field.type == Type::Int ? check_integer(name, param) : check_text(name, param);
        return param.value;
    }

    // The member count says how many members follow; a count beyond those sent ends at the
    // first missing one.
    void service()
    {
        const auto &[name, type, start, count] = protocol::kServiceParams;
        for (const Field &field : {name, type, start})
            expect(field);
        const std::int64_t members = expect(count).as_int();
        if (members < 0)
            throw AgentError("parameter " + std::string(count.name) + " is negative");
        for (std::int32_t index = 1; index <= members; ++index)
            member(index);
    }

    void member(std::int32_t index)
    {
        char kind_name[protocol::kMemberNameSize];
        char value_name[protocol::kMemberNameSize];
        protocol::MemberKindName(index, kind_name);
        protocol::MemberValueName(index, value_name);
        const auto kind = static_cast<std::int32_t>(expect({kind_name, Type::Int}).as_int());
        expect({value_name, protocol::MemberValueType(kind)});
        fields(protocol::kProcessParams);
    }

    const std::vector<tds::Param> &params_;
    std::size_t position_ = 0;
};

// The value when it is one of allowed; else refused, naming the parameter and what it must be.
std::int32_t one_of(std::string_view name, std::int32_t value, std::initializer_list<std::int32_t> allowed,
                    std::string_view what)
{
    if (std::find(allowed.begin(), allowed.end(), value) == allowed.end()) {
        throw AgentError("parameter " + std::string(name) + " is " + std::to_string(value) + ", not " +
                         std::string(what));
    }
    return value;
}

std::optional<std::string> unless_no_value(const std::string &text)
{
    if (text == protocol::kNoValue)
        return std::nullopt;
    return text;
}

}  // namespace

void check_request(const protocol::RpcShape &shape, const tds::RpcRequest &request)
{
    RequestCheck check(request.params);
    check.fields(shape.leading);
    check.group(shape.group);
    check.fields(shape.trailing);
    check.finish();
}

ParamReader::ParamReader(const protocol::RpcShape &shape, const tds::RpcRequest &request) : request_(request)
{
    check_request(shape, request);
}

const tds::Value &ParamReader::next()
{
    if (position_ >= request_.params.size()) {
        throw std::logic_error("reading past the parameters of " + request_.name);
    }
    return request_.params[position_++].value;
}

std::int32_t ParamReader::integer() { return static_cast<std::int32_t>(next().as_int()); }

std::string ParamReader::text() { return next().as_text(); }

std::optional<std::string> ParamReader::optional_text() { return unless_no_value(text()); }

ProcessSpec ParamReader::process()
{
    using protocol::ProcessParam;
    std::array<const tds::Value *, std::size(protocol::kProcessParams)> values{};
    for (auto &value : values)
        value = &next();
    auto text_of    = [&](ProcessParam param) { return values[param]->as_text(); };
    auto integer_of = [&](ProcessParam param) { return static_cast<std::int32_t>(values[param]->as_int()); };

    ProcessSpec definition;
    definition.name            = text_of(protocol::kProcessName);
    definition.host            = text_of(protocol::kProcessHost);
    definition.command         = text_of(protocol::kProcessCommand);
    definition.euid            = integer_of(protocol::kProcessEuid);
    definition.managed         = integer_of(protocol::kProcessManaged) != 0;
    definition.restart_message = unless_no_value(text_of(protocol::kProcessRestartMsg));
    definition.alert_message   = unless_no_value(text_of(protocol::kProcessAlertMsg));
    // The PID the client sends is left aside: the agent knows its processes' PIDs itself.
    definition.type = static_cast<ProcessType>(
        one_of(protocol::kProcessParams[protocol::kProcessType].name, integer_of(protocol::kProcessType),
               {PaDAEMON_PROCESS, PaPA_AWARE, PaNOT_PA_AWARE}, "a process type"));
    definition.retry_count = integer_of(protocol::kProcessRetryCount);
    return definition;
}

ServiceSpec ParamReader::service()
{
    const auto &[name, type, start, count] = protocol::kServiceParams;
    ServiceSpec definition;
    definition.name  = text();
    definition.type  = one_of(type.name, integer(), {PaSERVICE_MASTER, PaSERVICE_NON_MASTER}, "a service type");
    definition.start = one_of(start.name, integer(), {PaSERVICE_AUTO, PaSERVICE_NON_AUTO}, "a service start mode");
    const std::int32_t members = integer();
    for (std::int32_t index = 1; index <= members; ++index)
        definition.members.push_back(member(index));
    return definition;
}

ServiceMember ParamReader::member(std::int32_t index)
{
    char kind_name[protocol::kMemberNameSize];
    protocol::MemberKindName(index, kind_name);
    const std::int32_t kind =
        one_of(kind_name, integer(), {PaVALUE_INTEGER, PaVALUE_TEXT, PaVALUE_NONE}, "a value kind");
    ServiceMember entry;
    if (kind == PaVALUE_TEXT) {
        entry.value = text();
    } else if (kind == PaVALUE_INTEGER) {
        entry.value = integer();
    } else {
        next();  // a member without a value sends 0
    }
    entry.process = process();
    return entry;
}

}  // namespace paagent
