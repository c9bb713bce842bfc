// The end of a command that follows output or events until told to stop: Ctrl-C (SIGINT),
// SIGTERM, or the command itself once it has what it wanted. Stopping gives up the calls the
// followers are waiting in, so that the command ends within about a second.
#ifndef PACTL_STOP_SIGNAL_H
#define PACTL_STOP_SIGNAL_H

#include <agentclient/agentclient.hpp>

#include <atomic>
#include <mutex>
#include <set>
#include <thread>

namespace patools {

class StopSignal {
public:
    // Blocks SIGINT and SIGTERM in the calling thread, which the threads it starts later inherit,
    // and waits for them on a thread of its own. Create it before any other thread.
    StopSignal();
    // Ends the waiting thread; the signals stay blocked, so a late Ctrl-C cannot cut an output.
    ~StopSignal();
    StopSignal(const StopSignal &)            = delete;
    StopSignal &operator=(const StopSignal &) = delete;

    // Gives up every watched connection's call, and those of connections watched from now on.
    void Stop();
    bool Stopped() const { return stopped_; }

    // A connection whose call Stop gives up, for as long as the guard lives.
    class Watch {
    public:
        Watch(StopSignal &stop, agentclient::Connection &connection);
        ~Watch();
        Watch(const Watch &)            = delete;
        Watch &operator=(const Watch &) = delete;

    private:
        StopSignal &stop_;
        agentclient::Connection &connection_;
    };

private:
    void Wait();

    std::atomic<bool> stopped_{false};
    std::mutex mutex_;
    std::set<agentclient::Connection *> watched_;
    int signals_;  // a signalfd of SIGINT and SIGTERM
    int wake_;     // an eventfd that ends the waiting thread
    std::thread waiter_;
};

}  // namespace patools

#endif  // PACTL_STOP_SIGNAL_H
