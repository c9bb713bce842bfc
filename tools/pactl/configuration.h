// The agent's configuration file, read with the agent's own parser, so that pactl accepts
// exactly the files the agent does.
#ifndef PACTL_CONFIGURATION_H
#define PACTL_CONFIGURATION_H

#include <config/config_file.h>

#include <filesystem>

namespace patools {

// Reads the file; a UsageError naming the file, and the line when it cannot be parsed, for a
// file that is missing or that the agent would refuse.
agentclient::config::Definitions ReadConfiguration(const std::filesystem::path &path);

}  // namespace patools

#endif  // PACTL_CONFIGURATION_H
