#include "core/rpc_params.h"

#include <algorithm>
#include <array>
#include <charconv>
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
bool IsCharacter(tds::WireType type)
{
    return type == tds::WireType::kChar || type == tds::WireType::kVarChar || type == tds::WireType::kLongChar ||
           type == tds::WireType::kText;
}

void CheckInteger(const std::string &name, const tds::Param &param)
{
    if (!param.value.IsInt()) {
        throw AgentError("parameter " + name + " must be an integer");
    }
    const std::int64_t value = param.value.AsInt();
    if (value < std::numeric_limits<std::int32_t>::min() || value > std::numeric_limits<std::int32_t>::max()) {
        throw AgentError("parameter " + name + " is out of range");
    }
}

// The client's texts are C strings, and the configuration file cannot hold a zero byte either.
void CheckText(const std::string &name, const tds::Param &param)
{
    if (!param.value.IsText() || !IsCharacter(param.type)) {
        throw AgentError("parameter " + name + " must be a text");
    }
    const std::string &text = param.value.AsText();
    if (text.size() > protocol::kMaxTextBytes) {
        throw AgentError("parameter " + name + " is " + std::to_string(text.size()) +
                         " bytes long; the largest text value is " + std::to_string(protocol::kMaxTextBytes) +
                         " bytes");
    }
    if (text.find('\0') != std::string::npos) {
        throw AgentError("parameter " + name + " contains a zero byte");
    }
}

// Walks a request's parameters against the fields the contract expects, one after another.
class RequestCheck {
public:
    explicit RequestCheck(const std::vector<tds::Param> &params) : params_(params) {}

    void Fields(std::span<const Field> fields)
    {
        for (const Field &field : fields) {
            Expect(field);
        }
    }

    void Group(protocol::Group group)
    {
        if (group == protocol::Group::kProcess) {
            Fields(protocol::kProcessParams);
        }
        if (group == protocol::Group::kService) {
            Service();
        }
    }

    void Finish() const
    {
        if (position_ != params_.size()) {
            throw AgentError("unexpected parameter " + params_[position_].name);
        }
    }

private:
    const tds::Value &Expect(const Field &field)
    {
        const std::string name(field.name);
        if (position_ >= params_.size()) {
            throw AgentError("missing parameter " + name);
        }
        const tds::Param &param = params_[position_];
        if (param.name != field.name) {
            throw AgentError("expected parameter " + name + " at position " + std::to_string(position_ + 1) + ", got " +
                             param.name);
        }
        ++position_;
        field.type == Type::kInt ? CheckInteger(name, param) : CheckText(name, param);
        return param.value;
    }

    // The member count says how many members follow; a count beyond those sent ends at the
    // first missing one.
    void Service()
    {
        const auto &[name, type, start, count] = protocol::kServiceParams;
        for (const Field &field : {name, type, start}) {
            Expect(field);
        }
        const std::int64_t members = Expect(count).AsInt();
        if (members < 0) {
            throw AgentError("parameter " + std::string(count.name) + " is negative");
        }
        for (std::int32_t index = 1; index <= members; ++index) {
            Member(index);
        }
    }

    void Member(std::int32_t index)
    {
        char kind_name[protocol::kMemberNameSize];
        char value_name[protocol::kMemberNameSize];
        protocol::MemberKindName(index, kind_name);
        protocol::MemberValueName(index, value_name);
        const auto kind = static_cast<std::int32_t>(Expect({kind_name, Type::kInt}).AsInt());
        Expect({value_name, protocol::MemberValueType(kind)});
        Fields(protocol::kProcessParams);
    }

    const std::vector<tds::Param> &params_;
    std::size_t position_ = 0;
};

// The value when it is one of allowed; else refused, naming the parameter and what it must be.
std::int32_t OneOf(std::string_view name, std::int32_t value, std::initializer_list<std::int32_t> allowed,
                   std::string_view what)
{
    if (std::find(allowed.begin(), allowed.end(), value) == allowed.end()) {
        throw AgentError("parameter " + std::string(name) + " is " + std::to_string(value) + ", not " +
                         std::string(what));
    }
    return value;
}

