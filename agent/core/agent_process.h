// A process as the agent keeps it; shared by the agent's own sources only.
#ifndef PAAGENT_CORE_AGENT_PROCESS_H
#define PAAGENT_CORE_AGENT_PROCESS_H

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/agent.h"

namespace paagent {

struct Agent::Process {
    ProcessSpec definition;
    std::int32_t id    = 0;
    ProcessState state = ProcessState::kStopped;
    pid_t pid          = 0;     // the launched process while it runs
    ProcessIdentity identity;   // of that process
    std::string launch_key;     // in its environment
    pid_t reported_pid    = 0;  // what a PA-aware process reported since its start
    std::int32_t restarts = 0;
    bool stop_requested   = false;
    bool starting         = false;  // within a start's time-out: failures go to the caller
    bool awaiting_report  = false;  // a start waits for the process to report its PID
    bool launching        = false;  // being forked, with the agent's lock released
    std::optional<ExitStatus> last_exit;
    std::chrono::steady_clock::time_point started;                 // of its last launch
    std::chrono::milliseconds restart_delay{0};                    // before its last restart
    std::optional<std::chrono::steady_clock::time_point> restart;  // when a restart is due
    std::string extra_args;                                        // kept for restarts
    std::vector<std::string> environment;
    // The groups its launches made that may still hold processes, its current one last.
    std::vector<std::shared_ptr<const ProcessGroup>> groups;

    // Running, or about to.
    bool Active() const { return pid != 0 || launching || restart.has_value(); }
};

// Releases a lock for the length of a scope and takes it again, also when the scope throws.
class Unlocked {
public:
    explicit Unlocked(std::unique_lock<std::mutex> &lock) : lock_(lock) { lock_.unlock(); }
    ~Unlocked() { lock_.lock(); }
    Unlocked(const Unlocked &)            = delete;
    Unlocked &operator=(const Unlocked &) = delete;

private:
    std::unique_lock<std::mutex> &lock_;
};

}  // namespace paagent

#endif  // PAAGENT_CORE_AGENT_PROCESS_H
