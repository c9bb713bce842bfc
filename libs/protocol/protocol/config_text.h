// The configuration file's lexical rules: its keywords, and how a text is written between
// apostrophes and read back. The writer escapes with Escape and the reader unescapes with
// Unescape, so that reading what was written gives back every text, byte for byte.
//
// Inside apostrophes a backslash escapes an apostrophe or a backslash. Any other backslash
// stands for itself, so files written before backslashes were escaped read as they did.
// Texts are bytes: the rules never depend on the locale's character set.
#ifndef AGENTCLIENT_PROTOCOL_CONFIG_TEXT_H
#define AGENTCLIENT_PROTOCOL_CONFIG_TEXT_H

#include <cstddef>
#include <string_view>

namespace pa::protocol::config {

inline constexpr std::string_view kMagic = "#ZEB_PA3";
inline constexpr char kQuote             = '\'';
inline constexpr char kEscape            = '\\';
// Written between the apostrophes of an absent text (the restart and alert messages, and a
// missing host name or command); read back as none only for the two messages.
inline constexpr std::string_view kAbsentText = " ";

// Block keywords, and the attribute keywords inside the blocks.
inline constexpr std::string_view kProcessBlock = "zeb_process";
inline constexpr std::string_view kServiceBlock = "zeb_service";
inline constexpr std::string_view kRoutingBlock = "zeb_routing";
inline constexpr std::string_view kCommand      = "Command";
inline constexpr std::string_view kRunAs        = "run as";  // two words, before the effective user id
inline constexpr std::string_view kHost         = "Host";
inline constexpr std::string_view kManaged      = "Managed";
inline constexpr std::string_view kRestartMsg   = "RestartMsg";
inline constexpr std::string_view kAlertMsg     = "AlertMsg";
inline constexpr std::string_view kRetryCount   = "RetryCount";
inline constexpr std::string_view kProcessType  = "ProcessType";
inline constexpr std::string_view kServiceType  = "ServiceType";
inline constexpr std::string_view kServiceStart = "ServiceStart";
inline constexpr std::string_view kMember       = "process";
inline constexpr std::string_view kRoute        = "host";

inline constexpr std::string_view kManagedWords[]      = {"False", "True"};
inline constexpr std::string_view kProcessTypeWords[]  = {"PaDAEMON_PROCESS", "PaPA_AWARE", "PaNOT_PA_AWARE"};
inline constexpr std::string_view kServiceTypeWords[]  = {"Master", "Non-Master"};
inline constexpr std::string_view kServiceStartWords[] = {"Auto", "Non-Auto"};
inline constexpr std::string_view kNoMemberValue       = "NONE";

// Whether a text can be written: a zero byte cannot (texts are C strings on the writing side).
constexpr bool Writable(std::string_view text) { return text.find('\0') == std::string_view::npos; }

constexpr bool NeedsEscape(char c) { return c == kQuote || c == kEscape; }

// The size of text once escaped.
constexpr std::size_t EscapedSize(std::string_view text)
{
    std::size_t size = text.size();
    for (char c : text) {
        size += NeedsEscape(c) ? 1 : 0;
    }
    return size;
}

// Writes text escaped through put(char), one byte at a time.
template <class Put>
constexpr void Escape(std::string_view text, Put &&put)
{
    for (char c : text) {
        if (NeedsEscape(c)) {
            put(kEscape);
        }
        put(c);
    }
}

// Where the quoted text that starts after an opening apostrophe at from ends: the index of its
// closing apostrophe, or npos when the input ends first.
constexpr std::size_t QuotedEnd(std::string_view input, std::size_t from)
{
    for (std::size_t i = from; i < input.size(); ++i) {
        if (input[i] == kEscape && i + 1 < input.size() && NeedsEscape(input[i + 1])) {
            ++i;
        } else if (input[i] == kQuote) {
            return i;
        }
    }
    return std::string_view::npos;
}

// Writes the text that the raw content of a quoted text (between its apostrophes) stands for
// through put(char).
template <class Put>
constexpr void Unescape(std::string_view raw, Put &&put)
{
    for (std::size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] == kEscape && i + 1 < raw.size() && NeedsEscape(raw[i + 1])) {
            ++i;
        }
        put(raw[i]);
    }
}

}  // namespace pa::protocol::config

#endif
