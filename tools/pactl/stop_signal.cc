#include "stop_signal.h"

#include <csignal>
#include <cstdint>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <system_error>
#include <unistd.h>

namespace patools {

namespace {

sigset_t EndingSignals()
{
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    return signals;
}

}  // namespace

StopSignal::StopSignal()
{
    const sigset_t signals = EndingSignals();
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    signals_ = signalfd(-1, &signals, SFD_CLOEXEC);
    wake_    = eventfd(0, EFD_CLOEXEC);
    if (signals_ < 0 || wake_ < 0) {
        throw std::system_error(errno, std::generic_category(), "cannot wait for Ctrl-C");
    }
    waiter_ = std::thread([this] { Wait(); });
}

StopSignal::~StopSignal()
{
    const std::uint64_t one = 1;
    (void)!write(wake_, &one, sizeof one);
    waiter_.join();
    close(signals_);
    close(wake_);
}

void StopSignal::Wait()
{
    pollfd polled[2] = {{signals_, POLLIN, 0}, {wake_, POLLIN, 0}};
    while (poll(polled, 2, -1) < 0 && errno == EINTR) {
    }
    if ((polled[0].revents & POLLIN) != 0) {
        Stop();
    }
}

void StopSignal::Stop()
{
    std::lock_guard lock(mutex_);
    stopped_ = true;
    for (agentclient::Connection *connection : watched_) {
        connection->Abandon();
    }
}

StopSignal::Watch::Watch(StopSignal &stop, agentclient::Connection &connection) : stop_(stop), connection_(connection)
{
    std::lock_guard lock(stop_.mutex_);
    stop_.watched_.insert(&connection_);
    if (stop_.stopped_) {
        connection_.Abandon();
    }
}

StopSignal::Watch::~Watch()
{
    std::lock_guard lock(stop_.mutex_);
    stop_.watched_.erase(&connection_);
}

}  // namespace patools
