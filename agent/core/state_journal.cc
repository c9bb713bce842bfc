#include "core/state_journal.h"

#include <cerrno>
#include <config/atomic_file.h>
#include <cstring>
#include <fcntl.h>
#include <stdexcept>
#include <unistd.h>

namespace paagent {

namespace {

// Lines beyond twice the records, and this many more, make the next change rewrite the file.
constexpr std::size_t kSlackLines = 64;

}  // namespace

StateJournal::StateJournal(std::filesystem::path path) : path_(std::move(path)) {}

void StateJournal::Reset(const std::vector<RunningRecord> &records)
{
    records_.clear();
    for (const RunningRecord &record : records) {
        records_[record.definition.name] = record;
    }
    // Durable for a crash of the agent only: after one of the system no process it records runs.
    agentclient::config::ReplaceFile(path_, FormatState(records), agentclient::config::Durability::kProcessCrash);
    file_ = tds::FileDescriptor(open(path_.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC | O_NOFOLLOW));
    if (!file_.Valid()) {
        throw std::runtime_error("cannot open " + path_.string() + ": " + std::strerror(errno));
    }
    lines_ = records_.size();
}

void StateJournal::Record(const RunningRecord &record)
{
    CompactWhenLong();
    Append(StateLine(record));
    records_[record.definition.name] = record;
}

void StateJournal::End(const std::string &name)
{
    if (records_.erase(name) == 0) {
        return;
    }
    CompactWhenLong();
    Append(EndedLine(name));
}

void StateJournal::Append(const std::string &line)
{
    if (!file_.Valid()) {
        throw std::runtime_error("the state file " + path_.string() + " is not open");
    }
    // One write with O_APPEND: a line is in the file whole, or cut short only by the end of
    // the agent in the middle of it, which the reader sees by its missing end.
    const ssize_t written = write(file_.Get(), line.data(), line.size());
    if (written != static_cast<ssize_t>(line.size())) {
        const std::string reason = written < 0 ? std::strerror(errno) : "short write";
        throw std::runtime_error("cannot write " + path_.string() + ": " + reason);
    }
    ++lines_;
}

void StateJournal::CompactWhenLong()
{
    if (file_.Valid() && lines_ < 2 * records_.size() + kSlackLines) {
        return;
    }
    std::vector<RunningRecord> records;
    records.reserve(records_.size());
    for (const auto &[name, record] : records_) {
        records.push_back(record);
    }
    Reset(records);
}

}  // namespace paagent
