// Starting a command as a child process the agent can watch and signal.
#ifndef PAAGENT_CORE_SPAWN_H
#define PAAGENT_CORE_SPAWN_H

#include <string>
#include <sys/types.h>
#include <vector>

#include "tds/socket.h"

namespace paagent {

struct LaunchRequest {
    std::string command;                   // run by /bin/sh -c
    uid_t uid = 0;                         // user to run as
    std::vector<std::string> environment;  // "NAME=value" entries added to the agent's own
    std::string log_path;                  // standard output and error are appended here
};

struct LaunchedChild {
    pid_t pid = 0;
    tds::FileDescriptor pidfd;  // readable once the child has exited
};

// Starts the command in a session and process group of its own, with standard input from
// /dev/null. Throws std::system_error when the log cannot be opened, the user cannot be
// taken on, or the process cannot be created; a command the shell cannot run starts and
// then exits with status 127.
LaunchedChild launch(const LaunchRequest &request);

}  // namespace paagent

#endif  // PAAGENT_CORE_SPAWN_H
