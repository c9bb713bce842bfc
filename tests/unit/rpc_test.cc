// The RPC engine and the operations over the scripted Client-Library: parameters as sent, reply
// rows well and badly formed, the retry callback, failures injected at exact points, and what
// is sent again when the connection broke.
#include "support/client_fixture.h"
#include "support/record_testing.h"

#include <cstring>
#include <span>

using namespace client;
using fakect::Outcome;
using fakect::Reply;
using fakect::ResultSet;
using fakect::Scripted;
using namespace std::string_literals;
using fakect::Row;
using testing::ElementsAre;

namespace {

using RpcTest = ConnectedTest;

int32_t Call(PaConnection *handle, int32_t rpc, void *target = nullptr)
{
    pa::RpcParams params(0);
    return PaRpcCall(handle, rpc, params.List(), target);
}

// "name=value" for every parameter of the last RPC sent, integers as numbers.
std::vector<std::string> SentParams()
{
    std::vector<std::string> params;
    for (const auto &param : Scripted().Sent().back().params) {
        std::string value = param.value.value_or("");
        int32_t number    = 0;
        std::memcpy(&number, value.data(), std::min(value.size(), sizeof number));
        params.push_back(param.name + "=" + (param.datatype == CS_INT_TYPE ? std::to_string(number) : value.c_str()));
    }
    return params;
}

TEST_F(RpcTest, TextsOver254BytesGoAsLongTextAndOver8192AreRefused)
{
    struct Case {
        size_t characters;
        size_t name_length;
        CS_INT datatype;  // -1: refused, nothing sent
    } cases[] = {
        {254, 131, CS_CHAR_TYPE}, {255, 8, CS_LONGCHAR_TYPE}, {8192, 8, CS_LONGCHAR_TYPE}, {8193, 8, -1}, {1, 132, -1}};
    for (const Case &c : cases) {
        SCOPED_TRACE(std::to_string(c.characters) + " " + std::to_string(c.name_length));
        std::string text(c.characters, 'x');
        std::string name(c.name_length, 'n');
        pa::RpcParams params(1);
        params.Text(name.c_str(), text.c_str());
        size_t sent = Scripted().Sent().size();
        EXPECT_EQ(PaRpcCall(handle_, pa::protocol::kProcessStart, params.List(), nullptr),
                  c.datatype < 0 ? PaFAILURE : PaSUCCESS);
        ASSERT_EQ(Scripted().Sent().size(), sent + (c.datatype < 0 ? 0 : 1));
        EXPECT_EQ(c.datatype < 0 ? -1 : Scripted().Sent().back().params.at(0).datatype, c.datatype);
    }
}

TEST_F(RpcTest, FailedCommandWithoutRetryFailsEvenWhenResultsEndNormally)
{
    Scripted().Script(RpcName(pa::protocol::kServiceStop), Reply{.outcome = Outcome::kCommandFails});
    Scripted().On({.call = "ct_cancel", .code = CS_SUCCEED});  // a cancel that leaves the results to be read
    EXPECT_EQ(Call(handle_, pa::protocol::kServiceStop), PaFAILURE);
    EXPECT_EQ(Scripted().SendCount(RpcName(pa::protocol::kServiceStop)), 1);
}

TEST_F(RpcTest, OnlyARetryAnswerOf1RepeatsAndAfter11SendsTheConnectionCountsAsLost)
{
    RetryProbe probe;
    PaInstallRetryCB(handle_, &RetryProbe::Answer, &probe);
    Scripted().Script(RpcName(pa::protocol::kStopProcesses), Reply{.outcome = Outcome::kCommandFails});
    EXPECT_EQ(Call(handle_, pa::protocol::kStopProcesses), PaCONNECTION_LOST);
    EXPECT_EQ(Scripted().SendCount(RpcName(pa::protocol::kStopProcesses)), 11);
    EXPECT_EQ(probe.calls, 11);
    // An operation reconnects once and sends 11 more.
    EXPECT_EQ(PaStopProcesses(handle_), PaCONNECTION_LOST);
    EXPECT_EQ(Scripted().SendCount(RpcName(pa::protocol::kStopProcesses)), 33);
    probe = RetryProbe{.answer = 2};
    EXPECT_EQ(Call(handle_, pa::protocol::kStopProcesses), PaFAILURE);
    EXPECT_EQ(probe.calls, 1);
    Scripted().Script(RpcName(pa::protocol::kStopProcesses), Reply{});
    probe = RetryProbe{};
    EXPECT_EQ(Call(handle_, pa::protocol::kStopProcesses), PaSUCCESS);
    EXPECT_EQ(Scripted().SendCount(RpcName(pa::protocol::kStopProcesses)), 36);
}

TEST_F(RpcTest, AReadIsSentAgainWhenTheConnectionBrokeUnderItButNotAfterATimeOutOrAChange)
{
    // FreeTDS fails the results of a socket the agent closed without a client message.
    Scripted().Script(RpcName(pa::protocol::kVersionGet), Reply{.outcome = Outcome::kConnectionClosed});
    Scripted().Script(RpcName(pa::protocol::kVersionGet), IntRows({{3, 1}}));
    int32_t major = 0, minor = 0;
    EXPECT_EQ(PaServerGetVersionNo(handle_, &major, &minor), PaSUCCESS);
    EXPECT_EQ(major * 10 + minor, 31);
    EXPECT_EQ(Scripted().SendCount(RpcName(pa::protocol::kVersionGet)), 2);
    EXPECT_EQ(PaServerGetLastError(handle_), PaNETWORK_ERROR);

    Scripted().Script(RpcName(pa::protocol::kStopProcesses), Reply{.outcome = Outcome::kConnectionClosed});
    EXPECT_EQ(PaStopProcesses(handle_), PaFAILURE);  // it may have run: not sent again
    EXPECT_EQ(Scripted().SendCount(RpcName(pa::protocol::kStopProcesses)), 1);
    EXPECT_EQ(PaServerGetLastError(handle_), PaNETWORK_ERROR);

    Scripted().Script(RpcName(pa::protocol::kDebugLevelGet), Reply{.outcome = Outcome::kConnectionClosed});
    Scripted().Script(RpcName(pa::protocol::kDebugLevelGet), IntRows({{4}}, 1));
    ASSERT_EQ(PaSetResultsTimeOut(handle_, 1), PaSUCCESS);
    Scripted().On({.call   = "ct_results",
                   .code   = CS_FAIL,
                   .raises = fakect::ClientMessage(20003, 6, "timed out"),
                   .slice  = std::chrono::milliseconds(100)});
    int32_t level = -1;
    EXPECT_EQ(PaServerGetDebugLevel(handle_, &level), PaFAILURE);
    EXPECT_EQ(Scripted().SendCount(RpcName(pa::protocol::kDebugLevelGet)), 1);
}

using OperationsTest = ConnectedTest;

PaProcess *Process(const char *name, const char *command = "sleep 30")
{
    return PaVaProcessCreate(name, PaPROCESS_HOSTNAME, "node1", PaPROCESS_COMMAND, command, PaPROCESS_RETRY_COUNT,
                             int32_t{3}, 0);
}

struct OwnedProcess {
    PaProcess *process;
    ~OwnedProcess() { PaProcessFree(process); }
};

TEST_F(OperationsTest, CommandsOf255BytesGoAsLongTextToTheLongCommandRpc)
{
    struct Case {
        size_t length;
        bool with_args;
        int32_t rpc;
        CS_INT datatype;
    } cases[] = {{254, false, pa::protocol::kProcessStart, CS_CHAR_TYPE},
                 {255, false, pa::protocol::kProcessStartLong, CS_LONGCHAR_TYPE},
                 {255, true, pa::protocol::kProcessStartWithArgs, CS_LONGCHAR_TYPE}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.length);
        std::string command(c.length, 'c');
        OwnedProcess p{Process("p", command.c_str())};
        EXPECT_EQ(c.with_args ? PaProcessStartWithArgs(handle_, p.process, "x") : PaProcessStart(handle_, p.process),
                  PaSUCCESS);
        EXPECT_EQ(Scripted().Sent().back().name, RpcName(c.rpc));
        EXPECT_EQ(SentParams()[2], "processCommandArg=" + command);
        EXPECT_EQ(Scripted().Sent().back().params[2].datatype, c.datatype);
    }
}

