#include "support/agent_process.h"

#include "support/text_file.h"

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <iostream>
#include <poll.h>
#include <spawn.h>
#include <stdexcept>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace fs = std::filesystem;

namespace {

constexpr std::chrono::seconds kStartLimit{15};
constexpr std::chrono::seconds kStopLimit{10};

class TemporaryFamilyHome {
public:
    TemporaryFamilyHome()
    {
        std::string pattern = (fs::temp_directory_path() / "agentclient-e2e-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) {
            throw std::runtime_error("cannot create a temporary directory");
        }
        path_ = pattern;
        setenv("VTHOME", path_.c_str(), 1);
        setenv("HOME", path_.c_str(), 1);  // no ~/.interfaces or ~/.freetds.conf of the user
        // The agents refuse passwords in clear, so every login of the library must encrypt.
        std::ofstream(path_ / "freetds.conf") << "[global]\n\tencryption = require\n";
        for (const char *name : {"FREETDSCONF", "TDSVER", "TDSPORT", "TDSHOST"}) {
            unsetenv(name);
        }
    }
    ~TemporaryFamilyHome()
    {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    const fs::path &Path() const { return path_; }

private:
    fs::path path_;
};

std::string UniqueServerName()
{
    static std::atomic<int> counter{0};
    return "E2E_" + std::to_string(getpid()) + "_" + std::to_string(++counter);
}

// Reads one line from fd, waiting at most until deadline; empty when none came.
std::string ReadLine(int fd, std::chrono::steady_clock::time_point deadline)
{
    std::string line;
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd entry{fd, POLLIN, 0};
        if (left.count() <= 0 || poll(&entry, 1, static_cast<int>(left.count())) <= 0) {
            return {};
        }
        char c = 0;
        if (read(fd, &c, 1) != 1) {
            return {};
        }
        if (c == '\n') {
            return line;
        }
        line += c;
    }
}

}  // namespace

bool Alive(pid_t pid) { return pid > 0 && kill(pid, 0) == 0; }

char StateOf(pid_t pid)
{
    const std::string stat = ReadText("/proc/" + std::to_string(pid) + "/stat");
    const size_t end       = stat.rfind(')');
    return end != std::string::npos && end + 2 < stat.size() ? stat[end + 2] : 0;
}

bool Ends(pid_t pid, std::chrono::milliseconds limit)
{
    const int fd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    if (fd < 0) {
        return true;
    }
    pollfd entry{fd, POLLIN, 0};
    const bool ended = poll(&entry, 1, static_cast<int>(limit.count())) == 1;
    close(fd);
    return ended;
}

const fs::path &FamilyHome()
{
    static TemporaryFamilyHome home;
    return home.Path();
}

AgentProcess::AgentProcess(std::optional<fs::path> config, std::vector<std::string> options, std::string name,
                           const std::string &users)
    : name_(name.empty() ? UniqueServerName() : std::move(name)), options_(std::move(options))
{
    home_ = FamilyHome() / name_;
    fs::create_directories(home_);
    config_ = config.value_or(home_ / "pa.cfg");
    std::ofstream(home_ / "users") << kUser << ":" << kPasswordHash << "\n" << users;
    Start();
    std::ofstream(FamilyHome() / "interfaces", std::ios::app)
        << name_ << "\n\tquery tcp 5.0 127.0.0.1 " << port_ << "\n";
}

AgentProcess::~AgentProcess()
{
    if (pid_ != 0) {
        Signal(SIGTERM);
        if (!WaitForExit(kStopLimit)) {
            Signal(SIGKILL);
            WaitForExit(kStopLimit);
        }
    }
    if (testing::Test::HasFailure()) {
        std::cerr << "--- standard error of paagentd " << name_ << " ---\n" << Errors() << "---\n";
    }
}

std::string AgentProcess::Errors() const { return ReadText(home_ / "stderr"); }

void AgentProcess::Start()
{
    std::vector<std::string> args = {PAAGENTD_PATH,
                                     "--home",
                                     home_.string(),
                                     "--users",
                                     (home_ / "users").string(),
                                     "--listen",
                                     "127.0.0.1:" + std::to_string(port_),
                                     "--name",
                                     name_,
                                     "--config",
                                     config_.string(),
                                     "--grace",
                                     "2",
                                     "--login-key",
                                     PAAGENT_TEST_LOGIN_KEY,
                                     "--require-encrypted-login",
                                     "--restart-delay",
                                     "0.01"};
    args.insert(args.end(), options_.begin(), options_.end());
    std::vector<char *> argv;
    for (auto &arg : args) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);

    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) {
        throw std::runtime_error("cannot create a pipe");
    }
    std::string error_path = (home_ / "stderr").string();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, error_path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    int spawned = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    if (spawned != 0) {
        close(out[0]);
        pid_ = 0;
        throw std::runtime_error("cannot start " + args[0]);
    }
    pidfd_  = static_cast<int>(syscall(SYS_pidfd_open, pid_, 0));
    stdout_ = out[0];

    std::string line     = ReadLine(stdout_, std::chrono::steady_clock::now() + kStartLimit);
    std::string expected = "paagentd: " + name_ + " listening on 127.0.0.1:";
    if (line.rfind(expected, 0) != 0) {
        Signal(SIGKILL);
        WaitForExit(kStopLimit);
        throw std::runtime_error("paagentd did not start (first line '" + line + "'):\n" + Errors());
    }
    port_ = std::stoi(line.substr(expected.size()));
}

void AgentProcess::Signal(int signal)
{
    if (pid_ != 0) {
        kill(pid_, signal);
    }
}

std::optional<int> AgentProcess::WaitForExit(std::chrono::milliseconds limit)
{
    if (pid_ == 0) {
        return std::nullopt;
    }
    pollfd entry{pidfd_, POLLIN, 0};
    if (poll(&entry, 1, static_cast<int>(limit.count())) <= 0) {
        return std::nullopt;
    }
    int status = 0;
    waitpid(pid_, &status, 0);
    close(pidfd_);
    close(stdout_);
    pid_   = 0;
    pidfd_ = stdout_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

void AgentProcess::KillAndRestart(const std::function<void()> &while_down)
{
    Signal(SIGKILL);
    if (!WaitForExit(kStopLimit)) {
        throw std::runtime_error("paagentd survived SIGKILL");
    }
    if (while_down) {
        while_down();
    }
    Start();
}
