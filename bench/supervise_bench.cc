// What supervising processes costs the agent: one process started and stopped while many others
// run, the figures of them all, a whole service of a thousand members started and stopped, and
// the agent's CPU while it only watches what runs. The processes running beside are sleeping members of services
// (DefinedProcesses), started a service at a time; each count of them is a turn of its own.
#include "benchmarks.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <unistd.h>

namespace bench {

namespace {

// The running counts of the turns when PA_BENCH_RUNNING is unset. Larger counts take a minute
// to start, and more open files than a default limit allows, so they are asked for by name.
constexpr const char *kDefaultRunning = "1,1000";
constexpr int kDefaultIdleSeconds     = 60;
constexpr int kMembersPerService      = 1000;
constexpr int kServiceMembers         = 1000;
// A service start or stop of a thousand processes beside thousands of others may take longer
// than the library's 30 seconds on a slow machine: its calls are bounded by this.
constexpr int kLongCallSeconds = 1800;

// Above any count or period the machine can hold, and any PID.
constexpr long kMaxNumber = 1 << 30;

constexpr const char *kMeasuredName    = "bench-supervised";
constexpr const char *kMeasuredCommand = "exec sleep 1000";

// A positive number from the environment, or fallback when the variable is unset.
int PositiveFromEnv(const char *name, int fallback)
{
    const char *text = std::getenv(name);
    if (text == nullptr || *text == '\0') {
        return fallback;
    }
    char *end  = nullptr;
    long value = std::strtol(text, &end, 10);
    if (*end != '\0' || value < 1 || value > kMaxNumber) {
        throw std::runtime_error(std::string(name) + " must be a positive whole number, not '" + text + "'");
    }
    return static_cast<int>(value);
}

// The running counts PA_BENCH_RUNNING lists, separated by commas; each at least 0.
std::set<int> RunningCounts()
{
    const char *text = std::getenv("PA_BENCH_RUNNING");
    std::string list = text != nullptr && *text != '\0' ? text : kDefaultRunning;
    std::set<int> counts;
    std::istringstream items(list);
    for (std::string item; std::getline(items, item, ',');) {
        char *end  = nullptr;
        long count = std::strtol(item.c_str(), &end, 10);
        if (item.empty() || *end != '\0' || count < 0 || count > kMaxNumber) {
            throw std::runtime_error("PA_BENCH_RUNNING must list counts of processes separated by commas, not '" +
                                     list + "'");
        }
        counts.insert(static_cast<int>(count));
    }
    return counts;
}

// User and system CPU time the process has used, in seconds, from /proc/PID/stat; negative
// when it cannot be read.
double CpuSeconds(long pid)
{
    std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
    std::string stat;
    std::getline(file, stat);
    // The name, field 2, is in parentheses and may hold blanks: count the fields after it.
    size_t name_end = stat.rfind(')');
    if (name_end == std::string::npos) {
        return -1;
    }
    std::istringstream fields(stat.substr(name_end + 1));
    std::string field;
    double ticks = 0;
    for (int number = 3; number <= 15 && fields >> field; ++number) {
        if (number >= 14) {
            ticks += std::strtod(field.c_str(), nullptr);
        }
    }
    return fields ? ticks / static_cast<double>(sysconf(_SC_CLK_TCK)) : -1;
}

// The one process a benchmark starts and stops; stopped on destruction when it may run.
class MeasuredProcess {
public:
    explicit MeasuredProcess(PaConnection *handle)
        : handle_(handle),
          process_(PaVaProcessCreate(kMeasuredName, PaPROCESS_HOSTNAME, "localhost", PaPROCESS_COMMAND,
                                     kMeasuredCommand, PaPROCESS_EUID, static_cast<int32_t>(getuid()), 0))
    {
    }
    ~MeasuredProcess()
    {
        if (may_run_) {
            PaProcessStop(handle_, process_);
        }
        PaProcessFree(process_);
    }
    MeasuredProcess(const MeasuredProcess &)            = delete;
    MeasuredProcess &operator=(const MeasuredProcess &) = delete;

    // PaProcessStart, which returns once the agent has launched the process.
    bool Start()
    {
        may_run_ = true;
        return Succeeded(PaProcessStart(handle_, process_), "start");
    }

    bool Stop()
    {
        if (!Succeeded(PaProcessStop(handle_, process_), "stop")) {
            return false;
        }
        may_run_ = false;
        return true;
    }

    // Why the last start or stop failed.
    const std::string &Failure() const { return failure_; }

private:
    bool Succeeded(int32_t result, const char *what)
    {
        if (result != PaSUCCESS) {
            failure_ = std::string("the agent did not ") + what + " process " + kMeasuredName + ": " +
                       (process_ == nullptr ? "no process record" : LastAgentMessage(handle_));
        }
        return result == PaSUCCESS;
    }

