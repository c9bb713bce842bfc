// Reading RPC parameters: a request the client library did not shape is refused by name.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "core/rpc_params.h"

using namespace paagent;
using testing::HasSubstr;

namespace {

tds::Param Param(std::string name, tds::Value value) {
    tds::Param param;
    param.name = std::move(name);
    param.value = std::move(value);
    return param;
}

tds::RpcRequest Request(std::vector<tds::Param> params) { return {"pa_TestRPC", std::move(params)}; }

std::vector<tds::Param> ProcessParams(std::string name) {
    return {Param("processNameArg", name),           Param("processHostnameArg", "node1"),
            Param("processCommandArg", "sleep 1"),   Param("processEUIDArg", 0),
            Param("processManagedArg", 1),           Param("processRMesgArg", "NULL"),
            Param("processAMesgArg", "gone"),        Param("processPIDArg", 0),
            Param("processProcessTypeArg", 1),       Param("processRetryCountArg", 2)};
}

std::string Refusal(const tds::RpcRequest& request, void (*read)(ParamReader&)) {
    ParamReader reader(request);
    try {
        read(reader);
    } catch (const AgentError& error) {
        return error.what();
    }
    return "accepted";
}

TEST(ParamReader, ReadsAProcessAndAServiceInOrder) {
    std::vector<tds::Param> params = {Param("serviceNameArg", "svc"), Param("serviceServTypeArg", 0),
                                      Param("serviceServStartArg", 2), Param("serviceProcessNoArg", 2),
                                      Param("Process1", 1),            Param("Process1Value", "hello")};
    for (auto& param : ProcessParams("a")) params.push_back(param);
    params.push_back(Param("Process2", 2));
    params.push_back(Param("Process2Value", 0));
    for (auto& param : ProcessParams("b")) params.push_back(param);
    tds::RpcRequest request = Request(params);
    ParamReader reader(request);
    ServiceSpec service = reader.service();
    reader.finish();
    ASSERT_EQ(service.members.size(), 2u);
    EXPECT_EQ(service.start, 2);
    EXPECT_EQ(service.members[0].value, MemberValue(std::string("hello")));
    EXPECT_EQ(service.members[1].value, MemberValue{});
    const ProcessSpec& a = service.members[0].process;
    EXPECT_EQ(a.name, "a");
    EXPECT_TRUE(a.managed);
    EXPECT_FALSE(a.restart_message.has_value());
    EXPECT_EQ(a.alert_message, "gone");
    EXPECT_EQ(a.type, ProcessType::PaAware);
    EXPECT_EQ(a.retry_count, 2);
}

TEST(ParamReader, RefusesMissingMistypedMisplacedAndExtraParameters) {
    auto read_process = [](ParamReader& reader) {
        reader.process();
        reader.finish();
    };
    std::vector<tds::Param> missing = ProcessParams("p");
    missing.pop_back();
    EXPECT_THAT(Refusal(Request(missing), read_process), HasSubstr("missing parameter processRetryCountArg"));

    std::vector<tds::Param> mistyped = ProcessParams("p");
    mistyped[3].value = tds::Value("zero");
    EXPECT_THAT(Refusal(Request(mistyped), read_process), HasSubstr("processEUIDArg must be an integer"));

    std::vector<tds::Param> misplaced = ProcessParams("p");
    std::swap(misplaced[0], misplaced[1]);
    EXPECT_THAT(Refusal(Request(misplaced), read_process),
                HasSubstr("expected parameter processNameArg at position 1, got processHostnameArg"));

    std::vector<tds::Param> extra = ProcessParams("p");
    extra.push_back(Param("surpriseArg", 1));
    EXPECT_THAT(Refusal(Request(extra), read_process), HasSubstr("unexpected parameter surpriseArg"));

    std::vector<tds::Param> badType = ProcessParams("p");
    badType[8].value = tds::Value(7);
    EXPECT_THAT(Refusal(Request(badType), read_process), HasSubstr("unknown process type 7"));

    std::vector<tds::Param> huge = ProcessParams("p");
    huge[9].value = tds::Value(std::int64_t{1} << 40);
    EXPECT_THAT(Refusal(Request(huge), read_process), HasSubstr("out of range"));
}

}  // namespace
