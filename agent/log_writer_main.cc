// paagentd-log-writer MAX-BYTES BACKUPS NAME: copies a process's output, its standard input, into
// the log NAME open on its standard output, in the log directory open as descriptor 3, rotating
// it at MAX-BYTES with BACKUPS older logs kept. The agent runs one for each process it starts,
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
    paagent::LogLimits limits;
    if (argc != 4 || !Parse(argv[1], limits.max_bytes) || !Parse(argv[2], limits.backups) || *argv[3] == '\0') {
        constexpr std::string_view kUsage = "usage: paagentd-log-writer MAX-BYTES BACKUPS NAME\n";
        (void)!write(STDERR_FILENO, kUsage.data(), kUsage.size());
        return 2;
    }
    for (int number : {SIGTERM, SIGINT, SIGHUP}) {
        std::signal(number, SIG_IGN);
    }
    return paagent::WriteLog(STDIN_FILENO, STDOUT_FILENO, kLogDirectory, argv[3], limits);
}
