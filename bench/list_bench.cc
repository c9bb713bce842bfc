// Fetching and decoding the agent's whole process list: thousands of definitions, made by
// adding services whose members are defined but never started.
#include "benchmarks.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <malloc.h>
#include <stdexcept>
#include <unistd.h>

namespace bench {

namespace {

// A service of count members named after the service, none of them ever started.
PaService *MakeService(const std::string &name, int count)
{
    PaService *service = PaVaServiceCreate(name.c_str(), 0);
    if (service == nullptr) {
        return nullptr;
    }
    auto euid = static_cast<int32_t>(getuid());
    for (int k = 0; k < count; ++k) {
        std::string member = name + "-process-" + std::to_string(k);
        PaServProcess entry{};
        entry.kind           = PaVALUE_INTEGER;
        entry.value.intValue = k;
        entry.process        = PaVaProcessCreate(member.c_str(), PaPROCESS_HOSTNAME, "localhost", PaPROCESS_COMMAND,
                                                 "sleep 600", PaPROCESS_EUID, euid, 0);
        if (entry.process == nullptr || PaServiceAddProcess(service, &entry, 0) != PaSUCCESS) {
            if (entry.process != nullptr) {
                PaProcessFree(entry.process);
            }
            PaServiceFree(service);
            return nullptr;
        }
    }
    return service;
}

// Bytes the process has allocated from the heap (this benchmark runs on one thread).
size_t HeapInUse() { return mallinfo2().uordblks; }

void FetchProcessList(benchmark::State &state, PaConnection *handle, int expected)
{
    for (auto _ : state) {
        PaList *list = nullptr;
        if (PaProcessGetList(handle, &list, 1) != PaSUCCESS) {
            state.SkipWithError("PaProcessGetList failed");
            break;
        }
        int count = PaListNumberOfElements(list);
        PaProcessListFree(list);
        if (count != expected) {
            state.SkipWithError("PaProcessGetList returned another number of processes");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations() * expected);

    // The memory a fetched list holds, measured once outside the timed loop.
    size_t before = HeapInUse();
    PaList *list  = nullptr;
    if (PaProcessGetList(handle, &list, 1) == PaSUCCESS) {
        double bytes = static_cast<double>(HeapInUse() - before);
        state.counters["list_bytes"] =
            benchmark::Counter(bytes, benchmark::Counter::kDefaults, benchmark::Counter::OneK::kIs1024);
        state.counters["bytes_per_process"] = bytes / expected;
        PaProcessListFree(list);
    }
}

}  // namespace

DefinedProcesses::DefinedProcesses(PaConnection *handle, int services, int members_per_service) : handle_(handle)
{
    auto started = std::chrono::steady_clock::now();
    for (int s = 0; s < services; ++s) {
        PaService *service = MakeService("bench-service-" + std::to_string(s), members_per_service);
        if (service == nullptr || PaServiceAdd(handle_, service) != PaSUCCESS) {
            PaServiceFree(service);
            RemoveAll();
            throw std::runtime_error("cannot define a service of " + std::to_string(members_per_service) +
                                     " members on the agent");
        }
        services_.push_back(service);
        count_ += members_per_service;
    }
    std::chrono::duration<double> took = std::chrono::steady_clock::now() - started;
    std::printf("Defined %d processes on the agent as %d services of %d members in %.2f s.\n", count_, services,
                members_per_service, took.count());
}

DefinedProcesses::~DefinedProcesses() { RemoveAll(); }

void DefinedProcesses::RemoveAll()
{
    for (PaService *service : services_) {
        PaServiceRemove(handle_, service);
        PaServiceFree(service);
    }
    services_.clear();
}

void RegisterListBenchmark(PaConnection *handle, int expected)
{
    std::string name = "process_list/fetch_and_decode/" + std::to_string(expected);
    benchmark::RegisterBenchmark(name.c_str(), FetchProcessList, handle, expected)
        ->UseRealTime()
        ->Unit(benchmark::kMillisecond);
}

}  // namespace bench
