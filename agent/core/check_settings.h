// How the agent learns that a process is ready and stays healthy: the settings of one process,
// which live in the agent's checks directory (NAME.conf) since the process record has no room
// for them.
#ifndef PAAGENT_CORE_CHECK_SETTINGS_H
#define PAAGENT_CORE_CHECK_SETTINGS_H

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace paagent {

// What tells the agent that a started process is ready.
enum class ReadyBy {
    kNone,    // running is ready
    kNotify,  // "READY=1" on its notification socket
    kInform,  // the PA-aware report
    kCheck    // its first passing health check
};

// A command run by /bin/sh in a process group of its own: exit status 0 is healthy.
struct ExecCheck {
    std::string command;

    bool operator==(const ExecCheck &) const = default;
};

// A TCP connection that opens is healthy.
struct TcpCheck {
    std::string host;
    std::uint16_t port = 0;

    bool operator==(const TcpCheck &) const = default;
};

// An HTTP/1.1 GET answered with a 2xx or 3xx status is healthy.
struct HttpCheck {
    std::string host;
    std::uint16_t port = 80;
    std::string path   = "/";

    bool operator==(const HttpCheck &) const = default;
};

using HealthProbe = std::variant<ExecCheck, TcpCheck, HttpCheck>;

// The longest a start waits for ready unless a process's settings say otherwise.
inline constexpr std::chrono::seconds kDefaultStartTimeout{20};

struct CheckSettings {
    ReadyBy ready = ReadyBy::kNone;
    // How long a start, and a service's next member, waits for ready; by default short enough
    // that the start answers before a client gives up on the reply.
    std::chrono::milliseconds start_timeout{kDefaultStartTimeout};
    std::optional<HealthProbe> probe;
    std::chrono::milliseconds interval{10'000};
    std::chrono::milliseconds timeout{5'000};
    // Failures in a row that make a process unhealthy.
    int failures = 3;
    // Failures within this time after a start do not count.
    std::chrono::milliseconds start_period{0};
    // An unhealthy managed process is restarted; an unmanaged one is only reported.
    bool restart_unhealthy = true;

    bool operator==(const CheckSettings &) const = default;
};

// The settings of every process with a file in the directory, by process name.
struct ChecksDirectory {
    std::map<std::string, CheckSettings> settings;
    // Files that are read but deserve a word, e.g. one for a process that is not defined or one
    // whose start-timeout outlasts a client's default wait for the reply.
    std::vector<std::string> warnings;
};

// Reads every NAME.conf of dir: "key = value" lines, '#' comments, seconds as decimal numbers.
// Throws std::runtime_error naming the file, the line and the reason for an unknown key, a line
// without '=', a bad value or a setting that needs another ("ready = check" without "check").
// Only NAME.conf files are read, and only when only their owner, this user or root, may write
// them (see tds::ReadProtectedFile): an exec check runs its command. Other files, and hidden ones,
// are left out with a warning. A directory that does not exist holds no settings.
ChecksDirectory LoadChecksDirectory(const std::filesystem::path &dir);

// The same for one file's text; where names it in errors.
CheckSettings ParseCheckSettings(const std::string &text, const std::string &where);

}  // namespace paagent

#endif  // PAAGENT_CORE_CHECK_SETTINGS_H
