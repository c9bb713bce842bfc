// pactl top: the status table of the agent's processes, refreshed every second.
#ifndef PACTL_TOP_COMMAND_H
#define PACTL_TOP_COMMAND_H

#include "failure.h"
#include "session.h"

#include <string>
#include <vector>

namespace patools {

// Shows the named processes (every one without names) until q or Ctrl-C, their CPU% that of
// the last second; standard output must be a terminal.
Exit Top(Session &session, const std::vector<std::string> &names);

}  // namespace patools

#endif  // PACTL_TOP_COMMAND_H
