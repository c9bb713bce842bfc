// Logging hook through which the server reports to its embedder.
#ifndef PAAGENT_TDS_LOG_H
#define PAAGENT_TDS_LOG_H

#include <functional>
#include <sstream>
#include <string>
#include <string_view>
#include <utility>

namespace paagent::tds {

enum class LogLevel {
    kDebug,
    kInfo,
    kWarning,
    kError
};

// Called from the server's threads, possibly concurrently. The line holds texts the client sent
// (login names, RPC names) as they came: the hook writes it through escaped_for_log or the like.
using LogHook = std::function<void(LogLevel level, std::string_view line)>;

// The text with every byte outside printable ASCII written as an escape (\n, \r, \t, else \xHH)
// and each backslash doubled, so that a logged text is one line, cannot forge another and cannot
// drive the terminal that shows the log.
std::string EscapedForLog(std::string_view text);

class Logger {
public:
    explicit Logger(LogHook hook) : hook_(std::move(hook)) {}

    // Concatenates the streamable parts into one line.
    template <typename... Parts>
    void operator()(LogLevel level, const Parts &...parts) const
    {
        if (!hook_) {
            return;
        }
        std::ostringstream line;
        (line << ... << parts);
        hook_(level, line.str());
    }

private:
    LogHook hook_;
};

}  // namespace paagent::tds

#endif  // PAAGENT_TDS_LOG_H
