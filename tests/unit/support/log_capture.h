// Collects the messages the library logs, through a user logger, for the life of the object.
#ifndef AGENTCLIENT_TESTS_LOGCAPTURE_H
#define AGENTCLIENT_TESTS_LOGCAPTURE_H

#include <agentclient/pa.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

class LogCapture {
public:
    // Installs the capture at the given threshold; the destructor restores the log defaults.
    explicit LogCapture(int32_t threshold = PaMSG_DEBUG);
    ~LogCapture();
    LogCapture(const LogCapture &)            = delete;
    LogCapture &operator=(const LogCapture &) = delete;

    std::vector<std::string> Texts() const;
    // Texts logged at exactly this level.
    std::vector<std::string> Texts(int32_t level) const;
    void Clear() { messages_.clear(); }

private:
    static void Record(int32_t level, const char *text, const char *level_name, void *self);
    std::vector<std::pair<int32_t, std::string>> messages_;
};

#endif
