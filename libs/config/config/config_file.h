// The agent's configuration file: services with their member processes, and the routing table.
// The agent and pactl both read and write it here, so that they take exactly the same files.
#ifndef AGENTCLIENT_CONFIG_CONFIG_FILE_H
#define AGENTCLIENT_CONFIG_CONFIG_FILE_H

#include <agentclient/records.hpp>

#include <filesystem>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace agentclient::config {

// What a configuration file holds: what the agent keeps across restarts.
struct Definitions {
    std::vector<Service> services;
    std::vector<Route> routes;

    bool operator==(const Definitions &) const = default;
};

// A file that is not a configuration the agent can read, with the line where reading stopped.
class ConfigError : public std::runtime_error {
public:
    ConfigError(int line, const std::string &reason)
        : std::runtime_error("line " + std::to_string(line) + ": " + reason), line_(line)
    {
    }
    int Line() const { return line_; }

private:
    int line_;
};

// What a configuration file must end with. The writer ends every file with the routing section,
// even an empty one, so the agent's own file without it was cut short: read as it is, it would
// drop every definition after the cut.
enum class ConfigEnding {
    kAny,
    kRouting
};

// Reads the definitions from the text of a configuration file that ends as `ending` asks.
Definitions ParseConfig(std::string_view text, ConfigEnding ending = ConfigEnding::kAny);
// Reads a configuration file; a file that does not exist holds no definitions.
Definitions LoadConfig(const std::filesystem::path &path, ConfigEnding ending = ConfigEnding::kAny);
// The text of a configuration file holding the definitions, written by the client library's
// writer. Throws std::runtime_error for a text the file cannot carry (one holding a zero byte),
// naming its record and attribute.
std::string FormatConfig(const Definitions &definitions);
// Replaces the file at path with FormatConfig's text, as ReplaceFile does, flushed to disk.
// Throws std::runtime_error on failure, leaving path as it was.
void SaveConfig(const std::filesystem::path &path, const Definitions &definitions);

}  // namespace agentclient::config

#endif  // AGENTCLIENT_CONFIG_CONFIG_FILE_H
