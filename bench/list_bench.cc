// Fetching and decoding the agent's whole process list: thousands of definitions, made by
// adding services whose members are defined but never started.
#include "benchmarks.h"

#include <benchmark/benchmark.h>

#include <malloc.h>

namespace bench {

namespace {

// Bytes the process has allocated from the heap (this benchmark runs on one thread).
size_t HeapInUse() { return mallinfo2().uordblks; }

void FetchProcessList(benchmark::State &state, PaConnection *handle, int defined)
{
    // Other benchmarks' processes may be defined beside the fixture's (the routed one's is):
    // every fetch must list as many as the first.
    const int expected = CountProcesses(handle, false);
    if (expected < defined) {
        state.SkipWithError("PaProcessGetList lacks processes the fixture defined");
        return;
    }
    for (auto _ : state) {
        if (CountProcesses(handle, false) != expected) {
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

int CountProcesses(PaConnection *handle, bool running_only)
{
    PaList *list = nullptr;
    if (PaProcessGetList(handle, &list, running_only ? 0 : 1) != PaSUCCESS) {
        return -1;
    }
    int count = PaListNumberOfElements(list);
    PaProcessListFree(list);
    return count;
}

void RegisterListBenchmark(PaConnection *handle, int defined)
{
    std::string name = "process_list/fetch_and_decode/" + std::to_string(defined);
    benchmark::RegisterBenchmark(name.c_str(), FetchProcessList, handle, defined)
        ->UseRealTime()
        ->Unit(benchmark::kMillisecond);
}

}  // namespace bench
