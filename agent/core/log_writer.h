// Copying a process's output into its log, rotated at a size, by a program of its own that
// outlives the agent with the process.
#ifndef PAAGENT_CORE_LOG_WRITER_H
#define PAAGENT_CORE_LOG_WRITER_H

#include <cstdint>
#include <optional>
#include <string>

namespace paagent {

struct LogOptions {
    std::uint64_t max_bytes = 10 * 1024 * 1024;  // a log is rotated before it grows past this
    int backups             = 5;                 // NAME.1 (the newest) to NAME.backups are kept
    bool timestamps         = false;             // each line begins with the time it was read
};

// The file beside log NAME that holds the offset of NAME's first byte in the whole output ever
// written to NAME and its backups, in decimal; without it NAME starts at 0.
inline std::string StartFileName(const std::string &name) { return name + ".start"; }
// What the start file of log name, in directory, records; none without one.
std::optional<std::uint64_t> ReadStart(int directory, const std::string &name);

// Reads input until its end, appending whole lines to log, the file NAME open in directory.
// Before a line would take the file past the limit, renames each NAME.K to NAME.K+1, the oldest
// dropped, NAME to NAME.1, records where the new NAME starts in its start file, and goes on in a
// new NAME; a line longer than the limit fills a file of its own. A part of a line waits for its
// end up to 64 KiB, then is written as it is; the last one is written without its newline. With
// timestamps, a line written in parts has one, before its first part. What the log cannot take,
// on a full disk or a failed rotation, is dropped and counted while reading goes on, so that the
// process never blocks on its output nor dies of SIGPIPE; writing is tried again once a delay has
// passed, 100 ms doubling to 3.2 s, and its first line then says how many bytes were lost and
// why. Returns 0, or 1 when output lost was never said.
int WriteLog(int input, int log, int directory, const std::string &name, const LogOptions &options);

}  // namespace paagent

#endif  // PAAGENT_CORE_LOG_WRITER_H
