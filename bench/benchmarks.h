// The benchmarks and the fixtures they run against.
#ifndef AGENTCLIENT_BENCH_BENCHMARKS_H
#define AGENTCLIENT_BENCH_BENCHMARKS_H

#include "agent_env.h"

#include <ctpublic.h>

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
// PaServiceAdd have their members defined, not started. Removed again on destruction.
class DefinedProcesses {
public:
    // Throws std::runtime_error when a service cannot be added.
    DefinedProcesses(PaConnection *handle, int services, int members_per_service);
    ~DefinedProcesses();
    DefinedProcesses(const DefinedProcesses &)            = delete;
    DefinedProcesses &operator=(const DefinedProcesses &) = delete;

    int Count() const { return count_; }

private:
    void RemoveAll();

    PaConnection *handle_;
    std::vector<PaService *> services_;
    int count_ = 0;
};

// Registers the fetch and decoding of every defined process; expected is how many there are.
void RegisterListBenchmark(PaConnection *handle, int expected);

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

}  // namespace bench

#endif
