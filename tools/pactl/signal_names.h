// Signals as an administrator names them: HUP, SIGHUP, hup or 1.
#ifndef PACTL_SIGNAL_NAMES_H
#define PACTL_SIGNAL_NAMES_H

#include <string>
#include <string_view>

namespace patools {

// The number of the signal named, with or without the SIG prefix and in any case, or given as
// its number; a UsageError for anything else.
int ParseSignal(std::string_view text);
// The signal's short name (HUP), or its number when it has none.
std::string SignalName(int signal);

}  // namespace patools

#endif  // PACTL_SIGNAL_NAMES_H
