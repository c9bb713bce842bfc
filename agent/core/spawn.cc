#include "core/spawn.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <system_error>
#include <unistd.h>

extern char **environ;

namespace paagent {
namespace {

[[noreturn]] void throw_errno(const std::string &what)
{
    throw std::system_error(errno, std::generic_category(), what);
}

// Everything the child needs, prepared before fork: after it only async-signal-safe calls run.
struct ChildPlan {
    std::vector<std::string> environment_storage;
    std::vector<char *> environment;
    const char *command = nullptr;
    int log_fd          = -1;
    int null_fd         = -1;
    uid_t uid           = 0;
    gid_t gid           = 0;
    bool change_user    = false;
};

// The primary group of a user, or the number of the user itself when it has no entry.
gid_t primary_group(uid_t uid)
{
    passwd entry{};
    passwd *found = nullptr;
    std::vector<char> buffer(16384);
    if (getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr)
        return found->pw_gid;
    return static_cast<gid_t>(uid);
}

[[noreturn]] void run_child(const ChildPlan &plan)
{
    // The agent blocks SIGINT and SIGTERM for its own use; a blocked mask survives exec.
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    setsid();
    dup2(plan.null_fd, STDIN_FILENO);
    dup2(plan.log_fd, STDOUT_FILENO);
    dup2(plan.log_fd, STDERR_FILENO);
    if (plan.change_user && (setgroups(0, nullptr) != 0 || setgid(plan.gid) != 0 || setuid(plan.uid) != 0)) {
        _exit(126);
    }
    const char *argv[] = {"sh", "-c", plan.command, nullptr};
    execve("/bin/sh", const_cast<char *const *>(argv), plan.environment.data());
    _exit(127);
}

}  // namespace

LaunchedChild launch(const LaunchRequest &request)
{
    tds::FileDescriptor log(open(request.log_path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0640));
    if (!log.valid())
        throw_errno("cannot open " + request.log_path);
    tds::FileDescriptor null(open("/dev/null", O_RDONLY | O_CLOEXEC));
    if (!null.valid())
        throw_errno("cannot open /dev/null");
    if (request.uid != getuid() && geteuid() != 0) {
        throw std::system_error(EPERM, std::generic_category(),
                                "cannot run as user " + std::to_string(request.uid) + " unless the agent runs as root");
    }

    ChildPlan plan;
    for (char **entry = environ; *entry != nullptr; ++entry)
        plan.environment_storage.emplace_back(*entry);
    plan.environment_storage.insert(plan.environment_storage.end(), request.environment.begin(),
                                    request.environment.end());
    for (auto &entry : plan.environment_storage)
        plan.environment.push_back(entry.data());
    plan.environment.push_back(nullptr);
    plan.command     = request.command.c_str();
    plan.log_fd      = log.get();
    plan.null_fd     = null.get();
    plan.uid         = request.uid;
    plan.change_user = request.uid != geteuid();
    if (plan.change_user)
        plan.gid = primary_group(request.uid);

    // Closed in the child by exec (or exit): once it reads as ended, the child has its own
    // session and process group, so the group can be signalled as soon as launch returns.
    int started[2];
    if (pipe2(started, O_CLOEXEC) != 0)
        throw_errno("cannot create a pipe");
    tds::FileDescriptor started_read(started[0]);
    tds::FileDescriptor started_write(started[1]);
    pid_t pid = fork();
    if (pid < 0)
        throw_errno("cannot fork");
    if (pid == 0)
        run_child(plan);
    started_write.reset();
    char byte = 0;
    while (read(started_read.get(), &byte, 1) < 0 && errno == EINTR) {
    }
    // Only the agent reaps its children, so the pidfd can be opened even after an early exit.
    // glibc's own pidfd_open wrapper lacks C linkage in this version; call the kernel directly.
    LaunchedChild child{pid, tds::FileDescriptor(static_cast<int>(syscall(SYS_pidfd_open, pid, 0)))};
    if (!child.pidfd.valid()) {
        int error = errno;
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        throw std::system_error(error, std::generic_category(), "cannot watch process " + std::to_string(pid));
    }
    return child;
}

}  // namespace paagent
