// Moments as the agent's logs and the tools write them: RFC 3339, in UTC, with milliseconds
// (2026-12-07T13:45:01.123Z).
#ifndef AGENTCLIENT_PROTOCOL_TIME_TEXT_H
#define AGENTCLIENT_PROTOCOL_TIME_TEXT_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>

namespace pa::protocol {

// Room for the text and its terminating zero, whatever the year.
inline constexpr std::size_t kTimeTextSize = 64;

// Writes the moment time_ms (milliseconds since 1970) into out.
inline void TimeText(std::int64_t time_ms, char (&out)[kTimeTextSize])
{
    const auto seconds = static_cast<std::time_t>(time_ms / 1000);
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    std::snprintf(out, sizeof out, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900, utc.tm_mon + 1,
                  utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, static_cast<int>(time_ms % 1000));
}

}  // namespace pa::protocol

#endif
