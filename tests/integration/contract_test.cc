// The protocol contract from both ends at once: every RPC the table says clients call is sent
// by the library operation that owns it to a real agent, which must accept its parameters as
// they are shaped and answer with rows the library reads.
#include "support/client.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <protocol/rpc_table.h>

#include <csignal>
#include <functional>
#include <set>
#include <string>
#include <vector>

namespace protocol = pa::protocol;

namespace {

// The processes, services and routes the operations work on.
struct Stage {
    const AgentProcess &agent;
    PaConnection *handle;
    Process solo                       = MakeProcess("solo", kSleeper);
    Process changed                    = MakeProcess("solo", "exec sleep 29");
    Process long_command               = MakeProcess("long", std::string(kSleeper) + " #" + std::string(300, 'x'));
    Process with_args                  = MakeProcess("with-args", "exec sleep");
    std::filesystem::path reported_pid = agent.Home() / "aware-pid";
    Process aware =
        MakeProcess("aware", std::string(INFORM_HELPER_PATH) + " " + reported_pid.string(), {.type = PaPA_AWARE});
    Service service = Members("svc");
    Service renamed = Members("svc2");
    PaHost *route   = PaHostCreate("node9", "PA_NINE");

    ~Stage() { PaHostFree(route); }

    static void Notified() {}

    // A service with a member of every value kind.
    static Service Members(const std::string &name)
    {
        std::vector<Member> members;
        members.push_back({MakeProcess(name + "-int", kSleeper), PaVALUE_INTEGER, -7, {}});
        members.push_back({MakeProcess(name + "-text", kSleeper), PaVALUE_TEXT, 0, "blue"});
        members.push_back({MakeProcess(name + "-none", kSleeper), PaVALUE_NONE, 0, {}});
        return MakeService(name, PaSERVICE_MASTER, PaSERVICE_NON_AUTO, std::move(members));
    }