TEST_F(OperationsTest, StatusQueriesReturnTheAgentsStateAndPid)
{
    Scripted().Script(RpcName(pa::protocol::kProcessStatus), IntRows({{2, 4242}}));
    OwnedProcess p{Process("web")};
    int32_t pid = -1;
    EXPECT_EQ(PaProcessStatus(handle_, p.process, &pid), 2);
    EXPECT_EQ(pid, 4242);
}

// A result set with the columns of a protocol row layout.
ResultSet RowsOf(std::span<const pa::protocol::Field> layout, std::vector<Row> rows)
{
    ResultSet set{.rows = std::move(rows)};
    for (const auto &field : layout) {
        bool text = field.type == pa::protocol::Type::kText;
        set.columns.push_back({text ? CS_CHAR_TYPE : CS_INT_TYPE, text ? 256 : 4});
    }
    return set;
}

// A process row: name, host, command, user, managed, PID, restart and alert messages, retries, type.
Row ProcessRow(const char *name) { return {std::string(name), "node1"s, "run"s, 7, 1, 0, "NULL"s, "NULL"s, 2, 0}; }

TEST_F(OperationsTest, ProcessRowsOfTheListAskedForBecomeRecordsInOrder)
{
    Scripted().Script(RpcName(pa::protocol::kProcessList),
                      Reply{.results = {RowsOf(pa::protocol::kProcessColumns, {ProcessRow("a"), ProcessRow("b")})}});
    Scripted().Script(RpcName(pa::protocol::kSingleProcessList),
                      Reply{.results = {RowsOf(pa::protocol::kProcessColumns, {ProcessRow("only")})}});
    for (auto [selector, names] : {std::pair{1, "a b "}, {0, "only "}}) {
        PaList *list = nullptr;
        ASSERT_EQ(PaProcessGetList(handle_, &list, selector), PaSUCCESS);
        std::string listed;
        for (auto *p = static_cast<PaProcess *>(PaListGetHead(list)); p != nullptr;
             p       = static_cast<PaProcess *>(PaListGetNext(p))) {
            listed += Text(p, PaPROCESS_NAME) + " ";
        }
        EXPECT_EQ(listed, names);
        PaProcessListFree(list);
    }
    // Rows cut short by a failed fetch are not the agent's whole list.
    Scripted().On({.call = "ct_fetch", .code = CS_FAIL});
    PaList *list = nullptr;
    EXPECT_EQ(PaProcessGetList(handle_, &list, 1), PaFAILURE);
    EXPECT_EQ(list, nullptr);
}

