// Any failure as pactl reports it: one line and an exit status.
#ifndef PACTL_ERRORS_H
#define PACTL_ERRORS_H

#include "failure.h"

#include <exception>
#include <string>

namespace pactl {

struct Explanation {
    Exit status;
    std::string message;  // one sentence on one line, the agent's own reason included
};

// The text with its line ends made blanks: the agent's texts may hold them, a report may not.
std::string OneLine(std::string text);

// Failure keeps its status; an agentclient::Error is Unreachable when the agent could not be
// reached and Failed otherwise; anything else is Failed.
Explanation Explain(std::exception_ptr error);

}  // namespace pactl

#endif  // PACTL_ERRORS_H
