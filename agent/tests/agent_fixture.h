// What the agent's tests share: a temporary directory, an agent logging into it, process
// definitions, a FIFO a process writes to, and looks at process groups from outside the agent.
#ifndef PAAGENT_TESTS_AGENT_FIXTURE_H
#define PAAGENT_TESTS_AGENT_FIXTURE_H

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <stdexcept>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "core/agent.h"

namespace paagent::testing {

using namespace std::chrono_literals;

// Every wait of a test ends by this, long after anything it waits for should have happened.
inline constexpr std::chrono::seconds kWaitLimit{20};

// A directory of its own, removed with everything in it.
class TempDir {
public:
    TempDir()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "paagent_test_XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr)
            throw std::runtime_error("cannot create a temporary directory");
        path_ = pattern;
    }
    ~TempDir() { std::filesystem::remove_all(path_); }
    TempDir(const TempDir &)            = delete;
    TempDir &operator=(const TempDir &) = delete;

    const std::filesystem::path &path() const { return path_; }

private:
    std::filesystem::path path_;
};

// Options for an agent whose logs go to DIRECTORY/logs, created as the program creates it.
inline AgentOptions OptionsLoggingTo(const std::filesystem::path &directory, std::chrono::milliseconds grace = 200ms)
{
    std::filesystem::create_directories(directory / "logs");
    AgentOptions options;
    options.log_dir       = directory / "logs";
    options.grace         = grace;
    options.restart_delay = 1ms;
    return options;
}

inline ProcessSpec MakeProcess(std::string name, std::string command, ProcessType type = ProcessType::NotPaAware)
{
    return {std::move(name), "node1", std::move(command), static_cast<std::int32_t>(getuid()), false, {}, {}, 0, type};
}

inline ServiceSpec MakeService(std::string name, const std::vector<ProcessSpec> &processes)
{
    ServiceSpec service;
    service.name = std::move(name);
    for (const auto &process : processes)
        service.members.push_back({process, MemberValue{}});
    return service;
}

// A FIFO a started process writes a line to; reading it waits, boundedly, for the process.
class Fifo {
public:
    explicit Fifo(std::filesystem::path path) : path_(std::move(path))
    {
        if (mkfifo(path_.c_str(), 0600) != 0)
            throw std::runtime_error("cannot create FIFO " + path_.string());
    }

    const std::filesystem::path &path() const { return path_; }

    // The numbers on the first line written to the FIFO; none when no line came within kWaitLimit.
    std::vector<long> read_numbers() const
    {
        int fd = open(path_.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        std::string text;
        const auto deadline = std::chrono::steady_clock::now() + kWaitLimit;
        while (fd >= 0 && text.find('\n') == std::string::npos && std::chrono::steady_clock::now() < deadline) {
            pollfd ready{fd, POLLIN, 0};
            char buffer[256];
            ssize_t got = poll(&ready, 1, 100) > 0 ? read(fd, buffer, sizeof buffer) : 0;
            text.append(buffer, static_cast<std::size_t>(std::max<ssize_t>(got, 0)));
        }
        close(fd);
        std::istringstream line(text.substr(0, text.find('\n')));
        std::vector<long> numbers;
        for (long number = 0; line >> number;)
            numbers.push_back(number);
        return numbers;
    }

private:
    std::filesystem::path path_;
};

// Whether a process of the group runs, from /proc: a process that exited and waits to be
// reaped does not count.
inline bool GroupRuns(pid_t group)
{
    for (const auto &entry : std::filesystem::directory_iterator("/proc")) {
        std::ifstream stat(entry.path() / "stat");
        std::string text;
        std::getline(stat, text);
        std::istringstream fields(text.substr(std::min(text.size(), text.rfind(')') + 1)));
        char state   = 'X';
        pid_t parent = 0, process_group = 0;
        if (fields >> state >> parent >> process_group && process_group == group && state != 'Z' && state != 'X')
            return true;
    }
    return false;
}

// Kills, when the test ends, whatever is left of the groups.
class GroupKiller {
public:
    GroupKiller() = default;
    ~GroupKiller()
    {
        for (pid_t group : groups_)
            kill(-group, SIGKILL);
    }
    GroupKiller(const GroupKiller &)            = delete;
    GroupKiller &operator=(const GroupKiller &) = delete;

    void add(pid_t group)
    {
        if (group > 1)
            groups_.push_back(group);
    }

private:
    std::vector<pid_t> groups_;
};

}  // namespace paagent::testing

#endif  // PAAGENT_TESTS_AGENT_FIXTURE_H
