// One status call for a process of another host: sent to the agent of that host, and sent to
// an agent that forwards it there (PA_FORWARDER, routing PA_PEER_HOST to PA_SERVER), each over
// a connection of its own.
#include "benchmarks.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <stdexcept>
#include <unistd.h>

namespace bench {

namespace {

void Status(benchmark::State &state, PaConnection *handle, const PaProcess *process)
{
    int32_t pid = 0;
    for (auto _ : state) {
        if (PaProcessStatus(handle, process, &pid) != 1) {
            state.SkipWithError("the process is not reported running");
            break;
        }
        benchmark::DoNotOptimize(pid);
    }
    state.SetItemsProcessed(state.iterations());
}

}  // namespace

RoutedProcess::RoutedProcess(const AgentEnv &env, PaConnection *direct)
{
    const char *forwarder = std::getenv("PA_FORWARDER");
    const char *host      = std::getenv("PA_PEER_HOST");
    if (forwarder == nullptr || *forwarder == '\0' || host == nullptr || *host == '\0') {
        return;
    }
    AgentEnv through = env;
    through.server   = forwarder;
    forwarder_       = ConnectLibrary(through);
    direct_          = direct;
    PaHost *route    = PaHostCreate(host, env.server.c_str());
    const bool added = PaHostAdd(forwarder_, route) == PaSUCCESS;
    PaHostFree(route);
    process_ = PaVaProcessCreate("bench_routed", PaPROCESS_HOSTNAME, host, PaPROCESS_COMMAND, "exec sleep 600",
                                 PaPROCESS_EUID, static_cast<int32_t>(getuid()), 0);
    if (!added || process_ == nullptr || PaProcessStart(forwarder_, process_) != PaSUCCESS) {
        Release();
        throw std::runtime_error(std::string("cannot start a process of ") + host + " through " + forwarder);
    }
}

RoutedProcess::~RoutedProcess() { Release(); }

void RoutedProcess::Release()
{
    if (process_ != nullptr && forwarder_ != nullptr) {
        PaProcessStop(forwarder_, process_);
    }
    PaProcessFree(process_);
    PaConnectDestroy(forwarder_);
    process_   = nullptr;
    forwarder_ = nullptr;
}

void RoutedProcess::Register()
{
    if (process_ == nullptr) {
        return;
    }
    benchmark::RegisterBenchmark(kDirectStatus, Status, direct_, process_)
        ->UseRealTime()
        ->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark(kForwardedStatus, Status, forwarder_, process_)
        ->UseRealTime()
        ->Unit(benchmark::kMicrosecond);
}

}  // namespace bench
