// How a tool's command ends: the exit statuses and the failure that carries one.
#ifndef PATOOLS_FAILURE_H
#define PATOOLS_FAILURE_H

#include <stdexcept>
#include <string>

namespace patools {

enum class Exit : int {
    kDone        = 0,  // the command did what it was asked
    kFailed      = 1,  // the agent refused, or a call failed
    kUsage       = 2,  // the command line or a file given on it is wrong
    kNotRunning  = 3,  // status NAME: a named process is not running
    kUnreachable = 4,  // the agent cannot be reached
};

// A command that cannot go on: one sentence for standard error and the exit status.
class Failure : public std::runtime_error {
public:
    Failure(Exit status, const std::string &what) : std::runtime_error(what), status_(status) {}
    Exit Status() const { return status_; }

private:
    Exit status_;
};

inline Failure UsageError(const std::string &what) { return Failure(Exit::kUsage, what); }

}  // namespace patools

#endif  // PATOOLS_FAILURE_H
