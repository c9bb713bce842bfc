#include "core/group_child.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <system_error>
#include <unistd.h>

#include "core/spawn.h"

namespace paagent {

namespace {

constexpr std::size_t kReadChunk = 4096;

std::vector<char *> Pointers(const std::vector<std::string> &strings)
{
    std::vector<char *> pointers;
    for (const auto &entry : strings) {
        pointers.push_back(const_cast<char *>(entry.c_str()));
    }
    pointers.push_back(nullptr);
    return pointers;
}

}  // namespace

std::string EndingText(const siginfo_t &end)
{
    return end.si_code == CLD_EXITED ? "exited with status " + std::to_string(end.si_status)
                                     : "was killed by signal " + std::to_string(end.si_status);
}

GroupChild::GroupChild(const std::vector<std::string> &argv, const std::vector<std::string> *environment,
                       Clock::time_point deadline, Leftovers leftovers)
    : deadline_(deadline), leftovers_(leftovers)
{
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) {
        throw std::system_error(errno, std::generic_category(), "pipe");
    }
    output_ = tds::FileDescriptor(ends[0]);
    const tds::FileDescriptor input(ends[1]);
    fcntl(output_.Get(), F_SETFL, O_NONBLOCK);
    std::vector<char *> arguments = Pointers(argv);
    const std::vector<std::string> inherited =
        environment != nullptr ? std::vector<std::string>{} : InheritedEnvironment();
    std::vector<char *> envp = Pointers(environment != nullptr ? *environment : inherited);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, input.Get(), STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, input.Get(), STDERR_FILENO);
    posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
    // Its own group, to be killed whole; no signal blocked, whatever the agent's threads block.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK);
    posix_spawnattr_setpgroup(&attributes, 0);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attributes, &none);
    const int refused = posix_spawn(&pid_, arguments[0], &actions, &attributes, arguments.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (refused != 0) {
        throw std::system_error(refused, std::generic_category(), "posix_spawn");
    }
    pidfd_ = tds::FileDescriptor(static_cast<int>(syscall(SYS_pidfd_open, pid_, 0)));
}

GroupChild::~GroupChild()
{
    if (end_) {
        return;
    }
    Kill();
    siginfo_t child{};
    if (pidfd_.Valid()) {
        // Killed, it ends at once; another part may reap it first, which ends the wait too.
        waitid(P_PIDFD, static_cast<id_t>(pidfd_.Get()), &child, WEXITED);
    }
}

void GroupChild::ReadOutput(const std::function<void(std::string_view)> &sink)
{
    char buffer[kReadChunk];
    while (output_.Valid()) {
        const ssize_t got = read(output_.Get(), buffer, sizeof buffer);
        if (got <= 0) {
            if (got == 0 || errno != EAGAIN) {
                output_.Reset();
            }
            return;
        }
        sink(std::string_view(buffer, static_cast<std::size_t>(got)));
    }
}

void GroupChild::Collect()
{
    if (end_ || !pidfd_.Valid()) {
        return;
    }
    siginfo_t child{};
    const auto fd = static_cast<id_t>(pidfd_.Get());
    if (waitid(P_PIDFD, fd, &child, WEXITED | WNOHANG | WNOWAIT) == 0) {
        if (child.si_pid != 0) {
            // While the leader is a zombie no other process can take its group's number.
            EndLeftovers();
            siginfo_t reaped{};
            waitid(P_PIDFD, fd, &reaped, WEXITED | WNOHANG);
            end_ = child;
        }
    } else {
        // The supervisor reaped it first: its end comes through Ended.
        pidfd_.Reset();
    }
}

bool GroupChild::Ended(const siginfo_t &child)
{
    if (child.si_pid != pid_ || end_) {
        return false;
    }
    end_ = child;
    EndLeftovers();
    return true;
}

void GroupChild::EndLeftovers()
{
    if (leftovers_ == Leftovers::kKilled) {
        kill(-pid_, SIGKILL);
    }
}

void GroupChild::EndBy(Clock::time_point deadline) { deadline_ = std::min(deadline_, deadline); }

bool GroupChild::KillIfPast(Clock::time_point now)
{
    if (end_ || killed_ || now < deadline_) {
        return false;
    }
    Kill();
    return true;
}

void GroupChild::Kill()
{
    if (!end_) {
        kill(-pid_, SIGKILL);
        killed_ = true;
    }
}

}  // namespace paagent
