#include "tests/paagentd_child.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <stdexcept>

#include "core/users.h"

extern char **environ;

namespace paagent::tds::testing {
namespace {

using Clock = std::chrono::steady_clock;

// A fresh home directory with a users file holding kAgentUser.
std::filesystem::path make_home()
{
    std::string pattern = (std::filesystem::temp_directory_path() / "paagentd_test.XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("cannot create a temporary directory");
    std::ofstream(std::filesystem::path(pattern) / "users")
        << kAgentUser << ":" << hash_password(kAgentPassword) << "\n";
    return pattern;
}

std::vector<std::string> arguments(const std::filesystem::path &home, const std::vector<std::string> &options)
{
    // The host of the fixture's processes is the agent's own.
    std::vector<std::string> args = {PAAGENTD_PATH,
                                     "--home",
                                     home.string(),
                                     "--users",
                                     (home / "users").string(),
                                     "--listen",
                                     "127.0.0.1:0",
                                     "--login-key",
                                     PAAGENT_TEST_LOGIN_KEY,
                                     "--host-name",
                                     "node1"};
    args.insert(args.end(), options.begin(), options.end());
    return args;
}

struct Pipe {
    FileDescriptor read;
    FileDescriptor write;
};

Pipe make_pipe()
{
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        throw std::runtime_error("cannot create a pipe");
    return {FileDescriptor(fds[0]), FileDescriptor(fds[1])};
}

// Starts args[0] with its standard output and error on the given descriptors.
pid_t spawn(std::vector<std::string> args, int out, int errors)
{
    std::vector<char *> argv;
    for (std::string &arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out, STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, errors, STDERR_FILENO);
    pid_t pid   = 0;
    int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0)
        throw std::runtime_error("cannot start " + args[0]);
    return pid;
}

// Reads from fd until end of file, a newline when `one_line`, or the deadline.
std::string read_until(int fd, Clock::time_point deadline, bool one_line)
{
    std::string text;
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        pollfd entry{fd, POLLIN, 0};
        char c = 0;
        if (left.count() <= 0 || ::poll(&entry, 1, static_cast<int>(left.count())) <= 0 || ::read(fd, &c, 1) != 1)
            return text;
        if (one_line && c == '\n')
            return text;
        text += c;
    }
}

// Waits for the child's exit within the wait limit; its exit status, or -1.
int wait_for_exit(pid_t pid, const FileDescriptor &pidfd)
{
    pollfd entry{pidfd.get(), POLLIN, 0};
    auto limit = std::chrono::duration_cast<std::chrono::milliseconds>(kWaitLimit).count();
    if (::poll(&entry, 1, static_cast<int>(limit)) != 1)
        return -1;
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

FileDescriptor open_pidfd(pid_t pid) { return FileDescriptor(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0))); }

}  // namespace

AgentExit run_paagentd(const std::vector<std::string> &options)
{
    std::filesystem::path home = make_home();
    Pipe output                = make_pipe();
    pid_t pid                  = spawn(arguments(home, options), output.write.get(), output.write.get());
    FileDescriptor pidfd       = open_pidfd(pid);
    output.write.reset();
    AgentExit result;
    result.output = read_until(output.read.get(), Clock::now() + kWaitLimit, false);
    result.status = wait_for_exit(pid, pidfd);
    if (result.status < 0) {
        ::kill(pid, SIGKILL);
        wait_for_exit(pid, pidfd);
    }
    std::filesystem::remove_all(home);
    return result;
}

PaagentdChild::PaagentdChild(const std::vector<std::string> &options) : home_(make_home())
{
    Pipe out    = make_pipe();
    Pipe errors = make_pipe();
    pid_        = spawn(arguments(home_, options), out.write.get(), errors.write.get());
    pidfd_      = open_pidfd(pid_);
    errors_     = std::move(errors.read);
    out.write.reset();
    errors.write.reset();
    collector_ = std::thread([this] { collect_log(); });

    std::string line            = read_until(out.read.get(), Clock::now() + kWaitLimit, true);
    const std::string listening = "listening on 127.0.0.1:";
    auto at                     = line.find(listening);
    if (at == std::string::npos) {
        stop();
        throw std::runtime_error("paagentd did not start: '" + line + "'");
    }
    port_ = static_cast<std::uint16_t>(std::stoi(line.substr(at + listening.size())));
}

PaagentdChild::~PaagentdChild() { stop(); }

void PaagentdChild::stop()
{
    if (pid_ != 0) {
        ::kill(pid_, SIGTERM);
        int status = wait_for_exit(pid_, pidfd_);
        if (status < 0) {
            ::kill(pid_, SIGKILL);
            wait_for_exit(pid_, pidfd_);
        }
        // Also how a sanitizer that found a fault in the agent makes itself heard.
        if (status != 0) {
            ADD_FAILURE() << "paagentd ended with status " << status << " on SIGTERM";
        }
        pid_ = 0;
    }
    if (collector_.joinable())
        collector_.join();
    std::error_code ignored;
    std::filesystem::remove_all(home_, ignored);
}

void PaagentdChild::collect_log()
{
    std::string line;
    char c = 0;
    while (::read(errors_.get(), &c, 1) == 1) {
        if (c != '\n') {
            line += c;
            continue;
        }
        log_.add(line);
        line.clear();
    }
}

}  // namespace paagent::tds::testing
