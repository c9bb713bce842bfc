#include "core/log_writer.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <optional>
#include <poll.h>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

#include <protocol/time_text.h>

#include "tds/socket.h"

namespace paagent {

namespace {

using Clock = std::chrono::steady_clock;

// A part of a line is written once it is this long, so that the writer's memory stays bounded
// whatever the process writes.
constexpr std::size_t kLongestPartialLine = 64 * 1024;
// After a failed write the next try waits this long, doubled at each failure up to the last.
constexpr std::chrono::milliseconds kFirstRetry{100};
constexpr std::chrono::milliseconds kLastRetry{3200};

// Writes as much of text as fd takes; how much that was, errno set when it is not all.
std::size_t WriteSome(int fd, std::string_view text)
{
    std::size_t done = 0;
    while (done < text.size()) {
        ssize_t written = write(fd, text.data() + done, text.size() - done);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            break;
        }
        done += static_cast<std::size_t>(written);
    }
    return done;
}

// Replaces the start file at once, so that a reader never sees a part of it.
bool WriteStart(int directory, const std::string &name, std::uint64_t start)
{
    const std::string file = StartFileName(name);
    const std::string next = file + ".new";
    const std::string text = std::to_string(start) + "\n";
    {
        const tds::FileDescriptor out(
            openat(directory, next.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600));
        if (!out.Valid()) {
            return false;
        }
        // A start file that could not be written whole (a full disk) is not left behind.
        if (WriteSome(out.Get(), text) != text.size()) {
            unlinkat(directory, next.c_str(), 0);
            return false;
        }
    }
    return renameat(directory, next.c_str(), directory, file.c_str()) == 0;
}

class RotatingLog {
public:
    RotatingLog(int log, int directory, std::string name, const LogOptions &options)
        : log_(log), directory_(directory), name_(std::move(name)), options_(options),
          start_(ReadStart(directory, name_).value_or(0))
    {
        struct stat status {};
        size_ = fstat(log_, &status) == 0 ? static_cast<std::uint64_t>(status.st_size) : 0;
        // Recorded from the first, so that a reader takes a log missing beside its start file for
        // a rotation under way, even the first one.
        if (start_ == 0) {
            WriteStart(directory_, name_, 0);
        }
    }

    // Writes the lines at the front of lines, rotating between two of them when the next would
    // not fit. False, with errno set and lines holding what is left, when it stops short.
    bool WriteLines(std::string_view &lines)
    {
        while (!lines.empty()) {
            std::size_t end = lines.find('\n');
            end             = end == std::string_view::npos ? lines.size() : end + 1;
            if (size_ != 0 && size_ + end > options_.max_bytes && !Rotate()) {
                return false;
            }
            // A rotation whose new log could not be made makes it at the next try.
            if (log_ < 0 && !Open()) {
                return false;
            }
            // As many whole lines as fit, at least one.
            std::size_t fits = end;
            for (std::size_t next; fits < lines.size(); fits = next) {
                next = lines.find('\n', fits);
                next = next == std::string_view::npos ? lines.size() : next + 1;
                if (size_ + next > options_.max_bytes) {
                    break;
                }
            }
            const std::size_t written = WriteSome(log_, lines.substr(0, fits));
            if (written > 0) {
                size_ += written;
                ends_line_ = lines[written - 1] == '\n';
            }
            lines.remove_prefix(written);
            if (written < fits) {
                return false;
            }
        }
        return true;
    }

    // Whether what was written last ended a line.
    bool EndsLine() const { return ends_line_; }

private:
    std::string Backup(int number) const { return name_ + "." + std::to_string(number); }

    bool Rotate()
    {
        for (int number = options_.backups - 1; number >= 1; --number) {
            if (renameat(directory_, Backup(number).c_str(), directory_, Backup(number + 1).c_str()) != 0 &&
                errno != ENOENT) {
                return false;
            }
        }
        if (options_.backups > 0 ? renameat(directory_, name_.c_str(), directory_, Backup(1).c_str()) != 0
                                 : unlinkat(directory_, name_.c_str(), 0) != 0) {
            return false;
        }
        start_ += size_;
        size_ = 0;
        log_  = -1;
        return Open();
    }

