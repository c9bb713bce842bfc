// A handle outliving its agent's crash, and two handles working at once.
#include "support/client.h"

#include <gtest/gtest.h>

#include <thread>

namespace {

TEST(Recovery, HandleReconnectsToTheAgentRestartedOnTheSamePort)
{
    AgentProcess agent;
    Handle handle = OpenHandle(agent);
    PaHost *route = PaHostCreate("kept", agent.name().c_str());
    ASSERT_EQ(PaHostAdd(handle.get(), route), PaSUCCESS);
    PaHostFree(route);
    const int port = agent.port();

    agent.KillAndRestart();
    ASSERT_EQ(agent.port(), port);
    // A drop noticed only at the send costs one failed call; the dead connection it leaves
    // makes the next call reconnect.
    int32_t major = 0, minor = 0;
    int32_t first = PaServerGetVersionNo(handle.get(), &major, &minor);
    if (first != PaSUCCESS) {
        EXPECT_EQ(first, PaFAILURE);
        EXPECT_EQ(PaServerGetVersionNo(handle.get(), &major, &minor), PaSUCCESS);
    }
    EXPECT_EQ(major, 3);
    EXPECT_EQ(minor, 1);
    EXPECT_EQ(PaConnectValidAndOpen(handle.get()), PaSUCCESS);
    EXPECT_EQ(FetchHosts(handle.get(), 0), "kept -> " + agent.name() + "\n");  // the same home
}

// Each thread owns a handle and a process and drives them through a series of calls.
int Drive(PaConnection *handle, const std::string &tag, const std::string &server)
{
    int failures    = 0;
    Process process = MakeProcess("process-" + tag, kSleeper);
    for (int round = 0; round < 10; ++round) {
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
    int failuresOne = -1, failuresTwo = -1;
    std::thread first([&] { failuresOne = Drive(one.get(), "one", agent.name()); });
    std::thread second([&] { failuresTwo = Drive(two.get(), "two", agent.name()); });
    first.join();
    second.join();
    EXPECT_EQ(failuresOne, 0);
    EXPECT_EQ(failuresTwo, 0);
    EXPECT_EQ(FetchHosts(one.get(), 0), "");
    EXPECT_EQ(FetchProcesses(two.get(), 0), "");
}

}  // namespace
