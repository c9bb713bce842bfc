// One whole login per iteration through the library (PaConnectCreate, PaConnect,
// PaConnectDestroy), with the password encrypted and, under a second name of the same agent
// whose freetds.conf section turns encryption off, in clear.
#include "benchmarks.h"

#include <benchmark/benchmark.h>

#include <cstdlib>

namespace bench {

namespace {

void Login(benchmark::State &state, AgentEnv env)
{
    for (auto _ : state) {
        PaConnection *handle =
            PaConnectCreate(env.server.c_str(), "agentclient_bench", env.user.c_str(), env.password.c_str());
        bool connected = handle != nullptr && PaConnect(handle) == PaSUCCESS;
        PaConnectDestroy(handle);
        if (!connected) {
            state.SkipWithError(("cannot log in to " + env.server).c_str());
            break;
        }
    }
    state.SetItemsProcessed(state.iterations());
}

}  // namespace

void RegisterLoginBenchmarks(const AgentEnv &env)
{
    benchmark::RegisterBenchmark(kEncryptedLogin, Login, env)->UseRealTime()->Unit(benchmark::kMillisecond);
    const char *clear = std::getenv("PA_CLEAR_SERVER");
    if (clear != nullptr && *clear != '\0') {
        AgentEnv clear_env = env;
        clear_env.server   = clear;
        benchmark::RegisterBenchmark(kClearLogin, Login, clear_env)->UseRealTime()->Unit(benchmark::kMillisecond);
    }
}

}  // namespace bench