    // The result of a list fetch, failed unless it holds at least one record.
    template <class Fetch, class Release>
    static int32_t NonEmpty(Fetch fetch, Release release)
    {
        PaList *list   = nullptr;
        int32_t result = fetch(&list);
        int count      = list != nullptr ? PaListNumberOfElements(list) : 0;
        if (list != nullptr) {
            release(list);
        }
        return result == PaSUCCESS && count == 0 ? PaFAILURE : result;
    }
};

struct Step {
    int32_t rpc;
    std::function<int32_t(Stage &)> run;
};

// Every called RPC in an order in which each one can succeed; the stop of the agent comes last.
std::vector<Step> Scenario()
{
    using namespace protocol;
    return {
        {kDebugLevelSet, [](Stage &s) { return PaServerChangeDebugLevel(s.handle, 2); }},
        {kDebugLevelGet,
         [](Stage &s) {
             int32_t level  = -1;
             int32_t result = PaServerGetDebugLevel(s.handle, &level);
             return result == PaSUCCESS && level != 2 ? PaFAILURE : result;
         }},
        {kVersionGet,
         [](Stage &s) {
             int32_t major = 0, minor = 0;
             int32_t result = PaServerGetVersionNo(s.handle, &major, &minor);
             return result == PaSUCCESS && (major != 3 || minor != 1) ? PaFAILURE : result;
         }},
        {kWhoAmI,
         [](Stage &s) {
             char *user = nullptr, *role = nullptr, *uids = nullptr;
             int32_t result = PaServerWhoAmI(s.handle, &user, &role, &uids);
             const bool read =
                 result == PaSUCCESS && std::string(user) + " " + role + " " + uids == "operator admin any";
             for (char *text : {user, role, uids}) {
                 if (text != nullptr) {
                     PaFree(text);
                 }
             }
             return result == PaSUCCESS && !read ? PaFAILURE : result;
         }},
        // The agent's informational message is kept as the call's last message.
        {kGenerateNotification,
         [](Stage &s) {
             PaInstallNotifcationCB(s.handle, &Stage::Notified, nullptr);
             int32_t result = PaServerGenerateNotification(s.handle);
             PaServerMessage message{};
             const bool kept = PaServerGetLastMessage(s.handle, &message) == PaSUCCESS &&
                               std::string(message.text) == "notification from " + s.agent.Name();
             return result == PaSUCCESS && !kept ? PaFAILURE : result;
         }},
        {kProcessStart, [](Stage &s) { return PaProcessStart(s.handle, s.solo.get()); }},
        // A PA-aware process reports its PID (the helper writes it down too) before its start returns.
        {kNotification,
         [](Stage &s) {
             int32_t result             = PaProcessStartWithTimeOut(s.handle, s.aware.get(), 10);
             const std::string reported = ReadText(s.reported_pid);
             return result == PaSUCCESS && reported != std::to_string(StatusOf(s.handle, s.aware.get()).pid) ? PaFAILURE
                                                                                                             : result;
         }},
        {kProcessStatus,
         [](Stage &s) {
             int32_t pid = 0;
             return PaProcessStatus(s.handle, s.solo.get(), &pid) == 1 && pid > 0 ? PaSUCCESS : PaFAILURE;
         }},
        // Each column of the row lands in its attribute.
        {kProcessHealth,
         [](Stage &s) {
             PaList *list    = nullptr;
             int32_t result  = PaProcessGetHealth(s.handle, "solo", "localhost", &list);
             auto *health    = list != nullptr ? static_cast<const PaHealth *>(PaListGetHead(list)) : nullptr;
             char *texts[3]  = {};
             const bool read = health != nullptr &&
                               PaHealthGetAttribute(health, PaHEALTH_NAME, &texts[0], PaHEALTH_HOST, &texts[1],
                                                    PaHEALTH_STATE, &texts[2], 0) == PaSUCCESS &&
                               std::string(texts[0]) + " " + texts[1] + " " + (texts[2] != nullptr ? texts[2] : "-") ==
                                   "solo localhost ready";
             for (char *text : texts) {
                 if (text != nullptr) {
                     PaFree(text);
                 }
             }
             if (list != nullptr) {
                 PaHealthListFree(list);
             }
             return result == PaSUCCESS && !read ? PaFAILURE : result;
         }},
        // Each column of the row lands in its attribute: those of text, of 32 and of 64 bits.
        {kProcessStats,
         [](Stage &s) {
             PaList *list    = nullptr;
             int32_t result  = PaProcessGetStats(s.handle, "solo", "localhost", &list);
             auto *stats     = list != nullptr ? static_cast<const PaStats *>(PaListGetHead(list)) : nullptr;
             char *name      = nullptr;
             int32_t pid     = 0;
             int32_t threads = 0;
             int32_t signal  = 0;
             int64_t memory  = 0;
             int64_t started = 0;
             const bool read = stats != nullptr &&
                               PaStatsGetAttribute(stats, PaSTATS_NAME, &name, PaSTATS_PID, &pid, PaSTATS_THREADS,
                                                   &threads, PaSTATS_LAST_EXIT_SIGNAL, &signal, PaSTATS_MEMORY, &memory,
                                                   PaSTATS_STARTED_AT, &started, 0) == PaSUCCESS &&
                               std::string(name) == "solo" && pid == StatusOf(s.handle, s.solo.get()).pid &&
                               threads == 1 && signal == -1 && memory > 0 && started > 1'000'000'000;
             if (name != nullptr) {
                 PaFree(name);
             }
             if (list != nullptr) {
                 PaStatsListFree(list);
             }
             return result == PaSUCCESS && !read ? PaFAILURE : result;
         }},
        {kSignalProcess, [](Stage &s) { return PaProcessSignal(s.handle, s.solo.get(), SIGCONT); }},
        {kProcessOutput,
         [](Stage &s) {
             int64_t cursor = -1, lost = 0;
             char *text     = nullptr;
             size_t length  = 0;
             int32_t result = PaProcessOutputRead(s.handle, s.solo.get(), &cursor, 10, 0, &text, &length, &lost);
             PaFree(text);
             return result == PaSUCCESS && cursor != 0 ? PaFAILURE : result;
         }},
        {kProcessList,
         [](Stage &s) {
             return Stage::NonEmpty([&](PaList **l) { return PaProcessGetList(s.handle, l, 1); }, PaProcessListFree);
         }},
        {kSingleProcessList,
         [](Stage &s) {
             return Stage::NonEmpty([&](PaList **l) { return PaProcessGetList(s.handle, l, 0); }, PaProcessListFree);
         }},
        {kProcessStop, [](Stage &s) { return PaProcessStop(s.handle, s.solo.get()); }},
        {kProcessChange, [](Stage &s) { return PaProcessChange(s.handle, "solo", s.changed.get()); }},
        {kProcessStartLong, [](Stage &s) { return PaProcessStart(s.handle, s.long_command.get()); }},
        {kProcessStartWithArgs, [](Stage &s) { return PaProcessStartWithArgs(s.handle, s.with_args.get(), "30"); }},
        {kProcessState, [](Stage &s) { return PaProcessForwardStateRequest(s.handle, s.with_args.get(), 0); }},
        {kStopProcesses, [](Stage &s) { return PaStopProcesses(s.handle); }},
        {kStartProcesses, [](Stage &s) { return PaStartProcesses(s.handle); }},
        {kServiceStart, [](Stage &s) { return PaServiceAdd(s.handle, s.service.get()); }},
        {kServiceStatus,
         [](Stage &s) { return PaServiceStatus(s.handle, s.service.get()) == 0 ? PaSUCCESS : PaFAILURE; }},
        {kServiceList,
         [](Stage &s) {
             return Stage::NonEmpty([&](PaList **l) { return PaServiceGetList(s.handle, l, 1); }, PaServiceListFree);
         }},
        {kServiceChange, [](Stage &s) { return PaServiceChange(s.handle, "svc", s.renamed.get()); }},
        {kServiceStart, [](Stage &s) { return PaServiceStart(s.handle, s.renamed.get()); }},
        {kSingleServiceList,
         [](Stage &s) {
             return Stage::NonEmpty([&](PaList **l) { return PaServiceGetList(s.handle, l, 0); }, PaServiceListFree);
         }},
        {kServiceStop, [](Stage &s) { return PaServiceStop(s.handle, s.renamed.get()); }},
        {kServiceRemove, [](Stage &s) { return PaServiceRemove(s.handle, s.renamed.get()); }},
        {kHostAdd, [](Stage &s) { return PaHostAdd(s.handle, s.route); }},
        {kHostList,
         [](Stage &s) {
             return Stage::NonEmpty([&](PaList **l) { return PaHostGetList(s.handle, l, 0); }, PaHostListDestroy);
         }},
        {kHostRemove, [](Stage &s) { return PaHostRemove(s.handle, s.route); }},
        {kEventWait,
         [](Stage &s) {
             int64_t cursor = 0;  // of no run of the agent: every event kept comes
             return Stage::NonEmpty([&](PaList **l) { return PaEventWait(s.handle, &cursor, 0, l); }, PaEventListFree);
         }},
        {kStopPa, [](Stage &s) { return PaStopPA(s.handle, 1); }},
    };
}

TEST(Contract, EveryCalledRpcIsSentAsTheAgentExpectsAndItsRowsAreRead)
{
    std::set<int32_t> called, covered;
    for (int32_t rpc = 0; rpc < protocol::kRpcCount; ++rpc) {
        if (protocol::kRpcs[static_cast<size_t>(rpc)].called) {
            called.insert(rpc);
        }
    }
    AgentProcess agent;
    Handle handle = OpenHandle(agent);
    ASSERT_EQ(PaConnectValidAndOpen(handle.get()), PaSUCCESS);
    Stage stage{agent, handle.get()};
    for (const Step &step : Scenario()) {
        const std::string name(protocol::kRpcs[static_cast<size_t>(step.rpc)].name);
        SCOPED_TRACE(name);
        covered.insert(step.rpc);
        const size_t before = agent.Errors().size();
        EXPECT_EQ(step.run(stage), PaSUCCESS);
        PaServerMessage refusal{};
        if (PaServerGetLastMessage(stage.handle, &refusal) == PaSUCCESS && refusal.severity > 10) {
            ADD_FAILURE() << "refused: " << refusal.text;
        }
        // The agent logs every request by name from debug level 2 on.
        if (step.rpc != protocol::kDebugLevelSet) {
            EXPECT_THAT(agent.Errors().substr(before), testing::HasSubstr("RPC " + name + " from user"));
        }
    }
    EXPECT_EQ(covered, called);
    EXPECT_TRUE(agent.WaitForExit(kWaitLimit).has_value());
}

}  // namespace
