#include "core/check_settings.h"

#include <algorithm>
#include <arpa/inet.h>
#include <charconv>
#include <functional>
#include <sstream>
#include <stdexcept>
#include <tuple>

#include "core/agent_types.h"
#include "tds/protected_file.h"

namespace paagent {

namespace {

constexpr std::string_view kSuffix = ".conf";
// The longest of the times: a day. Longer is more likely a slip, and every time then fits the
// timers of the supervisor with room to spare.
constexpr long kMaxMilliseconds = 86'400'000;

std::string_view Trimmed(std::string_view text)
{
    const auto first = text.find_first_not_of(" \t\r");
    if (first == std::string_view::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

// Digits with an optional fraction ("0.5", "30"); digits beyond the millisecond are dropped.
std::chrono::milliseconds Seconds(std::string_view value)
{
    const auto point      = value.find('.');
    const auto whole      = value.substr(0, point);
    const auto fraction   = point == std::string_view::npos ? std::string_view{} : value.substr(point + 1);
    const auto all_digits = [](std::string_view digits) {
        return std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; });
    };
    if (whole.size() + fraction.size() == 0 || !all_digits(whole) || !all_digits(fraction)) {
        throw std::invalid_argument("expected seconds as a decimal number such as 5 or 0.5");
    }
    // Held just past the limit, so that no number of digits overflows it.
    long milliseconds = 0;
    for (const char digit : whole) {
        milliseconds = std::min(milliseconds * 10 + (digit - '0') * 1000, kMaxMilliseconds + 1);
    }
    long scale = 100;
    for (const char digit : fraction.substr(0, 3)) {
        milliseconds += (digit - '0') * scale;
        scale /= 10;
    }
    if (milliseconds > kMaxMilliseconds) {
        throw std::invalid_argument("more than " + std::to_string(kMaxMilliseconds / 1000) + " seconds");
    }
    return std::chrono::milliseconds(milliseconds);
}

std::chrono::milliseconds PositiveSeconds(std::string_view value)
{
    const auto seconds = Seconds(value);
    if (seconds.count() == 0) {
        throw std::invalid_argument("must be at least 0.001 seconds");
    }
    return seconds;
}

int Failures(std::string_view value)
{
    int failures            = 0;
    const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), failures);
    if (error != std::errc{} || end != value.data() + value.size() || failures < 1) {
        throw std::invalid_argument("expected a whole number from 1");
    }
    return failures;
}

ReadyBy Ready(std::string_view value)
{
    static const std::pair<std::string_view, ReadyBy> kWords[] = {{"none", ReadyBy::kNone},
                                                                  {"notify", ReadyBy::kNotify},
                                                                  {"inform", ReadyBy::kInform},
                                                                  {"check", ReadyBy::kCheck}};
    for (const auto &[word, ready] : kWords) {
        if (value == word) {
            return ready;
        }
    }
    throw std::invalid_argument("expected none, notify, inform or check");
}

bool YesOrNo(std::string_view value)
{
    if (value == "yes" || value == "no") {
        return value == "yes";
    }
    throw std::invalid_argument("expected yes or no");
}

// HOST:PORT, or [IPV6]:PORT; without a port, default_port unless it is 0. The brackets are not
// part of the host.
std::pair<std::string, std::uint16_t> HostAndPort(std::string_view text, std::uint16_t default_port)
{
    std::string_view host = text, port;
    if (text.starts_with('[')) {
        const auto close = text.find(']');
        if (close == std::string_view::npos || close == 1) {
            throw std::invalid_argument("expected [IPV6-ADDRESS] within brackets");
        }
        host = text.substr(1, close - 1);
        port = text.substr(close + 1);
        if (!port.empty() && !port.starts_with(':')) {
            throw std::invalid_argument("expected ':' and a port after ']'");
        }
    } else if (const auto colon = text.find(':'); colon != std::string_view::npos) {
        host = text.substr(0, colon);
        port = text.substr(colon);
        if (port.find(':', 1) != std::string_view::npos) {
            throw std::invalid_argument("an IPv6 address goes within brackets: [ADDRESS]:PORT");
        }
    }
    // A check looks no name up: a lookup could hang past the check's time-out.
    in6_addr address{};
    const std::string host_text(host);
    if (host != "localhost" && inet_pton(AF_INET, host_text.c_str(), &address) != 1 &&
        inet_pton(AF_INET6, host_text.c_str(), &address) != 1) {
        throw std::invalid_argument("expected a numeric address or localhost");
    }
    if (port.empty()) {
        if (default_port == 0) {
            throw std::invalid_argument("expected HOST:PORT");
        }
        return {std::string(host), default_port};
    }
    port.remove_prefix(1);
    unsigned number         = 0;
    const auto [end, error] = std::from_chars(port.data(), port.data() + port.size(), number);
    if (error != std::errc{} || end != port.data() + port.size() || number < 1 || number > 65535) {
        throw std::invalid_argument("expected a port from 1 to 65535");
    }
    return {std::string(host), static_cast<std::uint16_t>(number)};
}

HealthProbe Probe(std::string_view value)
{
    if (value.starts_with("exec:")) {
        const auto command = Trimmed(value.substr(5));
        if (command.empty()) {
            throw std::invalid_argument("expected a command after exec:");
        }
        return ExecCheck{std::string(command)};
    }
    if (value.starts_with("tcp:")) {
        auto [host, port] = HostAndPort(value.substr(4), 0);
        return TcpCheck{std::move(host), port};
    }
    if (value.starts_with("http://")) {
        const auto address = value.substr(7);
        const auto slash   = address.find('/');
        HttpCheck check;
        std::tie(check.host, check.port) = HostAndPort(address.substr(0, slash), 80);
        if (slash != std::string_view::npos) {
            check.path = address.substr(slash);
        }
        // The path goes into the request line as it is.
        if (std::any_of(check.path.begin(), check.path.end(), [](unsigned char c) { return c <= ' ' || c == 0x7f; })) {
            throw std::invalid_argument("the path holds a space or a control character");
        }
        return check;
    }
    throw std::invalid_argument("expected exec:COMMAND, tcp:HOST:PORT or http://HOST[:PORT][/PATH]");
}

