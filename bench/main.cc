// agentclient_bench: the library against a running agent (see scripts/bench). Prints Google
// Benchmark's table, then the library's time per RPC against the bare Client-Library loop's.
#include "benchmarks.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <unistd.h>
#include <utility>

namespace {

constexpr int kServices          = 10;
constexpr int kMembersPerService = 1000;

// The console table, and the real time per iteration of each benchmark kept for the
// comparison: the median over the repetitions when there are several, else the one run.
class ComparingReporter : public benchmark::ConsoleReporter {
public:
    // Colours only on a terminal; the run's context goes to standard output with the table.
    ComparingReporter() : ConsoleReporter(isatty(STDOUT_FILENO) != 0 ? OO_ColorTabular : OO_Tabular)
    {
        SetErrorStream(&GetOutputStream());
    }

    void ReportRuns(const std::vector<Run> &runs) override
    {
        // A benchmark's median comes after the runs it summarises, so it has the last word.
        for (const Run &run : runs) {
            failed_     = failed_ || run.error_occurred;
            bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
            if ((median || run.run_type == Run::RT_Iteration) && !run.error_occurred && run.iterations > 0) {
                seconds_[run.run_name.function_name] = run.real_accumulated_time / static_cast<double>(run.iterations);
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }

    // Seconds per iteration of a benchmark; 0 when it did not run.
    double Seconds(const std::string &name) const
    {
        auto found = seconds_.find(name);
        return found == seconds_.end() ? 0 : found->second;
    }

    // Whether a benchmark stopped with an error.
    bool Failed() const { return failed_; }

private:
    std::map<std::string, double> seconds_;
    bool failed_ = false;
};

void PrintComparison(const ComparingReporter &reporter)
{
    double library = reporter.Seconds(bench::kLibraryRpc);
    double bare    = reporter.Seconds(bench::kBareRpc);
    if (library <= 0 || bare <= 0) {
        return;
    }
    std::printf("\nParameterless RPC (pa_ServerVersionGetRPC):\n");
    std::printf("  library (PaServerGetVersionNo): %8.1f us per call, %8.0f calls/s\n", library * 1e6, 1 / library);
    std::printf("  bare Client-Library loop:       %8.1f us per call, %8.0f calls/s\n", bare * 1e6, 1 / bare);
    std::printf("  library time / bare time:       %8.3f\n", library / bare);
}

// Two benchmarks of the same work done two ways, and what the second way costs more.
struct Difference {
    const char *title;
    const char *first;  // benchmark name
    const char *first_label;
    const char *second;  // benchmark name
    const char *second_label;
    const char *cost_label;
    double scale;  // from seconds to the unit shown
    const char *unit;
};

constexpr Difference kDifferences[] = {
    {"Login (PaConnectCreate, PaConnect, PaConnectDestroy)", bench::kClearLogin, "password in clear",
     bench::kEncryptedLogin, "password encrypted", "cost of the encryption", 1e3, "ms per login"},
    {"Status of a process of another host (pa_ProcessStatusRPC)", bench::kDirectStatus, "sent to its own agent",
     bench::kForwardedStatus, "forwarded by another agent", "cost of the forwarding", 1e6, "us per call"},
};

void PrintDifference(const ComparingReporter &reporter, const Difference &difference)
{
    double first  = reporter.Seconds(difference.first);
    double second = reporter.Seconds(difference.second);
    if (first <= 0 || second <= 0) {
        return;
    }
    std::printf("\n%s:\n", difference.title);
    for (auto [label, seconds] : {std::pair{difference.second_label, second},
                                  {difference.first_label, first},
                                  {difference.cost_label, second - first}}) {
        std::printf("  %-32s %8.2f %s\n", (std::string(label) + ":").c_str(), seconds * difference.scale,
                    difference.unit);
    }
}

struct HandleCloser {
    void operator()(PaConnection *handle) const { PaConnectDestroy(handle); }
};

}  // namespace

int main(int argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 2;
    }
    try {
        bench::AgentEnv env = bench::ReadAgentEnv();
        std::unique_ptr<PaConnection, HandleCloser> handle(bench::ConnectLibrary(env));
        bench::BareConnection bare(env);
        bench::DefinedProcesses processes(handle.get(), kServices, kMembersPerService);
        bench::RoutedProcess routed(env, handle.get());

        bench::WarmUpRpcs(handle.get(), &bare);
        bench::RegisterRpcBenchmarks(handle.get(), &bare);
        bench::RegisterListBenchmark(handle.get(), processes.Count());
        bench::RegisterLoginBenchmarks(env);
        routed.Register();
        ComparingReporter reporter;
        benchmark::RunSpecifiedBenchmarks(&reporter);
        PrintComparison(reporter);
        for (const Difference &difference : kDifferences) {
            PrintDifference(reporter, difference);
        }
        if (reporter.Failed()) {
            return 1;
        }
    } catch (const std::exception &error) {
        std::fprintf(stderr, "agentclient_bench: %s\n", error.what());
        return 1;
    }
    benchmark::Shutdown();
    return 0;
}
