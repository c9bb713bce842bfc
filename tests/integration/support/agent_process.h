// A paagentd child process on 127.0.0.1 with a home of its own, found by clients through an
// entry in the interfaces file of the test process's product-family home.
#ifndef AGENTCLIENT_TESTS_AGENTPROCESS_H
#define AGENTCLIENT_TESTS_AGENTPROCESS_H

#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

// The product-family home of this test process: a temporary directory holding the interfaces
// file, named by VTHOME (with HOME pointing there too and FreeTDS's overrides unset) before
// the first handle is created, so that only that file decides where a server is, and a
// freetds.conf asking for encrypted passwords. Removed at exit.
const std::filesystem::path &FamilyHome();

// Whether a process of that PID exists.
bool Alive(pid_t pid);
// The state letter of a process in /proc (T: stopped), or 0 when it cannot be read.
char StateOf(pid_t pid);
// Whether the process ends within limit (true too when it has ended already).
bool Ends(pid_t pid, std::chrono::milliseconds limit = std::chrono::seconds(10));

class AgentProcess {
public:
    static constexpr const char *kUser     = "operator";
    static constexpr const char *kPassword = "e2e-secret";
    // kPassword's hash in the users file, as `paagentd --hash-password` gives it: the tests that
    // drive an agent need none of its code.
    static constexpr const char *kPasswordHash =
        "$6$6YU9Tj5BchgXMzdq$fB3uwBkzoh.FEzDv8KzHr6tumVIplWMCqg8VplmTNPhJG5ISf5n3mleKzmTXB8ZD3b0sEGKUwTc9OHjANJadn0";

    // Starts an agent under a unique server name, or name, with a users file holding kUser and
    // the lines of users, refusing passwords in clear; config replaces the default configuration
    // file (HOME/pa.cfg) and options are added to the command line.
    explicit AgentProcess(std::optional<std::filesystem::path> config = std::nullopt,
                          std::vector<std::string> options = {}, std::string name = {}, const std::string &users = {});
    // Stops the agent (SIGTERM, bounded wait, SIGKILL); prints its standard error when the
    // test has failed.
    ~AgentProcess();
    AgentProcess(const AgentProcess &)            = delete;
    AgentProcess &operator=(const AgentProcess &) = delete;

    const std::string &Name() const { return name_; }
    const std::filesystem::path &Home() const { return home_; }
    int Port() const { return port_; }
    pid_t Pid() const { return pid_; }
    // Everything the agent wrote on standard error so far.
    std::string Errors() const;

    // SIGKILL, then start again on the same port, home and configuration; whileDown runs
    // in between.
    void KillAndRestart(const std::function<void()> &while_down = {});
    // Waits for the agent to exit by itself; its exit status, or nullopt when it is still
    // running after limit.
    std::optional<int> WaitForExit(std::chrono::milliseconds limit);
    // Sends signal to the agent (SIGSTOP freezes it, SIGCONT thaws it).
    void Signal(int signal);

private:
    void Start();

    std::string name_;
    std::filesystem::path home_;
    std::filesystem::path config_;
    std::vector<std::string> options_;
    int port_   = 0;
    pid_t pid_  = 0;
    int pidfd_  = -1;
    int stdout_ = -1;
};

#endif
