// paagentd-log-writer [--timestamps] MAX-BYTES BACKUPS NAME: copies a process's output, its
// standard input, into the log NAME open on its standard output, in the log directory open as
// descriptor 3, rotating it at MAX-BYTES with BACKUPS older logs kept, each line timestamped when
// asked. The agent runs one for each process it starts,
// in a session of its own; it outlives the agent and ends with the process's output, so that no
// line written before is lost. A program of its own, small and linked statically, so that a
// start costs the agent little.
#include <charconv>
#include <csignal>
#include <cstring>
#include <string_view>
#include <unistd.h>

#include "core/log_writer.h"

namespace {

constexpr int kLogDirectory = 3;

template <typename Number>
bool Parse(std::string_view text, Number &number)
{
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
    return error == std::errc() && end == text.data() + text.size();
}

}  // namespace

int main(int argc, char **argv)
{
    paagent::LogOptions options;
    options.timestamps = argc > 1 && std::string_view(argv[1]) == "--timestamps";
    char **arguments   = argv + (options.timestamps ? 1 : 0);
    if (argc - (arguments - argv) != 4 || !Parse(arguments[1], options.max_bytes) ||
        !Parse(arguments[2], options.backups) || *arguments[3] == '\0') {
        constexpr std::string_view kUsage = "usage: paagentd-log-writer [--timestamps] MAX-BYTES BACKUPS NAME\n";
        (void)!write(STDERR_FILENO, kUsage.data(), kUsage.size());
        return 2;
    }
    for (int number : {SIGTERM, SIGINT, SIGHUP}) {
        std::signal(number, SIG_IGN);
    }
    return paagent::WriteLog(STDIN_FILENO, STDOUT_FILENO, kLogDirectory, arguments[3], options);
}
