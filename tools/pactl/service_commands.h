// pactl's service commands: list, status, start, stop and remove.
#ifndef PACTL_SERVICE_COMMANDS_H
#define PACTL_SERVICE_COMMANDS_H

#include "failure.h"
#include "output.h"
#include "session.h"

#include <string>

namespace patools {

// The records of every service, each with its members' states.
Json ServiceRecords(agentclient::Connection &agent);

Exit ShowService(Session &session, const Output &output, const std::string &name);
Exit StartService(Session &session, const Output &output, const std::string &name);
Exit StopService(Session &session, const Output &output, const std::string &name);
Exit RemoveService(Session &session, const Output &output, const std::string &name);

}  // namespace patools

#endif  // PACTL_SERVICE_COMMANDS_H
