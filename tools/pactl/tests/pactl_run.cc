#include "pactl_run.h"

#include "support/agent_process.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace {

std::vector<std::string> Environment(const std::vector<std::string> &additions)
{
    FamilyHome();  // sets VTHOME before the environment is copied
    std::vector<std::string> variables;
    for (char **entry = environ; *entry != nullptr; ++entry) {
        if (std::string_view(*entry).rfind("PA_", 0) != 0) {
            variables.emplace_back(*entry);
        }
    }
    variables.push_back(std::string("PA_USER=") + AgentProcess::kUser);
    variables.push_back(std::string("PA_PASSWORD=") + AgentProcess::kPassword);
    for (const std::string &addition : additions) {
        const std::string name = addition.substr(0, addition.find('=') + 1);
        std::erase_if(variables, [&](const std::string &v) { return v.rfind(name, 0) == 0; });
        variables.push_back(addition);
    }
    return variables;
}

std::vector<char *> Pointers(std::vector<std::string> &texts)
{
    std::vector<char *> pointers;
    for (std::string &text : texts) {
        pointers.push_back(text.data());
    }
    pointers.push_back(nullptr);
    return pointers;
}

// Reads both pipes to their ends, interrupting pid once its output holds interrupt_after; false
// when the deadline came first.
bool Drain(int out, int err, PactlRun &run, std::chrono::steady_clock::time_point deadline, pid_t pid,
           const std::string &interrupt_after)
{
    bool interrupted      = false;
    pollfd fds[2]         = {{out, POLLIN, 0}, {err, POLLIN, 0}};
    std::string *texts[2] = {&run.out, &run.err};
    while (fds[0].fd >= 0 || fds[1].fd >= 0) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || poll(fds, 2, static_cast<int>(left.count())) <= 0) {
            return false;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd >= 0 && fds[i].revents != 0) {
                char buffer[4096];
                ssize_t got = read(fds[i].fd, buffer, sizeof buffer);
                if (got <= 0) {
                    fds[i].fd = -1;
                } else {
                    texts[i]->append(buffer, static_cast<std::size_t>(got));
                }
                if (!interrupt_after.empty() && !interrupted && run.out.find(interrupt_after) != std::string::npos) {
                    interrupted = kill(pid, SIGINT) == 0;
                }
            }
        }
    }
    return true;
}

}  // namespace

PactlRun RunPactl(const std::vector<std::string> &args, const std::vector<std::string> &environment,
                  std::chrono::seconds limit, const std::string &interrupt_after)
{
    std::vector<std::string> argv = {PACTL_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<std::string> envp = Environment(environment);
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
        throw std::runtime_error("cannot create pipes");
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
    pid_t pid   = 0;
    int spawned = posix_spawn(&pid, argv[0].c_str(), &actions, nullptr, Pointers(argv).data(), Pointers(envp).data());
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    close(err[1]);
    PactlRun run;
    if (spawned == 0) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        if (!Drain(out[0], err[0], run, deadline, pid, interrupt_after)) {
            kill(pid, SIGKILL);
            ADD_FAILURE() << "pactl ran longer than " << limit.count() << " s";
        }
        int status = 0;
        waitpid(pid, &status, 0);
        run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    close(out[0]);
    close(err[0]);
    if (spawned != 0) {
        throw std::runtime_error("cannot start pactl");
    }
    return run;
}
