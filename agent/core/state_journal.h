// The state file as the agent keeps it while it runs: a line appended at every launch and end,
// so that a change costs the same whatever the number of processes, and the file rewritten whole
// only once the lines it holds outnumber the records twice over.
#ifndef PAAGENT_CORE_STATE_JOURNAL_H
#define PAAGENT_CORE_STATE_JOURNAL_H

#include <cstddef>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "core/state_file.h"
#include "tds/socket.h"

namespace paagent {

class StateJournal {
public:
    // Writes nothing until Reset.
    explicit StateJournal(std::filesystem::path path);

    // Replaces the file with the records. Throws std::runtime_error.
    void Reset(const std::vector<RunningRecord> &records);
    // Records a process that runs or waits for its restart, replacing what its name had. Returns
    // once the line is in the file, where a crash of the agent cannot take it away. Throws
    // std::runtime_error, leaving the record out.
    void Record(const RunningRecord &record);
    // Ends the record of a process, if it has one. Throws std::runtime_error.
    void End(const std::string &name);

private:
    void Append(const std::string &line);
    void CompactWhenLong();

    std::filesystem::path path_;
    tds::FileDescriptor file_;  // opened for appending by Reset
    std::map<std::string, RunningRecord> records_;
    std::size_t lines_ = 0;
};

}  // namespace paagent

#endif  // PAAGENT_CORE_STATE_JOURNAL_H
