// A program the agent runs for itself (a hook, a health check): in a process group of its own,
// to be killed whole, with its standard output and error in a pipe.
#ifndef PAAGENT_CORE_GROUP_CHILD_H
#define PAAGENT_CORE_GROUP_CHILD_H

#include <chrono>
#include <csignal>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

#include "tds/socket.h"

namespace paagent {

// "exited with status N" or "was killed by signal N".
std::string EndingText(const siginfo_t &end);

// The child is the agent's, and the supervisor, the agent's subreaper, reaps every child it does
// not know: whoever runs a GroupChild hands it those ends (Ended) and learns its end from its
// pidfd or from there, whichever comes first. Not thread-safe: its owner locks.
class GroupChild {
public:
    using Clock = std::chrono::steady_clock;
    // What becomes of the processes left in its group when it ends.
    enum class Leftovers {
        kKept,
        kKilled
    };

    // Starts argv[0], a path, with standard input from /dev/null, no signal blocked and the
    // environment given ("NAME=value"), or the one the agent hands its processes when there is
    // none. Throws std::system_error when it cannot be started.
    GroupChild(const std::vector<std::string> &argv, const std::vector<std::string> *environment,
               Clock::time_point deadline, Leftovers leftovers = Leftovers::kKept);
    // Kills and reaps a child that has not ended.
    ~GroupChild();
    GroupChild(const GroupChild &)            = delete;
    GroupChild &operator=(const GroupChild &) = delete;

    pid_t Pid() const { return pid_; }
    // The pipe's read end, non-blocking; -1 once it has ended.
    int Output() const { return output_.Get(); }
    // Readable once it has exited; -1 once its end is known or another part reaped it.
    int Pidfd() const { return end_ ? -1 : pidfd_.Get(); }
    const std::optional<siginfo_t> &End() const { return end_; }
    Clock::time_point Deadline() const { return deadline_; }
    bool Killed() const { return killed_; }

    // Hands what the pipe holds now to the sink, and closes the pipe at its end.
    void ReadOutput(const std::function<void(std::string_view)> &sink);
    // Reaps it, when its pidfd says it has exited.
    void Collect();
    // Another part reaped this child: whether the end was this one's.
    bool Ended(const siginfo_t &child);
    // Brings its deadline forward to this time.
    void EndBy(Clock::time_point deadline);
    // Kills its group when it runs past its deadline; whether it did now.
    bool KillIfPast(Clock::time_point now);
    // Kills its group, unless it has ended.
    void Kill();

private:
    // Kills what its group holds once it has ended, when its leftovers are not kept.
    void EndLeftovers();

    pid_t pid_ = 0;
    tds::FileDescriptor pidfd_;
    tds::FileDescriptor output_;
    Clock::time_point deadline_;
    Leftovers leftovers_;
    bool killed_ = false;
    std::optional<siginfo_t> end_;
};

}  // namespace paagent

#endif  // PAAGENT_CORE_GROUP_CHILD_H
