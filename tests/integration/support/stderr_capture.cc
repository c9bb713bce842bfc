#include "support/stderr_capture.h"

#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

StderrCapture::StderrCapture()
{
    std::fflush(stderr);
    char pattern[] = "/tmp/agentclient-stderr-XXXXXX";
    file_          = mkstemp(pattern);
    unlink(pattern);
    saved_ = dup(STDERR_FILENO);
    dup2(file_, STDERR_FILENO);
}

StderrCapture::~StderrCapture()
{
    std::fflush(stderr);
    dup2(saved_, STDERR_FILENO);
    close(saved_);
    close(file_);
}

std::string StderrCapture::text() const
{
    std::fflush(stderr);
    std::string text;
    char buffer[4096];
    ssize_t count = 0;
    for (off_t offset = 0; (count = pread(file_, buffer, sizeof buffer, offset)) > 0; offset += count) {
        text.append(buffer, static_cast<size_t>(count));
    }
    return text;
}
