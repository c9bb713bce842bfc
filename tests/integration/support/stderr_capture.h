// Captures what the process writes on standard error (file descriptor 2) for the life of the
// object, such as the messages the library prints under advanced diagnostics.
#ifndef AGENTCLIENT_TESTS_STDERRCAPTURE_H
#define AGENTCLIENT_TESTS_STDERRCAPTURE_H

#include <string>

class StderrCapture {
public:
    StderrCapture();
    ~StderrCapture();
    StderrCapture(const StderrCapture &)            = delete;
    StderrCapture &operator=(const StderrCapture &) = delete;

    // Everything written since the capture began.
    std::string text() const;

private:
    int saved_ = -1;
    int file_  = -1;
};

#endif
