// The agent's configuration file in the C++ API's types: read with the agent's own parser, so
// that pactl accepts exactly the files the agent does.
#ifndef PACTL_CONFIGURATION_H
#define PACTL_CONFIGURATION_H

#include <agentclient/agentclient.hpp>

#include <filesystem>
#include <vector>

namespace pactl {

struct Configuration {
    std::vector<agentclient::Service> services;
    std::vector<agentclient::Route> routes;
};

// Reads the file; a UsageError naming the file, and the line when it cannot be parsed, for a
// file that is missing or that the agent would refuse.
Configuration ReadConfiguration(const std::filesystem::path &path);

}  // namespace pactl

#endif  // PACTL_CONFIGURATION_H
