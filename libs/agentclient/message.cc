// The message log: levels, threshold, stream or user-logger delivery, Fatal Error exit.
#include "login_stop.h"

#include <agentclient/pa.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string_view>

namespace {

constexpr int32_t kDefaultThreshold   = PaMSG_WARNING;
constexpr size_t kRefusedPrefixLength = 1024;
constexpr size_t kSystemTextSize      = 256;

constexpr std::array<const char *, 5> kLevelNames = {
    "Debug", "Information", "Warning", "Error", "Fatal Error",
};

std::atomic<int32_t> threshold{kDefaultThreshold};
// Guards the delivery settings below and every delivery, so that messages of different threads
// neither interleave on the stream nor share the user's buffer at once. Recursive: a user logger
// may log through the library.
std::recursive_mutex delivery_lock;
FILE *stream                 = nullptr;
PaUserLoggerFunc user_logger = nullptr;
char *user_buffer            = nullptr;
void *user_data              = nullptr;

const char *LevelName(int32_t level)
{
    if (level < PaMSG_DEBUG || level > PaMSG_FATAL_ERROR) {
        return "Unknown";
    }
    return kLevelNames[static_cast<size_t>(level - 1)];
}

bool IsStandardStream(FILE *candidate) { return candidate == stdout || candidate == stderr; }

// Closes the installed stream if the log owns it.
void ReleaseStream()
{
    if (stream != nullptr && !IsStandardStream(stream)) {
        std::fclose(stream);
    }
}

// "Mmm dd hh:mm:ss yyyy": the ctime layout without weekday and line end.
void FormatTimeStamp(char (&stamp)[21])
{
    std::time_t now = std::time(nullptr);
    char text[26]   = {};
    if (ctime_r(&now, text) == nullptr) {
        std::snprintf(stamp, sizeof stamp, "%s", "???");
        return;
    }
    std::memcpy(stamp, text + 4, 20);
    stamp[20] = '\0';
}

// Expands format into buffer (PaMSG_BUFFER_SIZE bytes), cutting what does not fit, and
// appends " suffix" within the space left.
void FormatInto(char *buffer, const char *suffix, const char *format, va_list args)
{
    int written = std::vsnprintf(buffer, PaMSG_BUFFER_SIZE, format, args);
    if (written < 0) {
        buffer[0] = '\0';
        written   = 0;
    }
    size_t used = std::min(static_cast<size_t>(written), static_cast<size_t>(PaMSG_BUFFER_SIZE - 1));
    if (suffix != nullptr) {
        std::snprintf(buffer + used, PaMSG_BUFFER_SIZE - used, " %s", suffix);
    }
}

void WriteStreamLine(int32_t level, const char *suffix, const char *format, va_list args)
{
    if (stream == nullptr) {
        stream = stderr;
    }
    char stamp[21];
    FormatTimeStamp(stamp);
    std::fprintf(stream, "%s: %s: ", stamp, LevelName(level));
    std::vfprintf(stream, format, args);
    if (suffix != nullptr) {
        std::fprintf(stream, " %s", suffix);
    }
    std::fputs("\n", stream);
    std::fflush(stream);
}

int32_t MsgLogCore(int32_t level, const char *suffix, const char *format, va_list args)
{
    if (level < threshold || format == nullptr) {
        return 0;
    }
    if (std::strlen(format) > PaMSG_MAX_FORMAT_LENGTH) {
        char beginning[kRefusedPrefixLength + 1];
        std::memcpy(beginning, format, kRefusedPrefixLength);
        beginning[kRefusedPrefixLength] = '\0';
        return PaMsgLog(PaMSG_ERROR,
                        "Attempt to log a message that was longer than %d characters. The message "
                        "will not be logged. The message starts [%s...]",
                        PaMSG_MAX_FORMAT_LENGTH + 1, beginning);
    }
    std::lock_guard guard(delivery_lock);
    if (user_logger != nullptr) {
        char own_buffer[PaMSG_BUFFER_SIZE];
        char *buffer = user_buffer != nullptr ? user_buffer : own_buffer;
        FormatInto(buffer, suffix, format, args);
        pa::CallerCode logger;
        user_logger(level, buffer, LevelName(level), user_data);
    } else {
        WriteStreamLine(level, suffix, format, args);
    }
    if (level == PaMSG_FATAL_ERROR) {
        std::exit(1);
    }
    return 0;
}

// The system's text for an error number with any trailing line end removed.
void SystemErrorText(int error, char (&text)[kSystemTextSize])
{
    // GNU strerror_r may return a static string rather than fill the buffer.
    const char *message = strerror_r(error, text, sizeof text);
    std::string_view view(message);
    while (!view.empty() && (view.back() == '\n' || view.back() == '\r')) {
        view.remove_suffix(1);
    }
    std::snprintf(text, sizeof text, "%.*s", static_cast<int>(view.size()), view.data());
}

}  // namespace

extern "C" {

int32_t PaMsgLog(int32_t level, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    int32_t result = MsgLogCore(level, nullptr, format, args);
    va_end(args);
    return result;
}

int32_t PaMsgLogSysError(int32_t level, const char *format, ...)
{
    int error = errno;
    char text[kSystemTextSize];
    SystemErrorText(error, text);
    va_list args;
    va_start(args, format);
    int32_t result = MsgLogCore(level, text, format, args);
    va_end(args);
    return result;
}

int32_t PaSetMsgLogLevel(int32_t level)
{
    threshold = level;
    return 0;
}

int32_t PaGetMsgLogLevel(void) { return threshold; }

int32_t PaSetMsgStream(FILE *new_stream)
{
    std::lock_guard guard(delivery_lock);
    // Re-installing the current stream must not close it under the caller.
    if (new_stream != stream) {
        ReleaseStream();
        stream = new_stream;
    }
    return 0;
}

FILE *PaGetMsgStream(void)
{
    std::lock_guard guard(delivery_lock);
    return stream;
}

int32_t PaSetUserLoggerFunc(PaUserLoggerFunc logger, char *buffer, void *data)
{
    if (logger == nullptr) {
        PaMsgLog(PaMSG_ERROR, "Attempt to insert a NULL user Logger function.");
        return PaFAILURE;
    }
    std::lock_guard guard(delivery_lock);
    user_logger = logger;
    user_data   = data;
    // The buffer is installed before the notice is formatted, so the notice never lands in a
    // buffer the caller may already have released.
    user_buffer = buffer;
    if (buffer == nullptr) {
        PaMsgLog(PaMSG_DEBUG, "No User Message Buffer Supplied.");
    }
    return PaSUCCESS;
}

PaUserLoggerFunc PaGetUserLoggerFunc(void)
{
    std::lock_guard guard(delivery_lock);
    return user_logger;
}

int32_t PaRemoveUserLogFunc(void)
{
    std::lock_guard guard(delivery_lock);
    user_logger = nullptr;
    user_buffer = nullptr;
    user_data   = nullptr;
    return 0;
}

int32_t PaShutdownMsgLogSystem(void)
{
    std::lock_guard guard(delivery_lock);
    ReleaseStream();
    stream    = stderr;
    threshold = kDefaultThreshold;
    return PaRemoveUserLogFunc();
}

}  // extern "C"
