// Reading a process's output from its log and the backups its rotations left, by cursor: the
// offset of a byte in the whole output ever written to the log (see StartFileName).
#ifndef PAAGENT_CORE_OUTPUT_READER_H
#define PAAGENT_CORE_OUTPUT_READER_H

#include <agentclient/records.hpp>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

#include "tds/socket.h"

namespace paagent {

class OutputReader {
public:
    // Reads the logs in directory, which need not exist yet. Throws std::system_error when the
    // descriptor that ends the waits cannot be had.
    explicit OutputReader(std::filesystem::path directory) : directory_(std::move(directory)) {}

    // At most max_bytes of log_name's output from cursor, or with cursor kEndCursor from the
    // start of its last tail_lines lines, looking into the backups when the log holds fewer; a
    // last line without its end counts. Bytes rotated away before cursor are skipped and counted
    // in lost. When nothing is new, waits up to wait for the log to grow or rotate, then answers
    // nothing at the same cursor. A cursor beyond the end, left by logs removed by hand, reads on
    // from the first byte kept. Throws AgentError when rotations keep moving the files under it.
    agentclient::Output Read(const std::string &log_name, std::int64_t cursor, std::int32_t tail_lines,
                             std::chrono::milliseconds wait, std::size_t max_bytes) const;

    // Ends every wait, now and later.
    void Stop() { stopped_.Raise(); }

private:
    std::filesystem::path directory_;
    tds::StopSignal stopped_;
};

}  // namespace paagent

#endif  // PAAGENT_CORE_OUTPUT_READER_H
