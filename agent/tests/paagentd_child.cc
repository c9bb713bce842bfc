#include "tests/paagentd_child.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <stdexcept>
#include <utility>

#include "core/users.h"

extern char **environ;

namespace paagent::tds::testing {
namespace {

// Starts paagentd under umask 0, in a process group of its own, with its home, which it creates,
// in the directory beside a users file holding kAgentUser, with its standard output and error on
// a pipe, through the launcher when there is one; the pipe's reading end.
FileDescriptor Spawn(const std::filesystem::path &directory, const std::vector<std::string> &options, pid_t &pid,
                     const std::vector<std::string> &launcher = {})
{
    const std::string home = (directory / "home").string(), users = (directory / "users").string();
    std::ofstream(users) << kAgentUser << ":" << HashPassword(kAgentPassword) << "\n";
    // The host of the fixture's processes is the agent's own.
    std::vector<std::string> args = {PAAGENTD_PATH, "--home",      home,          "--users", users,
                                     "--listen",    "127.0.0.1:0", "--host-name", "node1"};
    if (std::find(options.begin(), options.end(), "--login-key") == options.end()) {
        args.insert(args.end(), {"--login-key", PAAGENT_TEST_LOGIN_KEY});
    }
    args.insert(args.end(), options.begin(), options.end());
    args.insert(args.begin(), launcher.begin(), launcher.end());
    std::vector<char *> argv;
    for (std::string &arg : args) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        throw std::runtime_error("cannot create a pipe");
    }
    FileDescriptor read_end(fds[0]), write_end(fds[1]);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, write_end.Get(), STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, write_end.Get(), STDERR_FILENO);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    const mode_t previous = ::umask(0);
    int spawned           = posix_spawn(&pid, argv[0], &actions, &attributes, argv.data(), environ);
    ::umask(previous);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        throw std::runtime_error("cannot start paagentd");
    }
    return read_end;
}

// Waits, boundedly, for the child's exit after `signal` to its process group (none when 0), then
// kills it; its exit status, not 0 when it had to be killed.
int EndChild(pid_t pid, int signal)
{
    FileDescriptor pidfd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
    if (signal != 0) {
        ::kill(-pid, signal);
    }
    pollfd entry{pidfd.Get(), POLLIN, 0};
    const bool ended = ::poll(&entry, 1, static_cast<int>(std::chrono::milliseconds(kWaitLimit).count())) == 1;
    if (!ended) {
        ::kill(pid, SIGKILL);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return !ended ? -1 : WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Reads the output line by line into the log until its end.
void Collect(int fd, LogCapture &log)
{
    std::string line;
    for (char c = 0; ::read(fd, &c, 1) == 1;) {
        if (c != '\n') {
            line += c;
        } else {
            log.Add(line);
            line.clear();
        }
    }
}

}  // namespace

AgentExit RunPaagentd(const std::vector<std::string> &options)
{
    const TempDir directory;
    pid_t pid             = 0;
    FileDescriptor output = Spawn(directory.Path(), options, pid);
    AgentExit result;
    // The few lines it writes fit in the pipe until it ends.
    result.status = EndChild(pid, 0);
    char buffer[4096];
    for (ssize_t got = 0; (got = ::read(output.Get(), buffer, sizeof buffer)) > 0;) {
        result.output.append(buffer, static_cast<std::size_t>(got));
    }
    return result;
}

PaagentdChild::PaagentdChild(const std::vector<std::string> &options, const std::vector<std::string> &launcher)
{
    output_                     = Spawn(directory_.Path(), options, pid_, launcher);
    collector_                  = std::thread([this] { Collect(output_.Get(), log_); });
    const std::string listening = "listening on 127.0.0.1:";
    const std::string line      = log_.LineWith(listening);
    if (line.empty()) {
        End(SIGTERM);
        throw std::runtime_error("paagentd did not start");
    }
    port_ = static_cast<std::uint16_t>(std::stoi(line.substr(line.find(listening) + listening.size())));
}

PaagentdChild::~PaagentdChild()
{
    // Also how a sanitizer that found a fault in the agent makes itself heard.
    if (int status = pid_ != 0 ? End(SIGTERM) : 0; status != 0) {
        ADD_FAILURE() << "paagentd ended with status " << status << " on SIGTERM";
    }
}

int PaagentdChild::End(int signal)
{
    const int status = EndChild(std::exchange(pid_, 0), signal);
    collector_.join();
    return status;
}

}  // namespace paagent::tds::testing
