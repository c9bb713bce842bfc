// The agent's state file: the processes it started that run or wait for their restart, so that the next agent, after a
// crash, a SIGKILL or an upgrade, takes them on instead of starting them again.
#ifndef PAAGENT_CORE_STATE_FILE_H
#define PAAGENT_CORE_STATE_FILE_H

#include <string>
#include <string_view>
#include <vector>

#include "core/records.h"
#include "core/spawn.h"

namespace paagent {

struct RunningRecord {
    Process definition;  // kept whole: a process started on its own is in no other file
    pid_t pid = 0;       // 0: a managed process waiting for its restart
    ProcessIdentity identity;
    std::string launch_key;                // empty in a file of format 1, which had none
    std::string extra_args;                // kept for restarts
    std::vector<std::string> environment;  // likewise
};

// A line of a state file that cannot be read.
struct BadLine {
    int number = 0;  // from 1
    std::string reason;
};

struct ParsedState {
    std::vector<RunningRecord> records;
    std::vector<BadLine> bad_lines;
};

// The text of a state file holding the records, for this boot of the system: its first line, then
// a line per record. A line appended later replaces the record of its name, or ends it.
std::string FormatState(const std::vector<RunningRecord> &records);
std::string StateHeader();
std::string StateLine(const RunningRecord &record);
std::string EndedLine(const std::string &name);
// The records of a state file written during this boot of the system, and the lines that cannot
// be read, each of which loses one record only; nothing from an earlier boot, whose processes are
// all gone. A first line naming no format this agent reads is the file's only bad line.
ParsedState ParseState(std::string_view text);

}  // namespace paagent

#endif  // PAAGENT_CORE_STATE_FILE_H
