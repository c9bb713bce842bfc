// Process, service and routing operations against the scripted Client-Library: what each sends,
// how reply rows become records, and what a failure leaves to the caller.
#include "support/client_fixture.h"

#include <cstring>
#include <string>

using namespace client;
using fakect::agent;
using fakect::Null;
using fakect::Outcome;
using fakect::Reply;
using fakect::ResultSet;
using fakect::Row;
using testing::ElementsAre;
using testing::ElementsAreArray;
using testing::IsEmpty;

namespace {

using OperationsTest = ConnectedTest;

// The name, datatype and value of every parameter of the last RPC sent.
std::vector<std::string> SentParams()
{
    std::vector<std::string> params;
    for (const auto &param : agent().Sent().back().params) {
        std::string value = param.value.value_or("<none>");
        if (param.datatype == CS_INT_TYPE) {
            int32_t number = 0;
            std::memcpy(&number, value.data(), sizeof number);
            value = std::to_string(number);
        } else if (!value.empty() && value.back() == '\0') {
            value.pop_back();
        }
        params.push_back(param.name + ":" + std::to_string(param.datatype) + "=" + value);
    }
    return params;
}

PaProcess *Process(const char *name, const char *command = "sleep 30")
{
    return PaVaProcessCreate(name, PaPROCESS_HOSTNAME, "node1", PaPROCESS_COMMAND, command, PaPROCESS_EUID, int32_t{7},
                             PaPROCESS_MANAGED, int32_t{1}, PaPROCESS_RESTART_MSG, "again", PaPROCESS_RETRY_COUNT,
                             int32_t{3}, PaPROCESS_TYPE, int32_t{PaPA_AWARE}, 0);
}

struct OwnedProcess {
    PaProcess *process;
    ~OwnedProcess() { PaProcessFree(process); }
};

TEST_F(OperationsTest, LongCommandsGoAsLongTextToTheLongCommandRpc)
{
    std::string command254(254, 'c');
    std::string command255(255, 'c');
    OwnedProcess shorter{Process("p", command254.c_str())};
    OwnedProcess longer{Process("p", command255.c_str())};
    PaProcessStart(handle, shorter.process);
    EXPECT_EQ(agent().Sent().back().name, RpcName(pa::protocol::kProcessStart));
    EXPECT_EQ(SentParams()[2], "processCommandArg:0=" + command254);
    PaProcessStart(handle, longer.process);
    EXPECT_EQ(agent().Sent().back().name, RpcName(pa::protocol::kProcessStartLong));
    EXPECT_EQ(SentParams()[2], "processCommandArg:2=" + command255);
    PaProcessStartWithArgs(handle, longer.process, "x");
    EXPECT_EQ(agent().Sent().back().name, RpcName(pa::protocol::kProcessStartWithArgs));
    EXPECT_EQ(SentParams()[2], "processCommandArg:2=" + command255);
}

TEST_F(OperationsTest, MissingHostOrCommandIsRefusedBeforeAnythingIsSent)
{
    OwnedProcess noHost{PaVaProcessCreate("p", PaPROCESS_COMMAND, "sleep 1", 0)};
    OwnedProcess noCommand{PaVaProcessCreate("p", PaPROCESS_HOSTNAME, "node1", 0)};
    EXPECT_EQ(PaProcessStart(handle, noHost.process), PaMISSING_ARGUMENT);
    EXPECT_EQ(PaProcessStart(handle, noCommand.process), PaMISSING_ARGUMENT);
    EXPECT_EQ(PaProcessStop(handle, noHost.process), PaMISSING_ARGUMENT);
    EXPECT_EQ(PaProcessSignal(handle, noHost.process, 9), PaMISSING_ARGUMENT);
    int32_t status = -1;
    EXPECT_EQ(PaProcessStatus(handle, noHost.process, &status), PaSTATUS_UNKNOWN);
    EXPECT_EQ(status, -1);
    EXPECT_EQ(PaProcessStartWithArgs(handle, noHost.process, nullptr), PaMISSING_ARGUMENT);
    EXPECT_THAT(Errors(),
                ElementsAre("Attempt to send process with no hostname.", "Attempt to send process with no command.",
                            "Missing command argument in process.", "Missing command argument in process.",
                            "Missing command argument in process."));
    EXPECT_THAT(agent().Sent(), IsEmpty());
}

TEST_F(OperationsTest, StatusQueriesReturnTheAgentsState)
{
    // Scripted replies are used in order: a row, no row, a failed command.
    for (const std::string &rpc : {RpcName(pa::protocol::kProcessStatus), RpcName(pa::protocol::kServiceStatus)}) {
        agent().Script(rpc, IntRows({{2, 4242}}));
        agent().Script(rpc, Reply{});
        agent().Script(rpc, Reply{.outcome = Outcome::CommandFails});
    }
    OwnedProcess p{Process("web")};
    int32_t pid = -1;
    EXPECT_EQ(PaProcessStatus(handle, p.process, &pid), 2);
    EXPECT_EQ(pid, 4242);
    EXPECT_EQ(PaProcessStatus(handle, p.process, &pid), PaSTATUS_UNKNOWN);
    EXPECT_EQ(pid, 0);
    pid = -1;
    EXPECT_EQ(PaProcessStatus(handle, p.process, &pid), PaPROCESS_STATUS_FAILED);
    EXPECT_EQ(pid, -1);

    PaService *service = PaVaServiceCreate("svc", 0);
    EXPECT_EQ(PaServiceStatus(handle, service), 2);
    EXPECT_THAT(SentParams(), ElementsAre("serviceNameArg:0=svc"));
    EXPECT_EQ(PaServiceStatus(handle, service), PaSTATUS_UNKNOWN);
    EXPECT_EQ(PaServiceStatus(handle, service), PaSERVICE_STATUS_FAILED);
    PaServiceFree(service);
}

void AddMember(PaService *service, PaProcess *process, int32_t kind, int32_t number, const char *text)
{
    PaServProcess entry{process, kind, {}};
    if (kind == PaVALUE_TEXT) {
        entry.value.textValue = PaStrDup(text);
    } else {
        entry.value.intValue = number;
    }
    ASSERT_EQ(PaServiceAddProcess(service, &entry, 0), PaSUCCESS);
}

TEST_F(OperationsTest, AServiceWithAnIncompleteMemberSendsNothing)
{
    PaService *service = PaVaServiceCreate("svc", 0);
    AddMember(service, Process("a"), PaVALUE_NONE, 0, nullptr);
    AddMember(service, PaVaProcessCreate("b", PaPROCESS_COMMAND, "x", 0), PaVALUE_NONE, 0, nullptr);
    EXPECT_EQ(PaServiceStart(handle, service), PaMISSING_ARGUMENT);
    EXPECT_THAT(Errors(), ElementsAre("Attempt to send process with no hostname."));
    EXPECT_THAT(agent().Sent(), IsEmpty());
    PaServiceFree(service);
}

ResultSet ProcessRows(std::vector<Row> rows)
{
    ResultSet set;
    for (const char *name : {"name", "host", "command"}) {
        set.columns.push_back({name, CS_CHAR_TYPE, 255});
    }
    for (const char *name : {"euid", "managed", "pid"}) {
        set.columns.push_back({name, CS_INT_TYPE, 4});
    }
    set.columns.push_back({"restart", CS_CHAR_TYPE, 255});
    set.columns.push_back({"alert", CS_CHAR_TYPE, 255});
    set.columns.push_back({"retry", CS_INT_TYPE, 4});
    set.columns.push_back({"type", CS_INT_TYPE, 4});
    set.rows = std::move(rows);
    return set;
}

Row ProcessRow(const char *name, const char *command, const char *restart, CS_INT pid)
{
    return {std::string(name),
            std::string("node1"),
            std::string(command),
            CS_INT{7},
            CS_INT{1},
            pid,
            std::string(restart),
            std::string("NULL"),
            CS_INT{2},
            CS_INT{0}};
}

std::string Text(const PaProcess *process, int32_t id)
{
    char *text = nullptr;
    PaProcessGetAttribute(process, id, &text, 0);
    std::string copy = text != nullptr ? text : "<none>";
    if (text != nullptr) {
        PaFree(text);
    }
    return copy;
}

TEST_F(OperationsTest, ProcessRowsBecomeRecordsInOrder)
{
    agent().Script(
        RpcName(pa::protocol::kProcessList),
        Reply{.results = {ProcessRows({ProcessRow("a", "NULL", "NULL", 10), ProcessRow("b", "run b", "again", 11)})}});
    PaList *list = nullptr;
    ASSERT_EQ(PaProcessGetList(handle, &list, 1), PaSUCCESS);
    ASSERT_EQ(PaListNumberOfElements(list), 2);
    auto *first  = static_cast<PaProcess *>(PaListGetHead(list));
    auto *second = static_cast<PaProcess *>(PaListGetNext(first));
    EXPECT_EQ(Text(first, PaPROCESS_NAME), "a");
    EXPECT_EQ(Text(first, PaPROCESS_COMMAND), "NULL");
    EXPECT_EQ(Text(first, PaPROCESS_RESTART_MSG), "<none>");
    EXPECT_EQ(Text(first, PaPROCESS_ALERT_MSG), "<none>");
    EXPECT_EQ(Text(second, PaPROCESS_RESTART_MSG), "again");
    int32_t pid = 0, retries = 0, type = -1;
    PaProcessGetAttribute(second, PaPROCESS_PID, &pid, PaPROCESS_RETRY_COUNT, &retries, PaPROCESS_TYPE, &type, 0);
    EXPECT_EQ(pid, 11);
    EXPECT_EQ(retries, 2);
    EXPECT_EQ(type, PaDAEMON_PROCESS);
    PaProcessListFree(list);

    agent().Script(RpcName(pa::protocol::kSingleProcessList), Reply{});
    ASSERT_EQ(PaProcessGetList(handle, &list, 0), PaSUCCESS);
    EXPECT_EQ(PaListNumberOfElements(list), 0);
    PaProcessListFree(list);
}

ResultSet ServiceRows(std::vector<Row> rows)
{
    ResultSet set;
    set.columns = {{"service", CS_CHAR_TYPE, 64},
                   {"type", CS_INT_TYPE, 4},
                   {"start", CS_INT_TYPE, 4},
                   {"kind", CS_INT_TYPE, 4},
                   {"value", CS_CHAR_TYPE, 64}};
    for (auto &column : ProcessRows({}).columns) {
        set.columns.push_back(column);
    }
    set.rows = std::move(rows);
    return set;
}

Row ServiceRow(const char *service, CS_INT kind, const char *value, const char *process)
{
    Row row = {std::string(service), CS_INT{0}, CS_INT{2}, kind, std::string(value)};
    for (auto &column : ProcessRow(process, "run", "NULL", 0)) {
        row.push_back(column);
    }
    return row;
}

std::vector<std::string> Members(const PaService *service)
{
    PaList *members = nullptr;
    PaServiceGetAttribute(service, PaSERVICE_PROCESS_LIST, &members, 0);
    std::vector<std::string> names;
    for (auto *m = static_cast<PaServProcess *>(PaListGetHead(members)); m != nullptr;
         m       = static_cast<PaServProcess *>(PaListGetNext(m))) {
        std::string value =
            m->kind == PaVALUE_TEXT ? std::string(m->value.textValue) : std::to_string(m->value.intValue);
        names.push_back(Text(m->process, PaPROCESS_NAME) + "=" + value);
    }
    PaServiceProcessListDestroy(members);
    return names;
}

TEST_F(OperationsTest, ServiceRowsWithContinuationRowsBecomeServices)
{
    Row emptyService = ServiceRow("b", 2, "NULL", "NULL");
    emptyService[6]  = std::string("NULL");
    agent().Script(
        RpcName(pa::protocol::kServiceList),
        Reply{.results = {ServiceRows({ServiceRow("NULL", 0, "1", "orphan"), ServiceRow("a", 0, " 42x", "p1"),
                                       ServiceRow("NULL", 1, "text", "p2"), ServiceRow("NULL", 2, "NULL", "p1"),
                                       emptyService, ServiceRow("a", 0, "-3", "p3")})}});
    PaList *list = nullptr;
    ASSERT_EQ(PaServiceGetList(handle, &list, 1), PaSUCCESS);
    ASSERT_EQ(PaListNumberOfElements(list), 3);
    auto *a     = static_cast<PaService *>(PaListGetHead(list));
    auto *b     = static_cast<PaService *>(PaListGetNext(a));
    auto *again = static_cast<PaService *>(PaListGetNext(b));
    EXPECT_THAT(Members(a), ElementsAre("p1=42", "p2=text"));
    EXPECT_THAT(Members(b), IsEmpty());
    EXPECT_THAT(Members(again), ElementsAre("p3=-3"));
    EXPECT_THAT(Errors(), ElementsAre("Error in retrieved process for a service element.",
                                      "Failed to add fetched process to service."));
    PaServiceListFree(list);
}

TEST_F(OperationsTest, RowsOfAnotherLayoutRefuseTheList)
{
    agent().Script(RpcName(pa::protocol::kHostList), IntRows({{1, 2}}));
    PaList *list = nullptr;
    EXPECT_EQ(PaHostGetList(handle, &list, 0), PaFAILURE);
    EXPECT_EQ(list, nullptr);
    EXPECT_THAT(Errors(), ElementsAre("Unexpected row layout from RPC 17; the results are refused."));
}

TEST_F(OperationsTest, RepeatedSendsNeverDuplicateRecords)
{
    RetryProbe retry;
    PaInstallRetryCB(handle, &RetryProbe::Answer, &retry);
    Reply rows{.results = {ProcessRows({ProcessRow("a", "run", "NULL", 1)})}};
    Reply failing   = rows;
    failing.outcome = Outcome::CommandFails;
    agent().Script(RpcName(pa::protocol::kProcessList), failing);
    agent().Script(RpcName(pa::protocol::kProcessList), rows);
    PaList *list = nullptr;
    ASSERT_EQ(PaProcessGetList(handle, &list, 1), PaSUCCESS);
    EXPECT_EQ(agent().SendCount(RpcName(pa::protocol::kProcessList)), 2);
    EXPECT_EQ(PaListNumberOfElements(list), 1);
    PaProcessListFree(list);
}

TEST_F(OperationsTest, FailedListFetchesLeaveNoPartialList)
{
    Reply failing{.results = {ProcessRows({ProcessRow("a", "run", "NULL", 1)})}, .outcome = Outcome::CommandFails};
    agent().Script(RpcName(pa::protocol::kProcessList), failing);
    PaList *list = reinterpret_cast<PaList *>(&failing);
    EXPECT_EQ(PaProcessGetList(handle, &list, 1), PaFAILURE);
    EXPECT_EQ(list, nullptr);

    agent().Script(RpcName(pa::protocol::kHostList), Reply{.outcome = Outcome::CommandFails});
    list = reinterpret_cast<PaList *>(&failing);
    EXPECT_EQ(PaHostGetList(handle, &list, 0), PaFAILURE);
    EXPECT_EQ(list, reinterpret_cast<PaList *>(&failing));

    // A lost connection that cannot be restored: the code passes through, except for services.
    agent().SetStatus(handle->connection, CS_CONSTAT_DEAD);
    agent().On("ct_connect").Returns(CS_FAIL).Always();
    list = reinterpret_cast<PaList *>(&failing);
    EXPECT_EQ(PaServiceGetList(handle, &list, 1), PaFAILURE);
    EXPECT_EQ(list, nullptr);
    EXPECT_EQ(PaProcessGetList(handle, &list, 1), PaCONNECT_FAILED);
}

TEST_F(OperationsTest, ALostConnectionIsReconnectedOnceAndTheCallRepeated)
{
    OwnedProcess p{Process("web")};
    agent().SetStatus(handle->connection, CS_CONSTAT_DEAD);
    agent().On("ct_connect").Returns(CS_FAIL);  // the engine's own reconnection fails once
    EXPECT_EQ(PaProcessStop(handle, p.process), PaSUCCESS);
    EXPECT_EQ(agent().Log({"ct_connect"}).size(), 2u);
    EXPECT_EQ(agent().SendCount(RpcName(pa::protocol::kProcessStop)), 1);
    EXPECT_THAT(Errors(), testing::Contains("Failed to allocate command context and reconnect."));
}

}  // namespace
