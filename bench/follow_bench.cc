// Following: a process's output read through one connection (bytes a second), and the time from
// a process's exit to the client that waits for the agent's events (median and 99th percentile).
#include "benchmarks.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace bench {

using Clock = std::chrono::steady_clock;

// The exits a waiting client has seen, by PID, with the moment each reached it.
class ExitWatcher {
public:
    ExitWatcher(const AgentEnv &env, std::string process)
        : handle_(ConnectLibrary(env)), process_(std::move(process)), thread_([this] { Run(); })
    {
    }
    ~ExitWatcher()
    {
        stopping_ = true;
        PaConnectAbandon(handle_);
        thread_.join();
        PaConnectDestroy(handle_);
    }
    ExitWatcher(const ExitWatcher &)            = delete;
    ExitWatcher &operator=(const ExitWatcher &) = delete;

    // When the exit of pid reached the client; none within ten seconds.
    std::optional<Clock::time_point> WaitFor(int32_t pid)
    {
        std::unique_lock lock(mutex_);
        if (!seen_.wait_for(lock, std::chrono::seconds(10), [&] { return exits_.contains(pid); })) {
            return std::nullopt;
        }
        return exits_[pid];
    }

private:
    void Run()
    {
        int64_t cursor = -1;
        while (!stopping_) {
            PaList *events = nullptr;
            if (PaEventWait(handle_, &cursor, 5, &events) != PaSUCCESS) {
                continue;
            }
            const Clock::time_point now = Clock::now();
            for (auto *event = static_cast<PaEvent *>(PaListGetHead(events)); event != nullptr;
                 event       = static_cast<PaEvent *>(PaListGetNext(event))) {
                int32_t kind = 0, pid = 0;
                char *name = nullptr;
                PaEventGetAttribute(event, PaEVENT_KIND, &kind, PaEVENT_PID, &pid, PaEVENT_PROCESS, &name, 0);
                if (kind == PaEVENT_KIND_EXITED && name != nullptr && process_ == name) {
                    std::lock_guard lock(mutex_);
                    exits_[pid] = now;
                    seen_.notify_all();
                }
                if (name != nullptr) {
                    PaFree(name);
                }
            }
            PaEventListFree(events);
        }
    }

    PaConnection *handle_;
    std::string process_;
    std::mutex mutex_;
    std::condition_variable seen_;
    std::map<int32_t, Clock::time_point> exits_;
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

namespace {

// The output the reading benchmark reads again and again: 48 MiB of 100-byte lines, kept whole
// by the agent's default rotation (10 MiB logs, 5 backups).
constexpr std::int64_t kChatterBytes  = 48LL * 1024 * 1024;
constexpr const char *kChatterCommand = "head -c 50331648 /dev/zero | tr '\\0' x | fold -w 99; exec sleep 600";

PaProcess *MakeProcess(const char *name, const char *command)
{
    return PaVaProcessCreate(name, PaPROCESS_HOSTNAME, "localhost", PaPROCESS_COMMAND, command, PaPROCESS_EUID,
                             static_cast<int32_t>(getuid()), 0);
}

// Reads the chatter's output from its start to its end, one reply per iteration.
void FollowedOutput(benchmark::State &state, PaConnection *handle, const PaProcess *process)
{
    int64_t cursor = 0;
    int64_t read   = 0;
    for (auto _ : state) {
        char *text    = nullptr;
        size_t length = 0;
        int64_t lost  = 0;
        if (PaProcessOutputRead(handle, process, &cursor, 0, 0, &text, &length, &lost) != PaSUCCESS) {
            state.SkipWithError(("cannot read the output: " + LastAgentMessage(handle)).c_str());
            break;
        }
        PaFree(text);
        read += static_cast<int64_t>(length);
        if (cursor >= kChatterBytes) {
            cursor = 0;
        }
    }
    state.SetBytesProcessed(read);
}

// Kills the process and times its exit event's way to the waiting client; starts it again,
// untimed, for the next iteration.
void EventLatency(benchmark::State &state, PaConnection *handle, const PaProcess *process, ExitWatcher *watcher)
{
    std::vector<double> latencies;
    for (auto _ : state) {
        int32_t pid = 0;
        if (PaProcessStatus(handle, process, &pid) != 1 && PaProcessStart(handle, process) != PaSUCCESS) {
            state.SkipWithError(("cannot start the process: " + LastAgentMessage(handle)).c_str());
            break;
        }
        PaProcessStatus(handle, process, &pid);
        const Clock::time_point killed = Clock::now();
        kill(pid, SIGKILL);
        const std::optional<Clock::time_point> seen = watcher->WaitFor(pid);
        if (!seen) {
            state.SkipWithError("the exit did not reach the waiting client within 10 s");
            break;
        }
        const double seconds = std::chrono::duration<double>(*seen - killed).count();
        state.SetIterationTime(seconds);
        latencies.push_back(seconds);
        if (PaProcessStart(handle, process) != PaSUCCESS) {
            state.SkipWithError(("cannot start the process again: " + LastAgentMessage(handle)).c_str());
            break;
        }
    }
    if (latencies.empty()) {
        return;
    }
    std::sort(latencies.begin(), latencies.end());
    state.counters["median_us"] = latencies[latencies.size() / 2] * 1e6;
    state.counters["p99_us"]    = latencies[std::min(latencies.size() - 1, latencies.size() * 99 / 100)] * 1e6;
}

}  // namespace

Following::Following(const AgentEnv &env, PaConnection *handle)
    : handle_(handle), chatter_(MakeProcess("bench_chatter", kChatterCommand)),
      exiting_(MakeProcess("bench_exiting", "exec sleep 600"))
{
    if (chatter_ == nullptr || exiting_ == nullptr || PaProcessStart(handle_, chatter_) != PaSUCCESS ||
        PaProcessStart(handle_, exiting_) != PaSUCCESS) {
        Release();
        throw std::runtime_error("cannot start the processes to follow: " + LastAgentMessage(handle_));
    }
    watcher_ = std::make_unique<ExitWatcher>(env, "bench_exiting");
    // The chatter's whole output is in its logs before it is read: followed to its end once.
    const Clock::time_point limit = Clock::now() + std::chrono::seconds(120);
    for (int64_t cursor = 0; cursor < kChatterBytes;) {
        char *text    = nullptr;
        size_t length = 0;
        int64_t lost  = 0;
        if (Clock::now() > limit ||
            PaProcessOutputRead(handle_, chatter_, &cursor, 0, 1, &text, &length, &lost) != PaSUCCESS) {
            Release();
            throw std::runtime_error("the chatter's output could not be followed to its end: " +
                                     LastAgentMessage(handle_));
        }
        PaFree(text);
    }
}

Following::~Following() { Release(); }

void Following::Release()
{
    watcher_.reset();
    for (PaProcess *&process : {std::ref(chatter_), std::ref(exiting_)}) {
        if (process != nullptr) {
            PaProcessStop(handle_, process);
            PaProcessFree(process);
            process = nullptr;
        }
    }
}

void Following::Register()
{
    benchmark::RegisterBenchmark(kFollowedOutput, FollowedOutput, handle_, chatter_)->UseRealTime();
    benchmark::RegisterBenchmark(kEventLatency, EventLatency, handle_, exiting_, watcher_.get())->UseManualTime();
}

}  // namespace bench
