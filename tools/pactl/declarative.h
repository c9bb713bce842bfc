// pactl apply and export: the agent's services and routes made to match a configuration file,
// and written as one.
#ifndef PACTL_DECLARATIVE_H
#define PACTL_DECLARATIVE_H

#include "failure.h"
#include "output.h"
#include "session.h"

#include <filesystem>

namespace patools {

// Makes the agent's services and routes match the file: adds what is missing and changes the
// stopped services that differ, leaving running ones as they are; removes what the file lacks
// only with prune. A dry run prints the steps and makes none.
Exit Apply(Session &session, const Output &output, const std::filesystem::path &file, bool prune, bool dry_run);
// Writes the agent's services and routes as a configuration file (as JSON with --json) to file,
// or to standard output when file is empty.
Exit Export(Session &session, const Output &output, const std::filesystem::path &file);

}  // namespace patools

#endif  // PACTL_DECLARATIVE_H
