#include "support/log_capture.h"

LogCapture::LogCapture(int32_t threshold)
{
    PaSetMsgLogLevel(threshold);
    PaSetUserLoggerFunc(&LogCapture::Record, nullptr, this);
    messages_.clear();  // drop the notice about the missing user buffer
}

LogCapture::~LogCapture() { PaShutdownMsgLogSystem(); }

void LogCapture::Record(int32_t level, const char *text, const char *levelName, void *self)
{
    static_cast<LogCapture *>(self)->messages_.push_back({level, text, levelName, self});
}

std::vector<std::string> LogCapture::texts() const
{
    std::vector<std::string> all;
    for (const auto &message : messages_) {
        all.push_back(message.text);
    }
    return all;
}

std::vector<std::string> LogCapture::texts(int32_t level) const
{
    std::vector<std::string> matching;
    for (const auto &message : messages_) {
        if (message.level == level) {
            matching.push_back(message.text);
        }
    }
    return matching;
}
