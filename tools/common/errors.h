// Any failure as the tools report it: one line and an exit status.
#ifndef PATOOLS_ERRORS_H
#define PATOOLS_ERRORS_H

#include "failure.h"

#include <exception>
#include <string>

namespace patools {

struct Explanation {
    Exit status;
    std::string message;  // one sentence on one line, the agent's own reason included
};

// The text with its line ends made blanks: the agent's texts may hold them, a report may not.
std::string OneLine(std::string text);

// Failure keeps its status; an agentclient::Error is Unreachable when the agent could not be
// reached and Failed otherwise; anything else is Failed.
Explanation Explain(std::exception_ptr error);

}  // namespace patools

#endif  // PATOOLS_ERRORS_H
