#include "core/group_usage.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <string>
#include <string_view>
#include <unistd.h>

#include "tds/socket.h"

namespace paagent {

namespace {

// The fields of /proc/PID/stat read here, numbered as proc(5) numbers them.
struct StatFields {
    pid_t group                  = 0;
    std::uint64_t user_ticks     = 0;
    std::uint64_t system_ticks   = 0;
    std::uint64_t start_ticks    = 0;
    std::uint64_t resident_pages = 0;
    std::int32_t threads         = 0;
};

constexpr int kGroupField       = 5;
constexpr int kUserField        = 14;  // then stime, cutime, cstime
constexpr int kChildSystemField = 17;
constexpr int kThreadsField     = 20;
constexpr int kStartField       = 22;
constexpr int kResidentField    = 24;

bool ParseStat(std::string_view text, StatFields &fields)
{
    // The command name in parentheses may hold anything; field 3 follows its last ')'.
    const std::size_t close = text.rfind(')');
    if (close == std::string_view::npos) {
        return false;
    }
    text.remove_prefix(close + 1);
    std::array<std::uint64_t, 4> times{};
    for (int field = 3; field <= kResidentField; ++field) {
        const std::size_t start = text.find_first_not_of(' ');
        if (start == std::string_view::npos) {
            return false;
        }
        text.remove_prefix(start);
        const std::size_t end = std::min(text.find(' '), text.size());
        std::uint64_t value   = 0;
        if (field != 3) {
            // Only the state (field 3) is not a number; a negative one (priority, nice) is skipped.
            std::from_chars(text.data(), text.data() + end, value);
        }
        if (field == kGroupField) {
            fields.group = static_cast<pid_t>(value);
        } else if (field >= kUserField && field <= kChildSystemField) {
            times[static_cast<std::size_t>(field - kUserField)] = value;
        } else if (field == kThreadsField) {
            fields.threads = static_cast<std::int32_t>(value);
        } else if (field == kStartField) {
            fields.start_ticks = value;
        } else if (field == kResidentField) {
            fields.resident_pages = value;
        }
        text.remove_prefix(end);
    }
    fields.user_ticks   = times[0] + times[2];
    fields.system_ticks = times[1] + times[3];
    return true;
}

struct DirCloser {
    void operator()(DIR *dir) const { closedir(dir); }
};
using Directory = std::unique_ptr<DIR, DirCloser>;

std::int32_t CountDescriptors(int proc, const char *pid)
{
    const std::string path = std::string(pid) + "/fd";
    tds::FileDescriptor fd(openat(proc, path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd.Valid()) {
        return 0;  // gone, or another user's
    }
    const Directory dir(fdopendir(fd.Get()));
    if (!dir) {
        return 0;
    }
    fd.Release();
    std::int32_t count = 0;
    while (const dirent *item = readdir(dir.get())) {
        count += item->d_name[0] != '.' ? 1 : 0;
    }
    return count;
}

// The resident pages of a process as its statm file gives them: exact, where the kernel gives an
// approximate count in stat, off by hundreds of kilobytes for a small process. Stat's count
// when statm cannot be read.
std::uint64_t ResidentPages(int proc, const char *pid, std::uint64_t from_stat)
{
    const std::string path = std::string(pid) + "/statm";
    const tds::FileDescriptor statm(openat(proc, path.c_str(), O_RDONLY | O_CLOEXEC));
    std::array<char, 128> buffer{};
    const ssize_t length = statm.Valid() ? read(statm.Get(), buffer.data(), buffer.size()) : -1;
    // The sizes in pages: total, resident, shared, ...
    const std::string_view text(buffer.data(), static_cast<std::size_t>(std::max<ssize_t>(length, 0)));
    const std::size_t space = text.find(' ');
    std::uint64_t resident  = 0;
    if (space == std::string_view::npos ||
        std::from_chars(text.data() + space + 1, text.data() + text.size(), resident).ec != std::errc()) {
        return from_stat;
    }
    return resident;
}

}  // namespace

std::map<pid_t, GroupUsage> UsageOfGroups(const std::set<pid_t> &groups)
{
    std::map<pid_t, GroupUsage> usage;
    if (groups.empty()) {
        return usage;
    }
    const Directory proc(opendir("/proc"));
    if (!proc) {
        return usage;
    }
    const int proc_fd = dirfd(proc.get());
    std::array<char, 1024> buffer{};
    while (const dirent *item = readdir(proc.get())) {
        pid_t pid            = 0;
        const char *name_end = item->d_name + std::strlen(item->d_name);
        if (std::from_chars(item->d_name, name_end, pid).ptr != name_end) {
            continue;
        }
        const std::string path = std::string(item->d_name) + "/stat";
        const tds::FileDescriptor stat(openat(proc_fd, path.c_str(), O_RDONLY | O_CLOEXEC));
        if (stat.Get() < 0) {
            continue;  // it has gone
        }
        const ssize_t length = read(stat.Get(), buffer.data(), buffer.size());
        StatFields fields;
        if (length <= 0 || !ParseStat(std::string_view(buffer.data(), static_cast<std::size_t>(length)), fields) ||
            !groups.contains(fields.group)) {
            continue;
        }
        GroupUsage &sum = usage[fields.group];
        sum.user_ticks += fields.user_ticks;
        sum.system_ticks += fields.system_ticks;
        sum.resident_pages += ResidentPages(proc_fd, item->d_name, fields.resident_pages);
        sum.threads += fields.threads;
        sum.descriptors += CountDescriptors(proc_fd, item->d_name);
        if (pid == fields.group) {
            sum.leader_start = fields.start_ticks;
        }
    }
    return usage;
}

}  // namespace paagent
