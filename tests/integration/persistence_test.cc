// The configuration file the library writes from fetched lists, read by a fresh agent and
// kept by it across a restart.
#include "support/client.h"

#include <gtest/gtest.h>

#include <cstdio>

namespace {

// Writes a whole configuration file from the agent's service list and routing table.
bool WriteConfiguration(PaConnection *handle, const std::filesystem::path &path)
{
    PaList *services = nullptr, *hosts = nullptr;
    if (PaServiceGetList(handle, &services, 1) != PaSUCCESS || PaHostGetList(handle, &hosts, 0) != PaSUCCESS) {
        return false;
    }
    FILE *file   = std::fopen(path.c_str(), "w");
    bool written = file != nullptr && PaWriteFileHeaders(file) == PaSUCCESS &&
                   PaWriteKnownServiceProcesses(services, file) == PaSUCCESS &&
                   PaWriteKnownServices(services, file) == PaSUCCESS && PaWriteKnownHosts(hosts, file) == PaSUCCESS;
    written = file != nullptr && std::fclose(file) == 0 && written;
    PaServiceListFree(services);
    PaHostListDestroy(hosts);
    return written;
}

TEST(Persistence, WrittenConfigurationIsReadByAFreshAgentAndKeptAcrossARestart)
{
    AgentProcess source;
    Handle handle = OpenHandle(source);
    std::vector<Member> members;
    members.push_back(
        {MakeProcess("db", "sleep 30",
                     {.managed = 1, .retries = 3, .restart_message = "db's back", .alert_message = "db gave up"}),
         PaVALUE_INTEGER,
         -7,
         {}});
    members.push_back({MakeProcess("cache", "sleep 29"), PaVALUE_TEXT, 0, "warm start"});
    Service core = MakeService("core", PaSERVICE_MASTER, PaSERVICE_NON_AUTO, std::move(members));
    std::vector<Member> single;
    single.push_back({MakeProcess("report", "sleep 28", {.type = PaDAEMON_PROCESS}), PaVALUE_NONE, 0, {}});
    Service reports = MakeService("reports", PaSERVICE_NON_MASTER, PaSERVICE_NON_AUTO, std::move(single));
    Service empty   = MakeService("empty", PaSERVICE_NON_MASTER, PaSERVICE_NON_AUTO, {});
    for (const Service *service : {&core, &reports, &empty}) {
        ASSERT_NE(*service, nullptr);
        ASSERT_EQ(PaServiceAdd(handle.get(), service->get()), PaSUCCESS);
    }
    for (auto [host, server] : {std::pair{"alpha", "PA_ONE"}, {"beta", "PA_TWO"}}) {
        PaHost *entry = PaHostCreate(host, server);
        ASSERT_EQ(PaHostAdd(handle.get(), entry), PaSUCCESS);
        PaHostFree(entry);
    }
    const std::string services = FetchServices(handle.get(), 1), hosts = FetchHosts(handle.get(), 0);
    ASSERT_EQ(services, Describe(core.get()) + Describe(reports.get()) + Describe(empty.get()));

    const auto written = FamilyHome() / (source.Name() + ".cfg");
    ASSERT_TRUE(WriteConfiguration(handle.get(), written));
    AgentProcess fresh(written);
    Handle reader = OpenHandle(fresh);
    EXPECT_EQ(FetchServices(reader.get(), 1), services);
    EXPECT_EQ(FetchHosts(reader.get(), 0), hosts);

    // A change makes the agent rewrite the file, which must keep everything else too.
    PaHost *gamma = PaHostCreate("gamma", "PA_THREE");
    EXPECT_EQ(PaHostAdd(reader.get(), gamma), PaSUCCESS);
    PaHostFree(gamma);
    fresh.KillAndRestart();
    Handle again = OpenHandle(fresh);
    EXPECT_EQ(FetchServices(again.get(), 1), services);
    EXPECT_EQ(FetchHosts(again.get(), 0), hosts + "gamma -> PA_THREE\n");
}

TEST(Persistence, AutoServicesStartWhenTheAgentStarts)
{
    AgentProcess agent;
    std::vector<Member> members;
    members.push_back({MakeProcess("auto-member", kSleeper), PaVALUE_NONE, 0, {}});
    Service automatic = MakeService("automatic", PaSERVICE_NON_MASTER, PaSERVICE_AUTO, std::move(members));
    Process probe     = MakeProcess("auto-member", kSleeper);
    {
        Handle handle = OpenHandle(agent);
        ASSERT_EQ(PaServiceAdd(handle.get(), automatic.get()), PaSUCCESS);
        EXPECT_EQ(StatusOf(handle.get(), probe.get()).state, 0);  // defined, not started
    }
    agent.KillAndRestart();
    Handle handle        = OpenHandle(agent);
    ProcessStatus status = AwaitStatus(handle.get(), probe.get(), [](const ProcessStatus &s) { return s.state == 1; });
    EXPECT_EQ(status.state, 1);
    EXPECT_TRUE(Alive(status.pid));
}

}  // namespace
