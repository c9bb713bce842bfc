#include "core/output_reader.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <poll.h>
#include <sched.h>
#include <set>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

#include <protocol/rpc_table.h>

#include "core/agent_types.h"
#include "core/log_writer.h"
#include "tds/request_client.h"

namespace paagent {

namespace {

using Clock = std::chrono::steady_clock;

// How long one read keeps starting again while rotations move the files it reads: a rotation
// takes a few system calls, longer when its writer is descheduled among them. The first tries
// yield, the later ones wait a millisecond.
constexpr std::chrono::seconds kSettleTime{1};
constexpr int kYields = 100;
// How much of a file a look for line ends reads at once.
constexpr std::size_t kScanBytes = 64 * 1024;
constexpr std::uint32_t kChanges = IN_MODIFY | IN_CREATE | IN_MOVED_TO | IN_MOVED_FROM | IN_DELETE;

// One file of the output: the log or one of its backups, with the offset of its first byte.
struct Piece {
    std::string file;
    dev_t device       = 0;
    ino_t inode        = 0;
    std::int64_t start = 0;
    std::int64_t size  = 0;
};

struct Pieces {
    std::vector<Piece> files;  // oldest first
    std::int64_t end = 0;      // of the output written so far
};

std::optional<struct stat> StatAt(int directory, const std::string &file)
{
    struct stat status {};
    if (fstatat(directory, file.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
        return std::nullopt;
    }
    return status;
}

bool Same(const std::optional<struct stat> &one, const std::optional<struct stat> &other)
{
    return one.has_value() == other.has_value() &&
           (!one || (one->st_dev == other->st_dev && one->st_ino == other->st_ino));
}

Piece PieceOf(std::string file, const struct stat &status, std::int64_t start)
{
    return {std::move(file), status.st_dev, status.st_ino, start, status.st_size};
}

// The files that hold the output from offset back on, or none when a rotation moved them
// meanwhile: a rotation renames the backups from the oldest down, leaving one gap that moves
// down and showing a file under two names to a walk up, then renames the log, records the new
// log's start and makes it. A missing log is taken as such only once settled: a rotation leaves
// one for a moment.
std::optional<Pieces> Snapshot(int directory, const std::string &name, std::int64_t back, bool settled)
{
    const auto log           = StatAt(directory, name);
    const auto recorded      = ReadStart(directory, name);
    const std::int64_t start = static_cast<std::int64_t>(recorded.value_or(0));
    Pieces pieces;
    pieces.end = start + (log ? log->st_size : 0);
    std::vector<std::pair<Piece, struct stat>> backups;
    std::set<std::pair<dev_t, ino_t>> seen;
    if (log) {
        seen.emplace(log->st_dev, log->st_ino);
    }
    for (std::int64_t first = start; first > back;) {
        const std::string file = name + "." + std::to_string(backups.size() + 1);
        const auto backup      = StatAt(directory, file);
        if (!backup) {
            if (StatAt(directory, name + "." + std::to_string(backups.size() + 2))) {
                return std::nullopt;
            }
            break;
        }
        if (!seen.emplace(backup->st_dev, backup->st_ino).second) {
            return std::nullopt;
        }
        // Older writers did not number their output: what they left ends the walk.
        if (backup->st_size > first) {
            break;
        }
        first -= backup->st_size;
        backups.emplace_back(PieceOf(file, *backup, first), *backup);
    }
    if (!log && !settled && (recorded || StatAt(directory, name + ".1"))) {
        return std::nullopt;
    }
    for (const auto &[piece, status] : backups) {
        if (!Same(StatAt(directory, piece.file), status)) {
            return std::nullopt;
        }
    }
    if (!Same(StatAt(directory, name), log) || ReadStart(directory, name) != recorded) {
        return std::nullopt;
    }
    for (auto backup = backups.rbegin(); backup != backups.rend(); ++backup) {
        pieces.files.push_back(std::move(backup->first));
    }
    if (log) {
        pieces.files.push_back(PieceOf(name, *log, start));
    }
    return pieces;
}

// The piece's file, or none when it is no longer the file the piece was made of.
tds::FileDescriptor OpenPiece(int directory, const Piece &piece)
{
    tds::FileDescriptor file(openat(directory, piece.file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    struct stat status {};
    if (!file.Valid() || fstat(file.Get(), &status) != 0 || status.st_dev != piece.device ||
        status.st_ino != piece.inode) {
        return {};
    }
    return file;
}

// Up to size bytes of file from offset; fewer only when the file is shorter.
bool ReadAt(int file, std::int64_t offset, std::size_t size, std::string &out)
{
    const std::size_t had = out.size();
    out.resize(had + size);
    std::size_t done = 0;
    while (done < size) {
        const ssize_t got = pread(file, out.data() + had + done, size - done, offset + static_cast<off_t>(done));
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            break;
        }
        done += static_cast<std::size_t>(got);
    }
    out.resize(had + done);
    return done == size;
}

// Up to max_bytes from offset from, within the pieces; none when a piece moved.
std::optional<std::string> ReadFrom(int directory, const Pieces &pieces, std::int64_t from, std::size_t max_bytes)
{
    std::string data;
    for (const Piece &piece : pieces.files) {
        const std::int64_t end = piece.start + piece.size;
        if (end <= from || data.size() >= max_bytes) {
            continue;
        }
        const tds::FileDescriptor file = OpenPiece(directory, piece);
        const auto size = std::min<std::size_t>(max_bytes - data.size(), static_cast<std::size_t>(end - from));
        if (!file.Valid() || !ReadAt(file.Get(), from - piece.start, size, data)) {
            return std::nullopt;
        }
        from = end;
    }
    return data;
}

// Where the last lines start, the last one counted even without its end; the first byte kept
// when there are fewer. None when a piece moved.
std::optional<std::int64_t> TailStart(int directory, const Pieces &pieces, std::int32_t lines)
{
    if (lines == 0) {
        return pieces.end;
    }
    std::int32_t found = 0;
    std::string chunk;
    for (auto piece = pieces.files.rbegin(); piece != pieces.files.rend(); ++piece) {
        const tds::FileDescriptor file = OpenPiece(directory, *piece);
        if (!file.Valid()) {
            return std::nullopt;
        }
        for (std::int64_t offset = piece->size; offset > 0;) {
            const auto size = std::min<std::int64_t>(offset, kScanBytes);
            offset -= size;
            chunk.clear();
            if (!ReadAt(file.Get(), offset, static_cast<std::size_t>(size), chunk)) {
                return std::nullopt;
            }
            for (auto at = static_cast<std::int64_t>(chunk.size()); at-- > 0;) {
                const std::int64_t position = piece->start + offset + at;
                if (chunk[static_cast<std::size_t>(at)] == '\n' && position != pieces.end - 1 && ++found == lines) {
                    return position + 1;
                }
            }
        }
    }
    return pieces.files.empty() ? pieces.end : pieces.files.front().start;
}

agentclient::Output ReadNow(int directory, const std::string &name, std::int64_t cursor, std::int32_t tail_lines,
                            std::size_t max_bytes)
{
    const auto settle_by = Clock::now() + kSettleTime;
    for (int attempt = 0;; ++attempt) {
        if (attempt >= kYields) {
            usleep(1000);
        } else if (attempt > 0) {
            sched_yield();
        }
        const bool settled  = Clock::now() >= settle_by;
        const bool tail     = cursor == pa::protocol::kEndCursor;
        const auto snapshot = Snapshot(directory, name, tail ? 0 : cursor, settled);
        if (!snapshot) {
            if (settled) {
                break;
            }
            continue;
        }
        // A cursor beyond the end, left by logs removed by hand, reads all that is kept again.
        if (cursor > snapshot->end) {
            cursor = 0;
            continue;
        }
        agentclient::Output output;
        std::optional<std::int64_t> from = tail ? TailStart(directory, *snapshot, tail_lines) : cursor;
        const std::int64_t first         = snapshot->files.empty() ? snapshot->end : snapshot->files.front().start;
        if (from && *from < first) {
            output.lost = first - *from;
            from        = first;
        }
        std::optional<std::string> data;
        if (from) {
            data = ReadFrom(directory, *snapshot, *from, max_bytes);
        }
        if (!data) {
            if (settled) {
                break;
            }
            continue;
        }
        output.data   = std::move(*data);
        output.cursor = *from + static_cast<std::int64_t>(output.data.size());
        return output;
    }
    throw AgentError("the log " + name + " keeps moving under its reader");
}

// Reads the waiting changes of the log directory: whether one is of the log's files.
bool ConcernsLog(int changes, const std::string &name)
{
    alignas(inotify_event) char buffer[4096];
    bool concerns = false;
    for (;;) {
        const ssize_t got = read(changes, buffer, sizeof buffer);
        if (got <= 0) {
            return concerns;
        }
        for (ssize_t at = 0; at < got;) {
            inotify_event event{};
            std::memcpy(&event, buffer + at, sizeof event);
            const std::string_view file(buffer + at + sizeof event, strnlen(buffer + at + sizeof event, event.len));
            concerns =
                concerns || file == name || (file.starts_with(name) && file.substr(name.size()).starts_with('.'));
            at += static_cast<ssize_t>(sizeof event + event.len);
        }
    }
}

}  // namespace

agentclient::Output OutputReader::Read(const std::string &log_name, std::int64_t cursor, std::int32_t tail_lines,
                                       std::chrono::milliseconds wait, std::size_t max_bytes) const
{
    const tds::FileDescriptor directory(open(directory_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!directory.Valid()) {
        return {.data = {}, .lost = 0, .cursor = 0};
    }
    // Watched before the first read, so that no change after it goes unseen.
    tds::FileDescriptor changes;
    if (wait.count() > 0) {
        changes = tds::FileDescriptor(inotify_init1(IN_CLOEXEC | IN_NONBLOCK));
        if (!changes.Valid() || inotify_add_watch(changes.Get(), directory_.c_str(), kChanges) < 0) {
            throw AgentError(std::string("cannot watch the logs: ") + std::strerror(errno));
        }
    }
    const auto deadline = Clock::now() + wait;
    for (;;) {
        agentclient::Output output = ReadNow(directory.Get(), log_name, cursor, tail_lines, max_bytes);
        if (!output.data.empty() || output.lost != 0) {
            return output;
        }
        cursor = output.cursor;
        for (bool changed = false; !changed;) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
            // A client that has gone hears no answer: its wait ends at once.
            pollfd ready[] = {
                {changes.Get(), POLLIN, 0}, {stopped_.Fd(), POLLIN, 0}, {tds::RequestClientSocket(), POLLRDHUP, 0}};
            if (left.count() <= 0 || !changes.Valid()) {
                return output;
            }
            if ((poll(ready, 3, static_cast<int>(left.count())) < 0 && errno != EINTR) || ready[1].revents != 0 ||
                ready[2].revents != 0) {
                return output;
            }
            changed = ready[0].revents != 0 && ConcernsLog(changes.Get(), log_name);
        }
    }
}

}  // namespace paagent