using Setter = std::function<void(CheckSettings &, std::string_view)>;

const std::map<std::string, Setter, std::less<>> &Setters()
{
    static const std::map<std::string, Setter, std::less<>> kSetters = {
        {"ready", [](CheckSettings &s, std::string_view v) { s.ready = Ready(v); }},
        {"start-timeout", [](CheckSettings &s, std::string_view v) { s.start_timeout = PositiveSeconds(v); }},
        {"check", [](CheckSettings &s, std::string_view v) { s.probe = Probe(v); }},
        {"interval", [](CheckSettings &s, std::string_view v) { s.interval = PositiveSeconds(v); }},
        {"timeout", [](CheckSettings &s, std::string_view v) { s.timeout = PositiveSeconds(v); }},
        {"failures", [](CheckSettings &s, std::string_view v) { s.failures = Failures(v); }},
        {"start-period", [](CheckSettings &s, std::string_view v) { s.start_period = Seconds(v); }},
        {"restart-unhealthy", [](CheckSettings &s, std::string_view v) { s.restart_unhealthy = YesOrNo(v); }},
    };
    return kSetters;
}

// The process a file of the directory is for; none when the file is to be ignored. A hidden
// file is an editor's or a tool's (Emacs locks the file it edits with ".#NAME"), not a process's.
std::optional<std::string> ProcessOfFile(const std::string &file)
{
    if (file.size() <= kSuffix.size() || !file.ends_with(kSuffix) || file.starts_with('.')) {
        return std::nullopt;
    }
    return file.substr(0, file.size() - kSuffix.size());
}

// A start that waits for ready answers once the process is ready or start-timeout has passed:
// past this, a client with the default time-out gives up on the reply first.
constexpr std::chrono::milliseconds kStartTimeoutWithinReply = kClientReplyTimeOut - std::chrono::seconds(5);
static_assert(kDefaultStartTimeout <= kStartTimeoutWithinReply);

std::string LongStartTimeout(const std::string &process, std::chrono::milliseconds start_timeout)
{
    const auto seconds = std::chrono::ceil<std::chrono::seconds>(start_timeout).count();
    return "start-timeout is " + std::to_string(seconds) + " s, longer than a client waits for a reply unless told (" +
           std::to_string(kClientReplyTimeOut.count()) + " s): give the starts of " + process +
           " and of its services a longer time-out, e.g. pactl --timeout " + std::to_string(seconds + 10);
}

}  // namespace

CheckSettings ParseCheckSettings(const std::string &text, const std::string &where)
{
    CheckSettings settings;
    std::map<std::string, int, std::less<>> given;  // key, line
    std::istringstream lines(text);
    std::string line;
    for (int number = 1; std::getline(lines, line); ++number) {
        const std::string at = where + ":" + std::to_string(number) + ": ";
        const auto content   = Trimmed(line);
        const auto equals    = content.find('=');
        // A comment is a line of its own: a command may hold '#'.
        if (content.empty() || content.starts_with('#')) {
            continue;
        }
        const auto key = Trimmed(content.substr(0, equals));
        if (equals == std::string_view::npos || key.empty()) {
            throw std::runtime_error(at + "expected key = value");
        }
        const auto setter = Setters().find(key);
        if (setter == Setters().end()) {
            throw std::runtime_error(at + "unknown key '" + std::string(key) + "'");
        }
        if (const auto [earlier, first] = given.emplace(key, number); !first) {
            throw std::runtime_error(at + std::string(key) + " is given on line " + std::to_string(earlier->second) +
                                     " already");
        }
        const auto value = Trimmed(content.substr(equals + 1));
        try {
            setter->second(settings, value);
        } catch (const std::invalid_argument &bad) {
            throw std::runtime_error(at + "bad value '" + std::string(value) + "' for " + std::string(key) + ": " +
                                     bad.what());
        }
    }
    if (settings.ready == ReadyBy::kCheck && !settings.probe) {
        throw std::runtime_error(where + ":" + std::to_string(given.at("ready")) +
                                 ": ready = check needs a check = ... line");
    }
    return settings;
}

ChecksDirectory LoadChecksDirectory(const std::filesystem::path &dir)
{
    ChecksDirectory loaded;
    if (!std::filesystem::exists(dir)) {
        return loaded;
    }
    if (!std::filesystem::is_directory(dir)) {
        throw std::runtime_error("checks directory " + dir.string() + " is not a directory");
    }
    std::vector<std::filesystem::path> files;
    for (const auto &entry : std::filesystem::directory_iterator(dir)) {
        files.push_back(entry.path());
    }
    std::sort(files.begin(), files.end());
    for (const auto &file : files) {
        const auto process = ProcessOfFile(file.filename().string());
        if (!process) {
            loaded.warnings.push_back(file.string() + ": ignored: only PROCESS.conf files are read");
            continue;
        }
        // An exec check runs its command: whoever may change the file may run what they like.
        const CheckSettings &settings = loaded.settings[*process] =
            ParseCheckSettings(tds::ReadProtectedFile(file, "checks file", tds::Readers::kAnyone), file.string());
        if (settings.start_timeout > kStartTimeoutWithinReply) {
            loaded.warnings.push_back(file.string() + ": " + LongStartTimeout(*process, settings.start_timeout));
        }
    }
    return loaded;
}

}  // namespace paagent
