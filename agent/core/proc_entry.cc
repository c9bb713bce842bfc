#include "core/proc_entry.h"

#include <fstream>
#include <sstream>

namespace paagent {

std::optional<ProcessEntry> ReadEntry(const std::string &pid)
{
    std::ifstream file("/proc/" + pid + "/stat");
    std::string text;
    if (!std::getline(file, text)) {
        return std::nullopt;
    }
    // The command name in parentheses may hold anything; the fields follow its last ')'.
    auto close = text.rfind(')');
    if (close == std::string::npos) {
        return std::nullopt;
    }
    std::istringstream fields(text.substr(close + 1));
    ProcessEntry entry;
    if (!(fields >> entry.state >> entry.parent >> entry.group >> entry.session)) {
        return std::nullopt;
    }
    // From the terminal (field 7) to the start time (field 22).
    std::string skipped;
    for (int field = 7; field < 22; ++field) {
        fields >> skipped;
    }
    if (!(fields >> entry.start_time)) {
        return std::nullopt;
    }
    return entry;
}

std::optional<uid_t> ReadRealUid(const std::string &pid)
{
    std::ifstream file("/proc/" + pid + "/status");
    for (std::string line; std::getline(file, line);) {
        // "Uid:" then the real, effective, saved and file system user ids.
        uid_t uid = 0;
        if (line.starts_with("Uid:") && std::istringstream(line.substr(4)) >> uid) {
            return uid;
        }
    }
    return std::nullopt;
}

bool EnvironmentHolds(const std::string &pid, std::string_view entry)
{
    std::ifstream file("/proc/" + pid + "/environ", std::ios::binary);
    for (std::string item; std::getline(file, item, '\0');) {
        if (item == entry) {
            return true;
        }
    }
    return false;
}

}  // namespace paagent
