#include "core/log_writer.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

#include "tds/socket.h"

namespace paagent {

namespace {

// A part of a line is written once it is this long, so that the writer's memory stays bounded
// whatever the process writes.
constexpr std::size_t kLongestPartialLine = 64 * 1024;

bool WriteAll(int fd, std::string_view text)
{
    while (!text.empty()) {
        ssize_t written = write(fd, text.data(), text.size());
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return false;
        }
        text.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

class RotatingLog {
public:
    RotatingLog(int log, int directory, std::string name, const LogLimits &limits)
        : log_(log), directory_(directory), name_(std::move(name)), limits_(limits)
    {
        struct stat status {};
        size_ = fstat(log_, &status) == 0 ? static_cast<std::uint64_t>(status.st_size) : 0;
    }

    // Writes the lines, rotating between two of them when the next would not fit.
    bool WriteLines(std::string_view lines)
    {
        while (!lines.empty()) {
            std::size_t end = lines.find('\n');
            end             = end == std::string_view::npos ? lines.size() : end + 1;
            if (size_ != 0 && size_ + end > limits_.max_bytes && !Rotate()) {
                return false;
            }
            // As many whole lines as fit, at least one.
            std::size_t fits = end;
            for (std::size_t next; fits < lines.size(); fits = next) {
                next = lines.find('\n', fits);
                next = next == std::string_view::npos ? lines.size() : next + 1;
                if (size_ + next > limits_.max_bytes) {
                    break;
                }
            }
            if (!WriteAll(log_, lines.substr(0, fits))) {
                return false;
            }
            size_ += fits;
            lines.remove_prefix(fits);
        }
        return true;
    }

private:
    std::string Backup(int number) const { return name_ + "." + std::to_string(number); }

    bool Rotate()
    {
        for (int number = limits_.backups - 1; number >= 1; --number) {
            if (renameat(directory_, Backup(number).c_str(), directory_, Backup(number + 1).c_str()) != 0 &&
                errno != ENOENT) {
                return false;
            }
        }
        if (limits_.backups > 0 ? renameat(directory_, name_.c_str(), directory_, Backup(1).c_str()) != 0
                                : unlinkat(directory_, name_.c_str(), 0) != 0) {
            return false;
        }
        file_ = tds::FileDescriptor(
            openat(directory_, name_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_APPEND | O_CLOEXEC | O_NOFOLLOW, 0600));
        log_  = file_.Get();
        size_ = 0;
        return file_.Valid();
    }

    int log_;
    tds::FileDescriptor file_;  // the log opened since the first rotation
    int directory_;
    std::string name_;
    LogLimits limits_;
    std::uint64_t size_ = 0;
};

}  // namespace

int WriteLog(int input, int log, int directory, const std::string &name, const LogLimits &limits)
{
    RotatingLog output(log, directory, name, limits);
    char buffer[65536];
    std::string pending;
    pending.reserve(kLongestPartialLine + sizeof buffer);
    for (;;) {
        ssize_t got = read(input, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            break;
        }
        // Whole lines go now; a part of a line waits for its end, unless it is too long. Only the
        // bytes just read can end the last line.
        const std::size_t held = pending.size();
        pending.append(buffer, static_cast<std::size_t>(got));
        const void *last_end = memrchr(pending.data() + held, '\n', static_cast<std::size_t>(got));
        std::size_t whole    = last_end == nullptr
                                   ? 0
                                   : static_cast<std::size_t>(static_cast<const char *>(last_end) - pending.data()) + 1;
        if (pending.size() - whole >= kLongestPartialLine) {
            whole = pending.size();
        }
        if (!output.WriteLines(std::string_view(pending).substr(0, whole))) {
            return 1;
        }
        pending.erase(0, whole);
    }
    return output.WriteLines(pending) ? 0 : 1;
}

}  // namespace paagent
