// A paagentd child process on 127.0.0.1 with a home and a users file of its own, its output
// collected line by line.
#ifndef PAAGENT_TESTS_PAAGENTD_CHILD_H
#define PAAGENT_TESTS_PAAGENTD_CHILD_H

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "tds/socket.h"
#include "tests/agent_fixture.h"
#include "tests/server_fixture.h"

namespace paagent::tds::testing {

inline const std::string kAgentUser     = "operator";
inline const std::string kAgentPassword = "daemon-secret";

// What a run of paagentd to its end gave.
struct AgentExit {
    int status = -1;     // exit status; not 0 when it did not end within the wait limit
    std::string output;  // standard output and standard error
};

// Runs paagentd with `options` beside a home and a users file of its own, until it ends.
AgentExit RunPaagentd(const std::vector<std::string> &options);

class PaagentdChild {
public:
    // Starts paagentd, in a process group of its own, with `options` beside --home, --users,
    // --listen 127.0.0.1:0 and the tests' login key unless `options` name one; throws when it
    // does not report that it listens within the wait limit. A launcher, a program (its path) and
    // arguments, runs the agent's command line given after them, in the same process.
    explicit PaagentdChild(const std::vector<std::string> &options = {}, const std::vector<std::string> &launcher = {});
    // Ends the agent unless End already has: fails the running test unless it ended with status 0
    // on SIGTERM.
    ~PaagentdChild();
    PaagentdChild(const PaagentdChild &)            = delete;
    PaagentdChild &operator=(const PaagentdChild &) = delete;

    // Sends the signal to the agent's process group, then waits, boundedly, for the agent to end
    // and kills it when it has not; its exit status, not 0 when it had to be killed.
    int End(int signal);

    pid_t Pid() const { return pid_; }
    std::uint16_t Port() const { return port_; }
    std::filesystem::path Home() const { return directory_.Path() / "home"; }
    // Its standard output and error, line by line.
    LogCapture &Log() { return log_; }

private:
    TempDir directory_;
    pid_t pid_ = 0;
    FileDescriptor output_;
    std::uint16_t port_ = 0;
    LogCapture log_;
    std::thread collector_;
};

}  // namespace paagent::tds::testing

#endif  // PAAGENT_TESTS_PAAGENTD_CHILD_H