std::optional<std::string> UnlessNoValue(const std::string &text)
{
    if (text == protocol::kNoValue) {
        return std::nullopt;
    }
    return text;
}

}  // namespace

void CheckRequest(const protocol::RpcShape &shape, const tds::RpcRequest &request)
{
    RequestCheck check(request.params);
    check.Fields(shape.leading);
    check.Group(shape.group);
    check.Fields(shape.trailing);
    check.Finish();
}

ParamReader::ParamReader(const protocol::RpcShape &shape, const tds::RpcRequest &request) : request_(request)
{
    CheckRequest(shape, request);
}

const tds::Value &ParamReader::Next()
{
    if (position_ >= request_.params.size()) {
        throw std::logic_error("reading past the parameters of " + request_.name);
    }
    return request_.params[position_++].value;
}

std::int32_t ParamReader::Integer() { return static_cast<std::int32_t>(Next().AsInt()); }

std::string ParamReader::Text() { return Next().AsText(); }

std::int64_t ParamReader::Number(const std::string &what)
{
    const std::string text  = Text();
    std::int64_t number     = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
    if (text.empty() || error != std::errc() || end != text.data() + text.size()) {
        throw AgentError("the " + what + " " + text + " is not a number");
    }
    return number;
}

std::optional<std::string> ParamReader::OptionalText() { return UnlessNoValue(Text()); }

Process ParamReader::Process()
{
    using protocol::ProcessParam;
    std::array<const tds::Value *, std::size(protocol::kProcessParams)> values{};
    for (auto &value : values) {
        value = &Next();
    }
    auto text_of    = [&](ProcessParam param) { return values[param]->AsText(); };
    auto integer_of = [&](ProcessParam param) { return static_cast<std::int32_t>(values[param]->AsInt()); };

    agentclient::Process definition;
    definition.name            = text_of(protocol::kProcessName);
    definition.host            = text_of(protocol::kProcessHost);
    definition.command         = text_of(protocol::kProcessCommand);
    definition.euid            = integer_of(protocol::kProcessEuid);
    definition.managed         = integer_of(protocol::kProcessManaged) != 0;
    definition.restart_message = UnlessNoValue(text_of(protocol::kProcessRestartMsg));
    definition.alert_message   = UnlessNoValue(text_of(protocol::kProcessAlertMsg));
    // The PID the client sends is left aside: the agent knows its processes' PIDs itself.
    definition.type        = static_cast<ProcessType>(OneOf(protocol::kProcessParams[protocol::kProcessType].name,
                                                            integer_of(protocol::kProcessType),
                                                            {PaDAEMON_PROCESS, PaPA_AWARE, PaNOT_PA_AWARE}, "a process type"));
    definition.retry_count = integer_of(protocol::kProcessRetryCount);
    return definition;
}

Service ParamReader::Service()
{
    const auto &[name, type, start, count] = protocol::kServiceParams;
    agentclient::Service definition;
    definition.name = Text();
    definition.type = static_cast<ServiceType>(
        OneOf(type.name, Integer(), {PaSERVICE_MASTER, PaSERVICE_NON_MASTER}, "a service type"));
    definition.start = static_cast<ServiceStart>(
        OneOf(start.name, Integer(), {PaSERVICE_AUTO, PaSERVICE_NON_AUTO}, "a service start mode"));
    const std::int32_t members = Integer();
    for (std::int32_t index = 1; index <= members; ++index) {
        definition.members.push_back(Member(index));
    }
    return definition;
}

Member ParamReader::Member(std::int32_t index)
{
    char kind_name[protocol::kMemberNameSize];
    protocol::MemberKindName(index, kind_name);
    const std::int32_t kind =
        OneOf(kind_name, Integer(), {PaVALUE_INTEGER, PaVALUE_TEXT, PaVALUE_NONE}, "a value kind");
    agentclient::Member entry;
    if (kind == PaVALUE_TEXT) {
        entry.value = Text();
    } else if (kind == PaVALUE_INTEGER) {
        entry.value = Integer();
    } else {
        Next();  // a member without a value sends 0
    }
    entry.process = Process();
    return entry;
}

}  // namespace paagent
