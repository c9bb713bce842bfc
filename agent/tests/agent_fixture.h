// What the agent's tests share: an agent logging into a directory of the test's own, process
// definitions, and looks at process groups from outside the agent.
#ifndef PAAGENT_TESTS_AGENT_FIXTURE_H
#define PAAGENT_TESTS_AGENT_FIXTURE_H

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "core/agent.h"
#include "core/log_writer.h"
#include "support/temp_dir.h"

namespace paagent::testing {

using namespace std::chrono_literals;

// Every wait of a test ends by this, long after anything it waits for should have happened.
inline constexpr std::chrono::seconds kWaitLimit{20};

// Options for an agent whose logs go to DIRECTORY/logs, which the agent creates.
inline AgentOptions OptionsLoggingTo(const std::filesystem::path &directory, std::chrono::milliseconds grace = 200ms)
{
    AgentOptions options;
    options.supervision.log_dir       = directory / "logs";
    options.supervision.grace         = grace;
    options.supervision.restart_delay = 1ms;
    return options;
}

inline Process MakeProcess(std::string name, std::string command, ProcessType type = ProcessType::kNotPaAware)
{
    Process process;
    process.name    = std::move(name);
    process.host    = "node1";
    process.command = std::move(command);
    process.euid    = static_cast<std::int32_t>(getuid());
    process.type    = type;
    return process;
}

inline Service MakeService(std::string name, const std::vector<Process> &processes)
{
    Service service;
    service.name = std::move(name);
    for (const auto &process : processes) {
        service.members.push_back({process, MemberValue{}});
    }
    return service;
}

// The file's text; empty when it cannot be read.
inline std::string ReadLog(const std::filesystem::path &log)
{
    std::ifstream input(log);
    return {std::istreambuf_iterator<char>(input), {}};
}

// Whether the condition holds within the wait limit: a log writer may still be copying the last
// lines once its process has ended, or once the agent has.
inline bool Eventually(const std::function<bool()> &condition)
{
    const auto deadline = std::chrono::steady_clock::now() + kWaitLimit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::yield();
    }
    return true;
}

// A log writer on a thread of its own, copying what the test writes into DIRECTORY/p.log.
class LogWriterThread {
public:
    LogWriterThread(const std::filesystem::path &directory, LogOptions options)
        : directory_(open(directory.c_str(), O_DIRECTORY | O_CLOEXEC)),
          log_(openat(directory_.Get(), "p.log", O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600))
    {
        int ends[2];
        if (pipe2(ends, O_CLOEXEC) != 0) {
            throw std::system_error(errno, std::generic_category(), "pipe2");
        }
        input_  = tds::FileDescriptor(ends[0]);
        output_ = tds::FileDescriptor(ends[1]);
        thread_ =
            std::thread([this, options] { WriteLog(input_.Get(), log_.Get(), directory_.Get(), "p.log", options); });
    }
    ~LogWriterThread() { Close(); }
    LogWriterThread(const LogWriterThread &)            = delete;
    LogWriterThread &operator=(const LogWriterThread &) = delete;

    bool Write(const std::string &text) const
    {
        return write(output_.Get(), text.data(), text.size()) == static_cast<ssize_t>(text.size());
    }
    // Returns once all that was written is in the log.
    void Close()
    {
        output_.Reset();
        if (thread_.joinable()) {
            thread_.join();
        }
    }

private:
    tds::FileDescriptor directory_, log_, input_, output_;
    std::thread thread_;
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
        if (fields >> state >> parent >> process_group && process_group == group && state != 'Z' && state != 'X') {
            return true;
        }
    }
    return false;
}

// Kills, when the test ends, whatever is left of the group.
struct GroupKiller {
    pid_t group = 0;
    ~GroupKiller()
    {
        if (group > 1) {
            kill(-group, SIGKILL);
        }
    }
};

}  // namespace paagent::testing

#endif  // PAAGENT_TESTS_AGENT_FIXTURE_H