    PaConnection *handle_;
    PaProcess *process_;
    bool may_run_ = false;
    std::string failure_;
};

// Runs a step of an iteration, with the timer paused unless the step is timed.
template <typename Step>
auto RunStep(benchmark::State &state, bool timed, Step step)
{
    if (timed) {
        return step();
    }
    state.PauseTiming();
    auto result = step();
    state.ResumeTiming();
    return result;
}

// Each iteration stops the process and starts it again (a restart by a client), timing the
// stop, the start or both.
void RestartProcess(benchmark::State &state, SupervisionTurn *turn, bool time_stop, bool time_start)
{
    if (!turn->Ready(state)) {
        return;
    }
    MeasuredProcess process(turn->Handle());
    if (!process.Start()) {
        state.SkipWithError(process.Failure().c_str());
        return;
    }
    for (auto _ : state) {
        if (!RunStep(state, time_stop, [&] { return process.Stop(); }) ||
            !RunStep(state, time_start, [&] { return process.Start(); })) {
            state.SkipWithError(process.Failure().c_str());
            break;
        }
    }
    state.SetItemsProcessed(state.iterations());
}

// Each iteration starts the service, checks that every member runs, and stops it, timing the
// start (from the call until it returns with every member launched) or the stop.
void RestartService(benchmark::State &state, SupervisionTurn *turn, bool time_stop, bool time_start)
{
    DefinedProcesses *service = turn->Service(state);
    if (service == nullptr) {
        return;
    }
    for (auto _ : state) {
        try {
            RunStep(state, time_start, [&] {
                service->StartAll();
                return true;
            });
            if (!RunStep(state, false, [&] { return service->AllRunning(); })) {
                throw std::runtime_error("the service's start returned with members not running");
            }
            RunStep(state, time_stop, [&] {
                service->StopAll();
                return true;
            });
        } catch (const std::runtime_error &error) {
            state.SkipWithError(error.what());
            break;
        }
    }
    state.SetItemsProcessed(state.iterations() * service->Count());
}

// Each iteration fetches the figures of every process, checking that there is a record for
// each that runs; the counter agent_cpu_ms is the agent's CPU time per request, which the
// reading of /proc is most of.
void ProcessStats(benchmark::State &state, SupervisionTurn *turn)
{
    if (!turn->Ready(state)) {
        return;
    }
    const double cpu_before = CpuSeconds(turn->AgentPid());
    for (auto _ : state) {
        PaList *list         = nullptr;
        const int32_t result = PaProcessGetStats(turn->Handle(), nullptr, nullptr, &list);
        const int records    = list != nullptr ? PaListNumberOfElements(list) : 0;
        if (list != nullptr) {
            PaStatsListFree(list);
        }
        // The measured process of the other benchmarks may be defined too.
        if (result != PaSUCCESS || records < turn->Running()) {
            state.SkipWithError(("the figures came for " + std::to_string(records) + " processes of " +
                                 std::to_string(turn->Running()) + ": " + LastAgentMessage(turn->Handle()))
                                    .c_str());
            break;
        }
    }
    const double cpu_after = CpuSeconds(turn->AgentPid());
    if (!state.error_occurred() && cpu_before >= 0 && cpu_after >= 0) {
        state.counters["agent_cpu_ms"] =
            benchmark::Counter(1000 * (cpu_after - cpu_before), benchmark::Counter::kAvgIterations);
    }
    state.SetItemsProcessed(state.iterations() * turn->Running());
}

// The agent's CPU time over a period in which no client asks it anything, as a share of one
// core: what watching the running processes costs it.
void IdleCpu(benchmark::State &state, SupervisionTurn *turn, int seconds)
{
    if (!turn->Ready(state)) {
        return;
    }
    double cpu = 0;
    for (auto _ : state) {
        double before = CpuSeconds(turn->AgentPid());
        // The period measured, not a wait for anything.
        std::this_thread::sleep_for(std::chrono::seconds(seconds));
        double after = CpuSeconds(turn->AgentPid());
        if (before < 0 || after < 0) {
            state.SkipWithError(("cannot read /proc/" + std::to_string(turn->AgentPid()) + "/stat").c_str());
            break;
        }
        cpu += after - before;
    }
    int running = CountProcesses(turn->Handle(), true);
    if (state.error_occurred()) {
        return;
    }
    if (running != turn->Running()) {
        state.SkipWithError(("after the idle period the agent runs " + std::to_string(running) + " processes, not " +
                             std::to_string(turn->Running()))
                                .c_str());
        return;
    }
    double period                       = static_cast<double>(state.iterations()) * seconds;
    state.counters["agent_cpu_s"]       = cpu;
    state.counters["agent_cpu_percent"] = 100 * cpu / period;
}

struct TurnBenchmark {
    const char *name;
    bool time_stop;
    bool time_start;
};

constexpr TurnBenchmark kProcessBenchmarks[] = {
    {"process_start", false, true}, {"process_stop", true, false}, {"process_stop_start", true, true}};
constexpr TurnBenchmark kServiceBenchmarks[] = {{"service_start", false, true}, {"service_stop", true, false}};

}  // namespace

PaConnection *ConnectSupervisor(const AgentEnv &env)
{
    PaConnection *handle = ConnectLibrary(env);
    PaSetResultsTimeOut(handle, kLongCallSeconds);
    return handle;
}

SupervisionTurn::SupervisionTurn(PaConnection *handle, int running, bool process_benchmarks, long agent_pid,
                                 std::optional<int> idle_seconds)
    : handle_(handle), running_(running), process_benchmarks_(process_benchmarks), agent_pid_(agent_pid),
      idle_seconds_(idle_seconds)
{
}

SupervisionTurn::~SupervisionTurn() = default;

void SupervisionTurn::Register()
{
    const std::string running = "/running:" + std::to_string(running_);
    if (process_benchmarks_) {
        for (auto [name, time_stop, time_start] : kProcessBenchmarks) {
            benchmark::RegisterBenchmark((name + running).c_str(), RestartProcess, this, time_stop, time_start)
                ->UseRealTime()
                ->Unit(benchmark::kMillisecond);
        }
        benchmark::RegisterBenchmark(("process_stats" + running).c_str(), ProcessStats, this)
            ->UseRealTime()
            ->Unit(benchmark::kMillisecond);
    }
    if (running_ == 0) {
        // A start of a thousand processes takes seconds: one per repetition, and three
        // repetitions.
        const std::string members = "/members:" + std::to_string(kServiceMembers);
        for (auto [name, time_stop, time_start] : kServiceBenchmarks) {
            benchmark::RegisterBenchmark((name + members).c_str(), RestartService, this, time_stop, time_start)
                ->Iterations(1)
                ->Repetitions(3)
                ->UseRealTime()
                ->Unit(benchmark::kMillisecond);
        }
    }
    if (idle_seconds_) {
        // One period of a minute says enough; five would take five minutes.
        benchmark::RegisterBenchmark(("agent_idle_cpu" + running).c_str(), IdleCpu, this, *idle_seconds_)
            ->Iterations(1)
            ->Repetitions(1)
            ->UseRealTime()
            ->Unit(benchmark::kSecond);
    }
}

bool SupervisionTurn::Ready(benchmark::State &state)
{
    if (background_ == nullptr && failure_.empty() && running_ > 0) {
        auto started = std::chrono::steady_clock::now();
        try {
            background_ = std::make_unique<DefinedProcesses>(handle_, "bench-running", running_, kMembersPerService);
            background_->StartAll();
            int running = CountProcesses(handle_, true);
            if (running != running_) {
                throw std::runtime_error("the agent runs " + std::to_string(running) + " processes after starting " +
                                         std::to_string(running_));
            }
            std::chrono::duration<double> took = std::chrono::steady_clock::now() - started;
            std::printf("Started %d processes on the agent in %.1f s.\n", running_, took.count());
        } catch (const std::runtime_error &error) {
            failure_ = std::string(error.what()) + " (" + std::to_string(CountProcesses(handle_, true)) +
                       " running); for fewer, set PA_BENCH_RUNNING to smaller counts";
            std::fflush(stdout);
            std::fprintf(stderr, "agentclient_bench: cannot run %d processes: %s\n", running_, failure_.c_str());
            background_.reset();
        }
    }
    if (!failure_.empty()) {
        state.SkipWithError(failure_.c_str());
        return false;
    }
    return true;
}

DefinedProcesses *SupervisionTurn::Service(benchmark::State &state)
{
    if (!Ready(state)) {
        return nullptr;
    }
    if (service_ == nullptr) {
        try {
            service_ = std::make_unique<DefinedProcesses>(handle_, "bench-members", kServiceMembers, kServiceMembers);
        } catch (const std::runtime_error &error) {
            state.SkipWithError(error.what());
        }
    }
    return service_.get();
}

std::vector<std::unique_ptr<SupervisionTurn>> MakeSupervisionTurns(PaConnection *handle)
{
    std::set<int> counts = RunningCounts();
    long agent_pid       = 0;
    std::optional<int> idle_seconds;
    const char *agent_pid_text = std::getenv("PA_AGENT_PID");
    if (agent_pid_text != nullptr && *agent_pid_text != '\0') {
        agent_pid    = PositiveFromEnv("PA_AGENT_PID", 1);
        idle_seconds = PositiveFromEnv("PA_BENCH_IDLE_SECONDS", kDefaultIdleSeconds);
    }
    // The service benchmarks run with nothing beside them, in a turn of their own unless 0 is
    // one of the counts; the idle CPU is measured with the most running.
    std::set<int> turns = counts;
    turns.insert(0);
    std::vector<std::unique_ptr<SupervisionTurn>> made;
    for (int running : turns) {
        bool most = !counts.empty() && running == *counts.rbegin();
        made.push_back(std::make_unique<SupervisionTurn>(handle, running, counts.contains(running), agent_pid,
                                                         most ? idle_seconds : std::nullopt));
    }
    return made;
}

}  // namespace bench
