#include "support/log_capture.h"

LogCapture::LogCapture(int32_t threshold)
{
    PaSetMsgLogLevel(threshold);
    PaSetUserLoggerFunc(&LogCapture::Record, nullptr, this);
    messages_.clear();  // drop the notice about the missing user buffer
}

LogCapture::~LogCapture() { PaShutdownMsgLogSystem(); }

void LogCapture::Record(int32_t level, const char *text, const char *, void *self)
{
    static_cast<LogCapture *>(self)->messages_.emplace_back(level, text);
}

std::vector<std::string> LogCapture::Texts() const { return Texts(-1); }

std::vector<std::string> LogCapture::Texts(int32_t level) const
{
    std::vector<std::string> matching;
    for (const auto &[logged, text] : messages_) {
        if (level == -1 || logged == level) {
            matching.push_back(text);
        }
    }
    return matching;
}
