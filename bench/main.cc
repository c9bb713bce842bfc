// agentclient_bench: the library against a running agent (see scripts/bench). Prints Google
// Benchmark's table, then the library's time per RPC against the bare Client-Library loop's.
#include "benchmarks.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <memory>
#include <ostream>
#include <stdexcept>
#include <streambuf>
#include <string>
#include <string_view>
#include <unistd.h>
#include <utility>

namespace {

constexpr int kDefinedProcesses  = 10000;
constexpr int kMembersPerService = 1000;

// Google Benchmark's complaint about a filter that matches none of the benchmarks registered.
constexpr std::string_view kUnmatched = "Failed to match any benchmarks against regex";

// Passes what is written on to another stream a line at a time, less the complaints about an
// unmatched filter: the benchmarks run in turns, and a filter matches those of some turns
// only. main complains once when no turn ran anything.
class UnmatchedFilter : public std::streambuf {
public:
    explicit UnmatchedFilter(std::streambuf *target) : target_(target) {}

protected:
    int overflow(int c) override
    {
        if (c == traits_type::eof()) {
            return traits_type::not_eof(c);
        }
        line_ += static_cast<char>(c);
        if (c == '\n') {
            if (!line_.starts_with(kUnmatched)) {
                target_->sputn(line_.data(), static_cast<std::streamsize>(line_.size()));
            }
            line_.clear();
        }
        return c;
    }

    int sync() override { return target_->pubsync(); }

private:
    std::streambuf *target_;
    std::string line_;
};

// The console table, and the real time per iteration of each benchmark kept for the
// comparison: the median over the repetitions when there are several, else the one run.
class ComparingReporter : public benchmark::ConsoleReporter {
public:
    // Colours only on a terminal; the run's context goes to standard output with the table.
    ComparingReporter()
        : ConsoleReporter(isatty(STDOUT_FILENO) != 0 ? OO_ColorTabular : OO_Tabular),
          filter_(GetOutputStream().rdbuf()), errors_(&filter_)
    {
        SetErrorStream(&errors_);
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
    UnmatchedFilter filter_;
    std::ostream errors_;
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

// The first turn: calls and logins, beside 10,000 defined processes. Returns how many
// benchmarks ran.
size_t RunCallBenchmarks(const bench::AgentEnv &env, PaConnection *handle, ComparingReporter *reporter)
{
    bench::BareConnection bare(env);
    bench::DefinedProcesses processes(handle, "bench-service", kDefinedProcesses, kMembersPerService);
    bench::RoutedProcess routed(env, handle);
    bench::Following following(env, handle);

    bench::WarmUpRpcs(handle, &bare);
    bench::RegisterRpcBenchmarks(handle, &bare);
    bench::RegisterListBenchmark(handle, processes.Count());
    bench::RegisterLoginBenchmarks(env);
    routed.Register();
    following.Register();
    return benchmark::RunSpecifiedBenchmarks(reporter);
}

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
        std::unique_ptr<PaConnection, HandleCloser> supervisor(bench::ConnectSupervisor(env));
        std::vector<std::unique_ptr<bench::SupervisionTurn>> turns = bench::MakeSupervisionTurns(supervisor.get());

        ComparingReporter reporter;
        size_t ran = RunCallBenchmarks(env, handle.get(), &reporter);
        // Each turn's processes are stopped and removed before the next one starts its own.
        for (std::unique_ptr<bench::SupervisionTurn> &turn : turns) {
            benchmark::ClearRegisteredBenchmarks();
            turn->Register();
            ran += benchmark::RunSpecifiedBenchmarks(&reporter);
            turn.reset();
        }
        if (ran == 0) {
            std::printf("%s: %s\n", std::string(kUnmatched).c_str(), benchmark::GetBenchmarkFilter().c_str());
        }
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