Row ServiceRow(const char *service, CS_INT kind, const char *value, const char *process)
{
    Row row = {std::string(service), 0, 2, kind, std::string(value)};
    for (auto &column : ProcessRow(process)) {
        row.push_back(column);
    }
    return row;
}

// A row whose service is NULL continues the service before; a service without members is one
// row whose process is NULL. An orphan continuation and a repeated member are refused.
TEST_F(OperationsTest, ServiceRowsWithContinuationRowsBecomeServices)
{
    Row empty_service = ServiceRow("b", 2, "NULL", "NULL");
    empty_service[6]  = std::string("NULL");
    Scripted().Script(
        RpcName(pa::protocol::kServiceList),
        Reply{.results = {RowsOf(pa::protocol::kServiceColumns,
                                 {ServiceRow("NULL", 0, "1", "orphan"), ServiceRow("a", 0, " 42x", "p1"),
                                  ServiceRow("NULL", 1, "text", "p2"), ServiceRow("NULL", 2, "NULL", "p1"),
                                  empty_service, ServiceRow("a", 0, "-3", "p3")})}});
    PaList *list = nullptr;
    ASSERT_EQ(PaServiceGetList(handle_, &list, 1), PaSUCCESS);
    ASSERT_EQ(PaListNumberOfElements(list), 3);
    auto *a     = static_cast<PaService *>(PaListGetHead(list));
    auto *b     = static_cast<PaService *>(PaListGetNext(a));
    auto *again = static_cast<PaService *>(PaListGetNext(b));
    EXPECT_EQ(Describe(a) + "|" + Describe(b) + "|" + Describe(again), "p1=42 p2=text 02|02|p3=-3 02");
    EXPECT_EQ(log_.Texts(PaMSG_ERROR).size(), 2u);
    PaServiceListFree(list);
}

using InformTest = ClientTest;

TEST_F(InformTest, ReportsPidAndProcessIdOverItsOwnConnectionAndReleasesItWhateverTheOutcome)
{
    EXPECT_EQ(PaInformPA(kServer, -5, 77), PaSUCCESS);
    EXPECT_EQ(Scripted().Sent().back().name, RpcName(pa::protocol::kNotification));
    EXPECT_THAT(SentParams(), ElementsAre("processPIDArg=-5", "processIDArg=77"));

    Scripted().Script(RpcName(pa::protocol::kNotification), Reply{.outcome = Outcome::kCommandFails});
    EXPECT_EQ(PaInformPA(kServer, 1, 2), PaFAILURE);
    Scripted().On({.call = "ct_connect", .code = CS_FAIL});
    EXPECT_EQ(PaInformPA(kServer, 1, 2), PaCONNECT_FAILED);
    EXPECT_EQ(PaInformPA(nullptr, 1, 2), PaCONNECT_FAILED);
    EXPECT_EQ(Scripted().Sent().size(), 2u);
}

}  // namespace
