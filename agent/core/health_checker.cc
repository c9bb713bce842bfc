#include "core/health_checker.h"

#include <algorithm>
#include <cerrno>
#include <optional>
#include <poll.h>
#include <sys/eventfd.h>
#include <system_error>
#include <unistd.h>
#include <vector>

namespace paagent {

HealthChecker::HealthChecker(std::function<void(const HealthReport &)> report,
                             std::function<void(Verbosity, const std::string &)> log)
    : report_(std::move(report)), log_(std::move(log)), wake_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
{
    if (!wake_.Valid()) {
        throw std::system_error(errno, std::generic_category(), "eventfd");
    }
    // The checker takes none of the process's signals: SIGCHLD is for the supervisor's thread.
    sigset_t all, previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    thread_ = std::thread([this] { Loop(); });
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

HealthChecker::~HealthChecker()
{
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    Wake();
    thread_.join();
}

void HealthChecker::Wake() const
{
    const std::uint64_t one = 1;
    (void)!write(wake_.Get(), &one, sizeof one);
}

void HealthChecker::Watch(const std::string &name, const CheckSettings &settings, Clock::time_point started)
{
    {
        std::lock_guard lock(mutex_);
        if (!settings.probe) {
            watched_.erase(name);
        } else {
            watched_[name] = Watched{settings, started, ++generations_, Clock::now()};
        }
    }
    Wake();
}

void HealthChecker::Unwatch(const std::string &name)
{
    {
        std::lock_guard lock(mutex_);
        watched_.erase(name);
    }
    Wake();
}

void HealthChecker::ChildEnded(const siginfo_t &child)
{
    {
        std::lock_guard lock(mutex_);
        if (std::none_of(checks_.begin(), checks_.end(),
                         [&child](const Check &check) { return check.run->ChildEnded(child); })) {
            return;
        }
    }
    Wake();
}

void HealthChecker::Report(const std::string &name, HealthReport::Kind kind, std::string output)
{
    report_(HealthReport{name, kind, std::move(output)});
}

void HealthChecker::Judge(const std::string &name, Watched &watched, const Check &check, ProbeResult result,
                          Clock::time_point now)
{
    watched.checking = false;
    watched.due      = now + watched.settings.interval;
    result.output.resize(std::min(result.output.size(), kProbeOutputLimit));
    if (result.passed) {
        watched.failures = 0;
        if (!watched.passed) {
            watched.passed    = true;
            watched.unhealthy = false;
            Report(name, HealthReport::Kind::kPassed, std::move(result.output));
        } else if (watched.unhealthy) {
            watched.unhealthy = false;
            Report(name, HealthReport::Kind::kHealthy, std::move(result.output));
        }
        return;
    }
    if (check.began < watched.started + watched.settings.start_period) {
        return;
    }
    if (++watched.failures >= watched.settings.failures && !watched.unhealthy) {
        watched.unhealthy = true;
        Report(name, HealthReport::Kind::kUnhealthy, std::move(result.output));
    }
}

void HealthChecker::StartDue(Clock::time_point now)
{
    for (auto &[name, watched] : watched_) {
        if (watched.checking || now < watched.due) {
            continue;
        }
        watched.checking = true;
        Check check{name, watched.generation, now, nullptr};
        try {
            check.run = StartProbe(*watched.settings.probe, watched.settings.timeout);
        } catch (const std::system_error &error) {
            if (log_) {
                log_(Verbosity::kError, "the health check of " + name + " cannot run: " + error.what());
            }
            Judge(name, watched, check, ProbeResult{false, error.what()}, now);
            continue;
        }
        checks_.push_back(std::move(check));
    }
}

void HealthChecker::Settle(Clock::time_point now)
{
    for (auto check = checks_.begin(); check != checks_.end();) {
        const auto found = watched_.find(check->name);
        if (found == watched_.end() || found->second.generation != check->generation) {
            if (check->generation != 0) {
                check->run->Abandon();
                check->generation = 0;  // no watch's: abandoned once
            }
        } else if (auto result = check->run->TakeResult()) {
            Judge(check->name, found->second, *check, std::move(*result), now);
        }
        check = check->run->Finished() ? checks_.erase(check) : std::next(check);
    }
}

void HealthChecker::Loop()
{
    std::unique_lock lock(mutex_);
    while (!stopping_) {
        auto now = Clock::now();
        Settle(now);
        StartDue(now);
        Settle(now);
        std::vector<pollfd> polled{{wake_.Get(), POLLIN, 0}};
        std::optional<Clock::time_point> next;
        for (const Check &check : checks_) {
            const ProbeRun::Slots slots = check.run->Wanted();
            polled.insert(polled.end(), slots.begin(), slots.end());
            if (const auto deadline = check.run->Deadline(); deadline && (!next || *deadline < *next)) {
                next = deadline;
            }
        }
        for (const auto &[name, watched] : watched_) {
            if (!watched.checking && (!next || watched.due < *next)) {
                next = watched.due;
            }
        }
        int timeout = -1;
        if (next) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(*next - now);
            timeout         = static_cast<int>(std::max<std::int64_t>(left.count(), 0));
        }
        lock.unlock();
        poll(polled.data(), polled.size(), timeout);
        lock.lock();
        std::uint64_t count = 0;
        (void)!read(wake_.Get(), &count, sizeof count);
        now            = Clock::now();
        std::size_t at = 1;
        // Only this thread adds and removes checks: they are in the order they were polled.
        for (Check &check : checks_) {
            check.run->Advance({polled[at], polled[at + 1]}, now);
            at += 2;
        }
    }
}

}  // namespace paagent
