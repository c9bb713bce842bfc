#include "signal_names.h"

#include "failure.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <csignal>
#include <cstring>

namespace patools {

namespace {

std::string UpperCase(std::string_view text)
{
    std::string upper(text);
    std::transform(upper.begin(), upper.end(), upper.begin(), [](unsigned char c) { return std::toupper(c); });
    return upper;
}

bool IsSignal(int number) { return number > 0 && number < NSIG; }

}  // namespace

int ParseSignal(std::string_view text)
{
    int number        = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
    if (error == std::errc() && end == text.data() + text.size()) {
        if (IsSignal(number)) {
            return number;
        }
    } else {
        std::string name = UpperCase(text);
        if (name.starts_with("SIG")) {
            name.erase(0, 3);
        }
        for (int signal = 1; signal < NSIG; ++signal) {
            const char *abbreviation = sigabbrev_np(signal);
            if (abbreviation != nullptr && name == abbreviation) {
                return signal;
            }
        }
    }
    throw UsageError("unknown signal " + std::string(text) + " (give a name such as HUP or TERM, or a number)");
}

std::string SignalName(int signal)
{
    const char *abbreviation = sigabbrev_np(signal);
    return abbreviation != nullptr ? abbreviation : std::to_string(signal);
}

}  // namespace patools
