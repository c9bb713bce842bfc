// The benchmarks and the fixtures they run against.
#ifndef AGENTCLIENT_BENCH_BENCHMARKS_H
#define AGENTCLIENT_BENCH_BENCHMARKS_H

#include "agent_env.h"

#include <benchmark/benchmark.h>
#include <ctpublic.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace bench {

// Names of the two benchmarks main compares.
inline constexpr const char *kLibraryRpc      = "version_rpc/library";
inline constexpr const char *kBareRpc         = "version_rpc/bare_ctlib";
inline constexpr const char *kEncryptedLogin  = "login/encrypted";
inline constexpr const char *kClearLogin      = "login/clear";
inline constexpr const char *kDirectStatus    = "routed_status/direct";
inline constexpr const char *kForwardedStatus = "routed_status/forwarded";
inline constexpr const char *kFollowedOutput  = "followed_output";
inline constexpr const char *kEventLatency    = "event_latency";

// A Client-Library connection of its own to the agent, logged in like the library's, for a
// loop that makes the same RPC without the library.
class BareConnection {
public:
    // Throws std::runtime_error when it cannot connect.
    explicit BareConnection(const AgentEnv &env);
    ~BareConnection();
    BareConnection(const BareConnection &)            = delete;
    BareConnection &operator=(const BareConnection &) = delete;

    // pa_ServerVersionGetRPC: one command, sent, its row bound and fetched, dropped. False
    // when any step fails or no row came.
    bool VersionRpc(CS_INT *major, CS_INT *minor);

private:
    void Release();

    CS_CONTEXT *context_       = nullptr;
    CS_CONNECTION *connection_ = nullptr;
};

// Makes a few hundred calls both ways, so that neither is timed cold; throws
// std::runtime_error when one fails.
void WarmUpRpcs(PaConnection *handle, BareConnection *bare);

// Registers the library's PaServerGetVersionNo and the bare loop, each counting calls.
void RegisterRpcBenchmarks(PaConnection *handle, BareConnection *bare);

// Registers whole logins through the library: with the password encrypted to PA_SERVER and,
// when PA_CLEAR_SERVER names the same agent with encryption off, in clear.
void RegisterLoginBenchmarks(const AgentEnv &env);

// Process definitions on the agent, made without running anything: services added with
// PaServiceAdd have their members, each a long sleep, defined, not started. Stopped when they
// were started, and removed, on destruction.
class DefinedProcesses {
public:
    // count processes as services named PREFIX-0 and on, of at most members_per_service
    // members each. Throws std::runtime_error when a service cannot be added.
    DefinedProcesses(PaConnection *handle, const std::string &prefix, int count, int members_per_service);
    ~DefinedProcesses();
    DefinedProcesses(const DefinedProcesses &)            = delete;
    DefinedProcesses &operator=(const DefinedProcesses &) = delete;

    int Count() const { return count_; }

    // Start or stop every service, one call each; throw std::runtime_error with the agent's
    // reason when one fails.
    void StartAll();
    void StopAll();
    // Whether the agent reports every member of every service running.
    bool AllRunning() const;

private:
    std::string ServiceName(size_t index) const;
    void RemoveAll();

    PaConnection *handle_;
    std::string prefix_;
    std::vector<PaService *> services_;
    int count_    = 0;
    bool started_ = false;  // StartAll was called since the last StopAll that succeeded
};

// The number of processes the agent lists (only the running ones, or every defined one); -1
// when the fetch fails.
int CountProcesses(PaConnection *handle, bool running_only);

// Registers the fetch and decoding of every defined process; defined is how many the fixture
// defined.
void RegisterListBenchmark(PaConnection *handle, int defined);

// A handle for the supervision benchmarks, whose calls may take minutes where the agent runs
// thousands of processes; throws std::runtime_error when it cannot connect.
PaConnection *ConnectSupervisor(const AgentEnv &env);

// The supervision benchmarks that share one count of processes running beside them: sleeping
// members of services, started by the first of the benchmarks that runs, and stopped and
// removed with the turn. The turns run one after another, so that each count is started once.
class SupervisionTurn {
public:
    // With process_benchmarks, one process's start, stop and both beside running others, and the
    // figures of every process; with running 0, a whole service's start and stop; with
    // idle_seconds, the agent's CPU while idle that long. agent_pid is the agent's (0 when
    // unknown), whose CPU time the figures' and the idle benchmarks read.
    SupervisionTurn(PaConnection *handle, int running, bool process_benchmarks, long agent_pid,
                    std::optional<int> idle_seconds);
    ~SupervisionTurn();
    SupervisionTurn(const SupervisionTurn &)            = delete;
    SupervisionTurn &operator=(const SupervisionTurn &) = delete;

    void Register();

    // Whether the processes running beside are there, started at the first call; else the
    // benchmark is skipped with the reason, as is every later one of the turn.
    bool Ready(benchmark::State &state);
    // The service of a thousand members the service benchmarks start, defined at the first call;
    // nullptr when the benchmark is skipped.
    DefinedProcesses *Service(benchmark::State &state);

    PaConnection *Handle() const { return handle_; }
    int Running() const { return running_; }
    long AgentPid() const { return agent_pid_; }

private:
    PaConnection *handle_;
    int running_;
    bool process_benchmarks_;
    long agent_pid_;
    std::optional<int> idle_seconds_;
    std::unique_ptr<DefinedProcesses> background_;
    std::unique_ptr<DefinedProcesses> service_;
    std::string failure_;  // why the processes running beside could not be started
};

// The turns PA_BENCH_RUNNING asks for (counts separated by commas; 1 and 1,000 by default), and
// one with nothing running for the service benchmarks, in growing order. The idle CPU is
// measured in the last when PA_AGENT_PID names the agent, over PA_BENCH_IDLE_SECONDS (60), and
// the agent's CPU time per request of figures in each.
// Throws std::runtime_error when a variable is malformed.
std::vector<std::unique_ptr<SupervisionTurn>> MakeSupervisionTurns(PaConnection *handle);

// A process of the agent of PA_SERVER started through the agent PA_FORWARDER, which routes the
// host PA_PEER_HOST to PA_SERVER; nothing when either is unset. Stopped on destruction.
class RoutedProcess {
public:
    // Throws std::runtime_error when the process cannot be started.
    RoutedProcess(const AgentEnv &env, PaConnection *direct);
    ~RoutedProcess();
    RoutedProcess(const RoutedProcess &)            = delete;
    RoutedProcess &operator=(const RoutedProcess &) = delete;

    // Registers its status call through each agent.
    void Register();

private:
    void Release();

    PaConnection *direct_    = nullptr;
    PaConnection *forwarder_ = nullptr;
    PaProcess *process_      = nullptr;
};

class ExitWatcher;

// A process that has written 48 MiB of output, read through one connection, and a process
// killed and started again under a client waiting for the agent's events. Stopped on destruction.
class Following {
public:
    // Throws std::runtime_error when the processes cannot be started or their output read.
    Following(const AgentEnv &env, PaConnection *handle);
    ~Following();
    Following(const Following &)            = delete;
    Following &operator=(const Following &) = delete;

    // Registers the output's reading (bytes a second) and the event latency (median, p99).
    void Register();

private:
    void Release();

    PaConnection *handle_;
    PaProcess *chatter_;
    PaProcess *exiting_;
    std::unique_ptr<ExitWatcher> watcher_;
};

}  // namespace bench

#endif