    // The new log's start is recorded before it exists: a reader that finds it finds its start.
    bool Open()
    {
        if (!WriteStart(directory_, name_, start_)) {
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
    LogOptions options_;
    std::uint64_t start_;  // of the log, in the whole output
    std::uint64_t size_ = 0;
    bool ends_line_     = true;
};

// The log as the process's output sees it: what cannot be written is dropped and counted, and
// the log is tried again once a delay has passed, first with a line saying what was lost.
class LossyLog {
public:
    LossyLog(int log, int directory, std::string name, const LogOptions &options)
        : log_(log, directory, std::move(name), options)
    {
    }

    void Write(std::string_view text, Clock::time_point now)
    {
        if (!Recover(now)) {
            lost_ += text.size();
        } else if (!log_.WriteLines(text)) {
            Fail(text.size(), now);
        }
    }

    // Nothing comes after the last output to try again for: it is tried at once.
    void WriteLast(std::string_view text)
    {
        retry_at_ = Clock::now();
        Write(text, retry_at_);
    }

    // Says what was lost once the delay has passed; whether nothing lost is left unsaid.
    bool Recover(Clock::time_point now)
    {
        if (lost_ == 0) {
            return true;
        }
        if (now < retry_at_) {
            return false;
        }
        const std::string notice = std::string(log_.EndsLine() ? "" : "\n") +
                                   "paagentd-log-writer: " + std::to_string(lost_) + " bytes of output lost (" +
                                   std::strerror(error_) + ")\n";
        std::string_view left = notice;
        if (!log_.WriteLines(left)) {
            Fail(0, now);
            return false;
        }
        lost_  = 0;
        delay_ = {};
        return true;
    }

    // How long to wait for output before trying the log again, for poll(): -1 for ever.
    int Timeout(Clock::time_point now) const
    {
        if (lost_ == 0) {
            return -1;
        }
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(retry_at_ - now);
        return static_cast<int>(std::max(left, left.zero()).count());
    }

    std::uint64_t Lost() const { return lost_; }

private:
    void Fail(std::size_t unwritten, Clock::time_point now)
    {
        if (lost_ == 0) {
            error_ = errno;
        }
        lost_ += unwritten;
        delay_    = delay_ == delay_.zero() ? kFirstRetry : std::min(delay_ * 2, kLastRetry);
        retry_at_ = now + delay_;
    }

    RotatingLog log_;
    std::uint64_t lost_ = 0;  // bytes dropped since the log last took a write
    int error_          = 0;  // why the first of them were
    std::chrono::milliseconds delay_{};
    Clock::time_point retry_at_;
};

// Output with each line begun by the UTC time it is written, "2026-12-07T13:45:01.123Z ". A line
// written in parts is stamped once, before its first part.
class Stamper {
public:
    std::string_view Stamp(std::string_view text)
    {
        stamped_.clear();
        const std::string stamp = Now();
        for (char c : text) {
            if (line_start_) {
                stamped_ += stamp;
            }
            stamped_ += c;
            line_start_ = c == '\n';
        }
        return stamped_;
    }

private:
    static std::string Now()
    {
        timespec now{};
        clock_gettime(CLOCK_REALTIME, &now);
        char text[pa::protocol::kTimeTextSize];
        pa::protocol::TimeText(std::int64_t{now.tv_sec} * 1000 + now.tv_nsec / 1000000, text);
        return std::string(text) + " ";
    }

    std::string stamped_;
    bool line_start_ = true;
};

}  // namespace

std::optional<std::uint64_t> ReadStart(int directory, const std::string &name)
{
    const tds::FileDescriptor file(openat(directory, StartFileName(name).c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    char text[32];
    const ssize_t got = file.Valid() ? read(file.Get(), text, sizeof text) : -1;
    if (got < 0) {
        return std::nullopt;
    }
    std::uint64_t start = 0;
    std::from_chars(text, text + got, start);
    return start;
}

int WriteLog(int input, int log, int directory, const std::string &name, const LogOptions &options)
{
    LossyLog output(log, directory, name, options);
    std::optional<Stamper> stamper;
    if (options.timestamps) {
        stamper.emplace();
    }
    auto stamped = [&stamper](std::string_view text) { return stamper ? stamper->Stamp(text) : text; };
    char buffer[65536];
    std::string pending;
    pending.reserve(kLongestPartialLine + sizeof buffer);
    for (;;) {
        pollfd ready{input, POLLIN, 0};
        const int events = poll(&ready, 1, output.Timeout(Clock::now()));
        if (events == 0) {
            output.Recover(Clock::now());
            continue;
        }
        if (events < 0 && errno == EINTR) {
            continue;
        }
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
        output.Write(stamped(std::string_view(pending).substr(0, whole)), Clock::now());
        pending.erase(0, whole);
    }
    output.WriteLast(stamped(pending));
    return output.Lost() == 0 ? 0 : 1;
}

}  // namespace paagent
