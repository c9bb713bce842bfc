// What /proc tells of a process.
#ifndef PAAGENT_CORE_PROC_ENTRY_H
#define PAAGENT_CORE_PROC_ENTRY_H

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>

namespace paagent {

// The fields of /proc/PID/stat the agent looks at.
struct ProcessEntry {
    char state               = '?';
    pid_t parent             = 0;
    pid_t group              = 0;
    pid_t session            = 0;
    std::uint64_t start_time = 0;  // clock ticks after boot

    bool Running() const { return state != 'Z' && state != 'X'; }
};

// The entry of the process of that PID (a decimal number), if there is one.
std::optional<ProcessEntry> ReadEntry(const std::string &pid);
// Its real user id, from /proc/PID/status.
std::optional<uid_t> ReadRealUid(const std::string &pid);
// Whether the environment it was started with holds the "NAME=value" entry.
bool EnvironmentHolds(const std::string &pid, std::string_view entry);

}  // namespace paagent

#endif  // PAAGENT_CORE_PROC_ENTRY_H
