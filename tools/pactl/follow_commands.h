// The commands that read and follow: a process's output (logs) and the agents' events (watch).
#ifndef PACTL_FOLLOW_COMMANDS_H
#define PACTL_FOLLOW_COMMANDS_H

#include "output.h"
#include "session.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace patools {

struct LogsOptions {
    std::string name;
    std::string host;  // empty: the process's own, as the agent lists it
    std::int32_t lines = 10;
    bool follow        = false;
};

struct WatchOptions {
    std::vector<std::string> names;  // only events about these processes or services
    std::string host;                // the agent of this host, through the session's agent
    std::optional<std::int64_t> count;
    std::int64_t since = -1;
    std::vector<std::string> servers;  // these agents rather than the session's
    bool all = false;                  // the session's agent and every server of its routing table
};

// Writes the process's last lines, and with follow what comes after them until Ctrl-C.
Exit Logs(Session &session, const Output &output, const LogsOptions &options);

// Writes the events after since as they come, until Ctrl-C or count events.
Exit Watch(Session &session, const Output &output, const WatchOptions &options);

}  // namespace patools

#endif  // PACTL_FOLLOW_COMMANDS_H
