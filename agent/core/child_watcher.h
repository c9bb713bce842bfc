// A thread that waits for the agent's children to exit and reports each exit once.
#ifndef PAAGENT_CORE_CHILD_WATCHER_H
#define PAAGENT_CORE_CHILD_WATCHER_H

#include <functional>
#include <map>
#include <mutex>
#include <sys/types.h>
#include <thread>

#include "tds/socket.h"

namespace paagent {

struct ExitStatus {
    bool signalled = false;  // killed by a signal, else exited
    int code       = 0;      // the exit status, or the signal number
    // False for a process that is not the agent's child (adopted from an earlier agent): it
    // has ended, but only its parent can learn how.
    bool known = true;

    bool Success() const { return known && !signalled && code == 0; }
};

class ChildWatcher {
public:
    // Called on the watcher's thread for every child that exits, before the child is reaped.
    using ExitHandler = std::function<void(pid_t pid, ExitStatus status)>;

    explicit ChildWatcher(ExitHandler on_exit);
    // Stops watching; children still running are left alone.
    ~ChildWatcher();
    ChildWatcher(const ChildWatcher &)            = delete;
    ChildWatcher &operator=(const ChildWatcher &) = delete;

    // Watches a child until it exits; the watcher reaps it. Also watches a process that is not
    // the agent's child, whose exit is then reported with an unknown status.
    void Watch(pid_t pid, tds::FileDescriptor pidfd);

private:
    void Run();
    void Wake();

    ExitHandler on_exit_;
    std::mutex mutex_;
    std::map<pid_t, tds::FileDescriptor> children_;
    bool stopping_ = false;
    tds::FileDescriptor wake_;
    std::thread thread_;
};

}  // namespace paagent

#endif  // PAAGENT_CORE_CHILD_WATCHER_H
