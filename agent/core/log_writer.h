// Copying a process's output into its log, rotated at a size, by a program of its own that
// outlives the agent with the process.
#ifndef PAAGENT_CORE_LOG_WRITER_H
#define PAAGENT_CORE_LOG_WRITER_H

#include <cstdint>
#include <string>

namespace paagent {

struct LogLimits {
    std::uint64_t max_bytes = 10 * 1024 * 1024;  // a log is rotated before it grows past this
    int backups             = 5;                 // NAME.1 (the newest) to NAME.backups are kept
};

// Reads input until its end, appending whole lines to log, the file NAME open in directory.
// Before a line would take the file past the limit, renames each NAME.K to NAME.K+1, the oldest
// dropped, NAME to NAME.1, and goes on in a new NAME; a line longer than the limit fills a file
// of its own. A part of a line waits for its end up to 64 KiB, then is written as it is; the last
// one is written without its newline. Returns 0, or 1 when the log cannot be written or rotated.
int WriteLog(int input, int log, int directory, const std::string &name, const LogLimits &limits);

}  // namespace paagent

#endif  // PAAGENT_CORE_LOG_WRITER_H
