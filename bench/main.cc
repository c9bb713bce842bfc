// agentclient_bench: the library against a running agent (see scripts/bench). Prints Google
// Benchmark's table, then the library's time per RPC against the bare Client-Library loop's.
#include "benchmarks.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <memory>
#include <stdexcept>
#include <unistd.h>

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

void PrintLoginComparison(const ComparingReporter &reporter)
{
    double encrypted = reporter.Seconds(bench::kEncryptedLogin);
    double clear     = reporter.Seconds(bench::kClearLogin);
    if (encrypted <= 0 || clear <= 0) {
        return;
    }
    std::printf("\nLogin (PaConnectCreate, PaConnect, PaConnectDestroy):\n");
    std::printf("  password encrypted:              %8.2f ms per login\n", encrypted * 1e3);
    std::printf("  password in clear:               %8.2f ms per login\n", clear * 1e3);
    std::printf("  cost of the encryption:          %8.2f ms per login\n", (encrypted - clear) * 1e3);
}

void PrintRoutedComparison(const ComparingReporter &reporter)
{
    double direct    = reporter.Seconds(bench::kDirectStatus);
    double forwarded = reporter.Seconds(bench::kForwardedStatus);
    if (direct <= 0 || forwarded <= 0) {
        return;
    }
    std::printf("\nStatus of a process of another host (pa_ProcessStatusRPC):\n");
    std::printf("  sent to its own agent:           %8.1f us per call\n", direct * 1e6);
    std::printf("  forwarded by another agent:      %8.1f us per call\n", forwarded * 1e6);
    std::printf("  cost of the forwarding:          %8.1f us per call\n", (forwarded - direct) * 1e6);
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
        bench::RegisterListBenchmark(handle.get(), processes.count());
        bench::RegisterLoginBenchmarks(env);
        routed.Register();
        ComparingReporter reporter;
        benchmark::RunSpecifiedBenchmarks(&reporter);
        PrintComparison(reporter);
        PrintLoginComparison(reporter);
        PrintRoutedComparison(reporter);
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
