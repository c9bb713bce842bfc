// The state file on disk: read whole, and kept aside when the agent cannot read all of it.
#ifndef PAAGENT_CORE_STATE_STORE_H
#define PAAGENT_CORE_STATE_STORE_H

#include <filesystem>
#include <optional>
#include <string>

namespace paagent {

// The text of the file; none when there is no file. Throws std::runtime_error when it cannot be
// read.
std::optional<std::string> ReadStateText(const std::filesystem::path &path);
// Writes text, the file's own, beside it as PATH.bad-TIME (TIME in UTC, as 20261207T011500Z), for
// its owner alone, before the agent replaces the file; a name taken already gets -2, -3 and so
// on after it. Returns the name written. Throws std::runtime_error.
std::filesystem::path KeepAside(const std::filesystem::path &path, const std::string &text);

}  // namespace paagent

#endif  // PAAGENT_CORE_STATE_STORE_H
