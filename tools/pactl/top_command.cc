#include "top_command.h"

#include "output.h"
#include "process_commands.h"
#include "stop_signal.h"

#include <chrono>
#include <ctime>
#include <iostream>
#include <map>
#include <optional>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace patools {

namespace {

namespace ac = agentclient;

constexpr auto kRefresh = std::chrono::seconds(1);
// How often a wait for the next refresh looks for Ctrl-C.
constexpr int kSliceMs = 100;

// The terminal reads keys one at a time without echoing them, and hides its cursor, for as
// long as this lives.
class KeyMode {
public:
    KeyMode()
    {
        termios changed{};
        if (isatty(STDIN_FILENO) == 1 && tcgetattr(STDIN_FILENO, &changed) == 0) {
            saved_ = changed;
            changed.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
            changed.c_cc[VMIN]  = 0;
            changed.c_cc[VTIME] = 0;
            tcsetattr(STDIN_FILENO, TCSANOW, &changed);
        }
        std::cout << "\033[?25l" << std::flush;
    }
    ~KeyMode()
    {
        if (saved_) {
            tcsetattr(STDIN_FILENO, TCSANOW, &*saved_);
        }
        std::cout << "\033[?25h" << std::flush;
    }
    KeyMode(const KeyMode &)            = delete;
    KeyMode &operator=(const KeyMode &) = delete;

    // Waits up to wait for q; false once it came or stop did.
    bool WaitUnlessQuit(std::chrono::milliseconds wait, const StopSignal &stop) const
    {
        for (auto left = wait; left.count() > 0 && !stop.Stopped(); left -= std::chrono::milliseconds(kSliceMs)) {
            pollfd keys{STDIN_FILENO, POLLIN, 0};
            char key = 0;
            if (saved_ && poll(&keys, 1, kSliceMs) > 0 && read(STDIN_FILENO, &key, 1) == 1 &&
                (key == 'q' || key == 'Q')) {
                return false;
            }
            if (!saved_) {
                poll(nullptr, 0, kSliceMs);
            }
        }
        return !stop.Stopped();
    }

private:
    std::optional<termios> saved_;
};

struct Sample {
    double cpu_seconds;
    double uptime_seconds;
};

// Replaces each record's lifetime CPU% by its share of the time since the sample before, and
// keeps this sample for the next.
void SinceLast(Json &records, std::map<std::string, Sample> &last)
{
    std::map<std::string, Sample> now;
    for (Json &record : records) {
        if (!record["uptime_seconds"].is_number()) {
            continue;
        }
        const std::string key = record["name"].get<std::string>() + '\n' + record["host"].get<std::string>();
        const Sample sample{record["cpu_user_seconds"].get<double>() + record["cpu_system_seconds"].get<double>(),
                            record["uptime_seconds"].get<double>()};
        const auto before = last.find(key);
        // A process started again since has a shorter uptime: its lifetime average stands.
        if (before != last.end() && sample.uptime_seconds > before->second.uptime_seconds) {
            record["cpu_percent"] = 100 * (sample.cpu_seconds - before->second.cpu_seconds) /
                                    (sample.uptime_seconds - before->second.uptime_seconds);
        }
        now[key] = sample;
    }
    last = std::move(now);
}

std::string Clock()
{
    const std::time_t now = std::time(nullptr);
    char text[16];
    std::strftime(text, sizeof text, "%H:%M:%S", std::localtime(&now));
    return text;
}

}  // namespace

Exit Top(Session &session, const std::vector<std::string> &names)
{
    if (isatty(STDOUT_FILENO) != 1) {
        throw UsageError("top shows a table that it redraws in a terminal; standard output is none (use status)");
    }
    StopSignal stop;
    ac::Connection &agent = session.Agent();
    const StopSignal::Watch watch(stop, agent);
    const Output table = Output::ToStandardOutput(false);
    const KeyMode keys;
    std::map<std::string, Sample> last;
    try {
        do {
            const auto started = std::chrono::steady_clock::now();
            Json records       = StatusRecords(agent, names, true);
            SinceLast(records, last);
            // Home, then clear the screen.
            std::cout << "\033[H\033[2J" << session.ServerName() << "  " << Clock() << "  (q quits)\n\n";
            table.Records(kProcessColumns, records);
            std::cout << std::flush;
            const auto spent =
                std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started);
            if (!keys.WaitUnlessQuit(std::chrono::duration_cast<std::chrono::milliseconds>(kRefresh) - spent, stop)) {
                break;
            }
        } while (!stop.Stopped());
    } catch (const ac::Error &) {
        if (!stop.Stopped()) {
            throw;
        }
    }
    return Exit::kDone;
}

}  // namespace patools
