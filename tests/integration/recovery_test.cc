// A handle outliving its agent's crash, and two handles working at once.
#include "support/client.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace {

TEST(Recovery, ReadsSurviveRestartsOfTheAgentAndABrokenChangeIsANetworkError)
{
    AgentProcess agent;
    Handle handle = OpenHandle(agent);
    PaHost *route = PaHostCreate("kept", agent.Name().c_str());
    ASSERT_EQ(PaHostAdd(handle.get(), route), PaSUCCESS);
    const int port = agent.Port();
    Process probe  = MakeProcess("never-started", kSleeper);
    std::vector<Member> members;
    members.push_back({MakeProcess("never-started", kSleeper), PaVALUE_NONE, 0, {}});
    Service kept = MakeService("kept", PaSERVICE_NON_MASTER, PaSERVICE_NON_AUTO, std::move(members));
    ASSERT_EQ(PaServiceAdd(handle.get(), kept.get()), PaSUCCESS);  // defined, kept across restarts
    // A read changes nothing, so one that finds the connection broken is sent again at once.
    for (int restart = 0; restart < 20; ++restart) {
        SCOPED_TRACE(restart);
        agent.KillAndRestart();
        ASSERT_EQ(agent.Port(), port);
        int32_t major = 0, minor = 0;
        switch (restart % 3) {
        case 0: EXPECT_EQ(PaServerGetVersionNo(handle.get(), &major, &minor), PaSUCCESS); break;
        case 1: EXPECT_EQ(FetchHosts(handle.get(), 0), "kept -> " + agent.Name() + "\n"); break;
        case 2: EXPECT_EQ(StatusOf(handle.get(), probe.get()).state, 0); break;
        }
    }
    // A change may have run before the connection broke: it fails, classified, and the next
    // call reconnects.
    agent.KillAndRestart();
    if (PaHostRemove(handle.get(), route) != PaSUCCESS) {
        EXPECT_EQ(PaServerGetLastError(handle.get()), PaNETWORK_ERROR);
        EXPECT_EQ(PaHostRemove(handle.get(), route), PaSUCCESS);
    }
    EXPECT_EQ(FetchHosts(handle.get(), 0), "");
    PaHostFree(route);
}

// Each thread owns a handle and a process and drives them through rounds of calls for ten
// seconds.
int Drive(PaConnection *handle, const std::string &tag, const std::string &server)
{
    int failures    = 0;
    Process process = MakeProcess("process-" + tag, kSleeper);
    auto end        = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (int round = 0; std::chrono::steady_clock::now() < end; ++round) {
        PaHost *route = PaHostCreate((tag + std::to_string(round)).c_str(), server.c_str());
        int32_t major = 0, minor = 0, level = -1;
        failures += PaHostAdd(handle, route) != PaSUCCESS;
        failures += PaProcessStart(handle, process.get()) != PaSUCCESS;
        failures += StatusOf(handle, process.get()).state != 1;
        failures += PaServerGetVersionNo(handle, &major, &minor) != PaSUCCESS || major != 3;
        failures += PaServerGetDebugLevel(handle, &level) != PaSUCCESS || level < 0;
        failures += PaProcessStop(handle, process.get()) != PaSUCCESS;
        failures += PaHostRemove(handle, route) != PaSUCCESS;
        PaHostFree(route);
    }
    return failures;
}

TEST(Recovery, TwoHandlesWorkAtOnce)
{
    AgentProcess agent;
    Handle one = OpenHandle(agent), two = OpenHandle(agent);
    ASSERT_EQ(PaConnectValidAndOpen(one.get()), PaSUCCESS);
    ASSERT_EQ(PaConnectValidAndOpen(two.get()), PaSUCCESS);
    int failures_one = -1, failures_two = -1;
    std::thread first([&] { failures_one = Drive(one.get(), "one", agent.Name()); });
    std::thread second([&] { failures_two = Drive(two.get(), "two", agent.Name()); });
    first.join();
    second.join();
    EXPECT_EQ(failures_one, 0);
    EXPECT_EQ(failures_two, 0);
    EXPECT_EQ(FetchHosts(one.get(), 0), "");
    EXPECT_EQ(FetchProcesses(two.get(), 0), "");
}

}  // namespace
