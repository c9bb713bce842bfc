// The library as the tests use it: connected handles, records, status polling and readable
// forms of the lists the library fetches.
#ifndef AGENTCLIENT_TESTS_CLIENT_H
#define AGENTCLIENT_TESTS_CLIENT_H

#include "support/agent_process.h"
#include "support/text_file.h"

#include <agentclient/pa.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

constexpr const char *kHost = "localhost";
// Runs for 30 seconds as the shell's own process: a shell that forks its command can miss a
// stop signal sent to its group while it forks, leaving the command behind.
constexpr const char *kSleeper = "exec sleep 30";
constexpr std::chrono::seconds kWaitLimit{10};

struct HandleDestroy {
    void operator()(PaConnection *handle) const { PaConnectDestroy(handle); }
};
struct ProcessFree {
    void operator()(PaProcess *process) const { PaProcessFree(process); }
};
struct ServiceFree {
    void operator()(PaService *service) const { PaServiceFree(service); }
};
using Handle  = std::unique_ptr<PaConnection, HandleDestroy>;
using Process = std::unique_ptr<PaProcess, ProcessFree>;
using Service = std::unique_ptr<PaService, ServiceFree>;

// A handle on agent logged in as its users-file user; connected unless the connect failed.
Handle OpenHandle(const AgentProcess &agent);
// The result of PaConnect on a new handle for agent with the given login.
int32_t TryLogin(const AgentProcess &agent, const char *user, const char *password);

struct ProcessSettings {
    int32_t managed             = 0;
    int32_t retries             = 0;
    int32_t type                = PaNOT_PA_AWARE;
    const char *restart_message = nullptr;
    const char *alert_message   = nullptr;
};
// A process of this host, run as the user of the test.
Process MakeProcess(const std::string &name, const std::string &command, const ProcessSettings &settings = {});

struct Member {
    Process process;
    int32_t kind   = PaVALUE_NONE;
    int32_t number = 0;
    std::string text;
};
Service MakeService(const std::string &name, int32_t type, int32_t start, std::vector<Member> members);

struct ProcessStatus {
    int32_t state = -1;
    int32_t pid   = 0;
};
ProcessStatus StatusOf(PaConnection *handle, const PaProcess *process);
// Polls the status until done accepts it or kWaitLimit passes; returns the last status seen.
ProcessStatus AwaitStatus(PaConnection *handle, const PaProcess *process,
                          const std::function<bool(const ProcessStatus &)> &done);
// Polls condition until it holds (true) or kWaitLimit passes (false).
bool Eventually(const std::function<bool()> &condition);

// A service with its members and every field the agent keeps, PIDs left out.
std::string Describe(const PaService *service);
// The fetched lists, one line per record with every field the agent keeps; "failed: CODE"
// when the fetch fails.
std::string FetchServices(PaConnection *handle, int32_t selector);
std::string FetchHosts(PaConnection *handle, int32_t fetch_argument);
std::string FetchProcesses(PaConnection *handle, int32_t selector);

#endif
