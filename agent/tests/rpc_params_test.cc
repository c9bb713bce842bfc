// Checking requests against the protocol contract and reading them: a request the client
// library did not shape is refused, naming the parameter.
#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>
#include <string_view>

#include "core/rpc_params.h"

using namespace paagent;

namespace {

tds::Param Param(std::string_view name, tds::Value value)
{
    tds::Param param;
    param.name  = std::string(name);
    param.type  = value.IsText() ? tds::WireType::kLongChar : tds::WireType::kIntN;
    param.value = std::move(value);
    return param;
}

void AddFields(std::vector<tds::Param> &params, std::span<const protocol::Field> fields)
{
    for (const auto &field : fields) {
        params.push_back(Param(field.name, field.type == protocol::Type::kText ? tds::Value("x") : tds::Value(0)));
    }
}

void AddMember(std::vector<tds::Param> &params, int index, std::int32_t kind, tds::Value value)
{
    char kind_name[protocol::kMemberNameSize];
    char value_name[protocol::kMemberNameSize];
    protocol::MemberKindName(index, kind_name);
    protocol::MemberValueName(index, value_name);
    params.push_back(Param(kind_name, kind));
    params.push_back(Param(value_name, std::move(value)));
    AddFields(params, protocol::kProcessParams);
}

// A service of three members, one of each value kind.
void AddService(std::vector<tds::Param> &params)
{
    const auto &[name, type, start, count] = protocol::kServiceParams;
    params.push_back(Param(name.name, "svc"));
    params.push_back(Param(type.name, PaSERVICE_MASTER));
    params.push_back(Param(start.name, PaSERVICE_AUTO));
    params.push_back(Param(count.name, 3));
    AddMember(params, 1, PaVALUE_TEXT, "hello");
    AddMember(params, 2, PaVALUE_INTEGER, 7);
    AddMember(params, 3, PaVALUE_NONE, 0);
}

// A request as the client library shapes it for the RPC, from the contract alone.
tds::RpcRequest RequestFor(const protocol::RpcShape &shape)
{
    tds::RpcRequest request{std::string(shape.name), {}};
    AddFields(request.params, shape.leading);
    if (shape.group == protocol::Group::kProcess) {
        AddFields(request.params, protocol::kProcessParams);
    }
    if (shape.group == protocol::Group::kService) {
        AddService(request.params);
    }
    AddFields(request.params, shape.trailing);
    return request;
}

// The first parameter called name; throws when there is none, which fails the test.
tds::Param &Named(std::vector<tds::Param> &params, std::string_view name)
{
    for (auto &param : params) {
        if (param.name == name) {
            return param;
        }
    }
    throw std::out_of_range("no parameter " + std::string(name));
}

// Replaces the parameter with one of the value (and the type of the value).
std::function<void(std::vector<tds::Param> &)> Set(std::string name, tds::Value value)
{
    return [name, value](auto &params) { Named(params, name) = Param(name, value); };
}

// Checks the request, and reads a service start's service (after its leading serviceAddArg) or
// an output read's cursor: "accepted" or the cursor, or the refusal's text.
std::string Verdict(protocol::Rpc rpc, const tds::RpcRequest &request)
{
    try {
        const protocol::RpcShape &shape = *protocol::Find(rpc);
        if (rpc == protocol::kProcessOutput) {
            ParamReader reader(shape, request);
            reader.Text();
            reader.Text();
            return std::to_string(reader.Number("cursor"));
        }
        if (rpc != protocol::kServiceStart) {
            CheckRequest(shape, request);
            return "accepted";
        }
        ParamReader reader(shape, request);
        reader.Integer();
        const auto members = reader.Service().members;
        if (members.size() != 3 || members[0].value != MemberValue(std::string("hello")) ||
            members[1].value != MemberValue(std::int32_t{7}) || members[2].value != MemberValue{}) {
            return "the members read differ from those sent";
        }
    } catch (const AgentError &error) {
        return error.what();
    }
    return "accepted";
}

TEST(RequestCheck, RefusesWhatTheContractDoesNotAllowNamingTheParameter)
{
    const std::size_t longest = protocol::kMaxTextBytes;
    const std::tuple<const char *, protocol::Rpc, std::function<void(std::vector<tds::Param> &)>, std::string> cases[] =
        {
            {"the longest text", protocol::kProcessStart, Set("processCommandArg", std::string(longest, 'x')),
             "accepted"},
            {"a text one byte too long", protocol::kProcessStart,
             Set("processCommandArg", std::string(longest + 1, 'x')),
             "parameter processCommandArg is 8193 bytes long; the largest text value is 8192 bytes"},
            // The decoder has removed the client's terminator: a zero byte left is the text's own.
            {"a zero byte ending a text", protocol::kProcessStart, Set("processAMesgArg", std::string("gone\0", 5)),
             "parameter processAMesgArg contains a zero byte"},
            {"a text sent as NULL", protocol::kProcessStop,
             [](auto &p) { Named(p, "processHostnameArg").value = tds::Value::Null(); },
             "parameter processHostnameArg must be a text"},
            {"a text for an integer", protocol::kProcessStart, Set("processEUIDArg", "zero"),
             "parameter processEUIDArg must be an integer"},
            {"an integer beyond 32 bits", protocol::kProcessStart,
             Set("processRetryCountArg", tds::Value(std::int64_t{1} << 40)),
             "parameter processRetryCountArg is out of range"},
            {"a missing parameter", protocol::kProcessStart, [](auto &p) { p.pop_back(); },
             "missing parameter processTimeoutArg"},
            {"a parameter left over", protocol::kProcessStart, [](auto &p) { p.push_back(Param("surpriseArg", 1)); },
             "unexpected parameter surpriseArg"},
            {"a service's members as sent", protocol::kServiceStart, [](auto &) {}, "accepted"},
            {"an integer for a text member's value", protocol::kServiceStart, Set("Process1Value", 5),
             "parameter Process1Value must be a text"},
            {"a negative member count", protocol::kServiceStart, Set("serviceProcessNoArg", -1),
             "parameter serviceProcessNoArg is negative"},
            {"no process type", protocol::kServiceStart, Set("processProcessTypeArg", 7),
             "parameter processProcessTypeArg is 7, not a process type"},
            {"no value kind", protocol::kServiceStart, Set("Process3", 7), "parameter Process3 is 7, not a value kind"},
            {"the end cursor", protocol::kProcessOutput, Set("outputCursorArg", "-1"), "-1"},
            {"the largest cursor", protocol::kProcessOutput, Set("outputCursorArg", "9223372036854775807"),
             "9223372036854775807"},
            {"a cursor beyond 64 bits", protocol::kProcessOutput, Set("outputCursorArg", "9223372036854775808"),
             "the cursor 9223372036854775808 is not a number"},
            {"a cursor followed by more", protocol::kProcessOutput, Set("outputCursorArg", "12x"),
             "the cursor 12x is not a number"},
        };
    for (const auto &[what, rpc, change, verdict] : cases) {
        SCOPED_TRACE(what);
        tds::RpcRequest request = RequestFor(*protocol::Find(rpc));
        change(request.params);
        EXPECT_EQ(Verdict(rpc, request), verdict);
    }
}

}  // namespace
