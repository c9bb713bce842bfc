// One parameterless RPC per iteration, through the library and through bare Client-Library
// calls, each over its own connection to the same agent.
#include "benchmarks.h"

#include <benchmark/benchmark.h>
#include <protocol/rpc_table.h>

#include <stdexcept>

namespace bench {

namespace {

constexpr size_t kInterfacesPathSize = 1024;
constexpr int kWarmUpCalls           = 300;

bool SetText(CS_CONNECTION *connection, CS_INT property, const std::string &value)
{
    return ct_con_props(connection, CS_SET, property, const_cast<char *>(value.c_str()), CS_NULLTERM, nullptr) ==
           CS_SUCCEED;
}

void LibraryVersion(benchmark::State &state, PaConnection *handle)
{
    int32_t major = 0;
    int32_t minor = 0;
    for (auto _ : state) {
        if (PaServerGetVersionNo(handle, &major, &minor) != PaSUCCESS) {
            state.SkipWithError("PaServerGetVersionNo failed");
            break;
        }
        benchmark::DoNotOptimize(major);
    }
    state.SetItemsProcessed(state.iterations());
}

void BareVersion(benchmark::State &state, BareConnection *bare)
{
    CS_INT major = 0;
    CS_INT minor = 0;
    for (auto _ : state) {
        if (!bare->VersionRpc(&major, &minor)) {
            state.SkipWithError("pa_ServerVersionGetRPC failed");
            break;
        }
        benchmark::DoNotOptimize(major);
    }
    state.SetItemsProcessed(state.iterations());
}

}  // namespace

BareConnection::BareConnection(const AgentEnv &env)
{
    char interfaces[kInterfacesPathSize];
    CS_INT tds = CS_TDS_50;
    bool ok    = PaGetInterfacesFilePath(interfaces, sizeof interfaces) > 0 &&
              cs_ctx_alloc(CS_VERSION_150, &context_) == CS_SUCCEED &&
              ct_init(context_, CS_VERSION_150) == CS_SUCCEED &&
              ct_config(context_, CS_SET, CS_IFILE, interfaces, CS_NULLTERM, nullptr) == CS_SUCCEED &&
              ct_con_alloc(context_, &connection_) == CS_SUCCEED && SetText(connection_, CS_USERNAME, env.user) &&
              SetText(connection_, CS_PASSWORD, env.password) && SetText(connection_, CS_APPNAME, "bare_ctlib") &&
              ct_con_props(connection_, CS_SET, CS_TDS_VERSION, &tds, CS_UNUSED, nullptr) == CS_SUCCEED &&
              ct_connect(connection_, const_cast<char *>(env.server.c_str()), CS_NULLTERM) == CS_SUCCEED;
    if (!ok) {
        Release();
        throw std::runtime_error("cannot connect to " + env.server + " through bare Client-Library calls");
    }
}

BareConnection::~BareConnection() { Release(); }

void BareConnection::Release()
{
    if (connection_ != nullptr) {
        ct_close(connection_, CS_FORCE_CLOSE);
        ct_con_drop(connection_);
        connection_ = nullptr;
    }
    if (context_ != nullptr) {
        ct_exit(context_, CS_FORCE_EXIT);
        cs_ctx_drop(context_);
        context_ = nullptr;
    }
}

bool BareConnection::VersionRpc(CS_INT *major, CS_INT *minor)
{
    CS_COMMAND *command = nullptr;
    if (ct_cmd_alloc(connection_, &command) != CS_SUCCEED) {
        return false;
    }
    bool ok =
        ct_command(command, CS_RPC_CMD, const_cast<char *>(pa::protocol::kRpcs[pa::protocol::kVersionGet].name.data()),
                   CS_NULLTERM, CS_UNUSED) == CS_SUCCEED &&
        ct_send(command) == CS_SUCCEED;
    bool got_row    = false;
    CS_RETCODE code = CS_FAIL;
    CS_INT type     = 0;
    while (ok && (code = ct_results(command, &type)) == CS_SUCCEED) {
        if (type == CS_CMD_FAIL) {
            ok = false;
        } else if (type == CS_ROW_RESULT) {
            CS_DATAFMT format{};
            format.datatype  = CS_INT_TYPE;
            format.maxlength = sizeof(CS_INT);
            format.count     = 1;
            ok               = ct_bind(command, 1, &format, major, nullptr, nullptr) == CS_SUCCEED &&
                 ct_bind(command, 2, &format, minor, nullptr, nullptr) == CS_SUCCEED;
            while (ok && (code = ct_fetch(command, CS_UNUSED, CS_UNUSED, CS_UNUSED, nullptr)) == CS_SUCCEED) {
                got_row = true;
            }
            ok = ok && code == CS_END_DATA;
        }
    }
    ok = ok && code == CS_END_RESULTS && got_row;
    if (!ok) {
        ct_cancel(nullptr, command, CS_CANCEL_ALL);
    }
    ct_cmd_drop(command);
    return ok;
}

void WarmUpRpcs(PaConnection *handle, BareConnection *bare)
{
    for (int k = 0; k < kWarmUpCalls; ++k) {
        int32_t major = 0;
        int32_t minor = 0;
        if (PaServerGetVersionNo(handle, &major, &minor) != PaSUCCESS) {
            throw std::runtime_error("PaServerGetVersionNo failed");
        }
        CS_INT bare_major = 0;
        CS_INT bare_minor = 0;
        if (!bare->VersionRpc(&bare_major, &bare_minor) || bare_major != major || bare_minor != minor) {
            throw std::runtime_error("pa_ServerVersionGetRPC through bare Client-Library calls failed");
        }
    }
}

void RegisterRpcBenchmarks(PaConnection *handle, BareConnection *bare)
{
    benchmark::RegisterBenchmark(kLibraryRpc, LibraryVersion, handle)->UseRealTime()->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark(kBareRpc, BareVersion, bare)->UseRealTime()->Unit(benchmark::kMicrosecond);
}

}  // namespace bench
