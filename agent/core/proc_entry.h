// What /proc tells of a process.
#ifndef PAAGENT_CORE_PROC_ENTRY_H
#define PAAGENT_CORE_PROC_ENTRY_H

#include <cstdint>
#include <optional>
#include <string>
#include <sys/types.h>

namespace paagent {

// The fields of /proc/PID/stat the agent looks at.
struct ProcessEntry {
    char state               = '?';
    pid_t parent             = 0;
    pid_t group              = 0;
    pid_t session            = 0;
    std::uint64_t start_time = 0;  // clock ticks after boot

    bool running() const { return state != 'Z' && state != 'X'; }
};

// The entry of the process of that PID (a decimal number), if there is one.
std::optional<ProcessEntry> read_entry(const std::string &pid);

}  // namespace paagent

#endif  // PAAGENT_CORE_PROC_ENTRY_H
