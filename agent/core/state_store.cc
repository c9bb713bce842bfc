#include "core/state_store.h"

#include <cerrno>
#include <config/atomic_file.h>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <stdexcept>
#include <unistd.h>

#include "tds/socket.h"

namespace paagent {

std::optional<std::string> ReadStateText(const std::filesystem::path &path)
{
    tds::FileDescriptor file(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!file.Valid() && errno == ENOENT) {
        return std::nullopt;
    }
    std::string text;
    char buffer[8192];
    ssize_t got = 0;
    while (file.Valid() && (got = read(file.Get(), buffer, sizeof buffer)) != 0) {
        if (got > 0) {
            text.append(buffer, static_cast<std::size_t>(got));
        } else if (errno != EINTR) {
            break;
        }
    }
    if (!file.Valid() || got < 0) {
        throw std::runtime_error("cannot read " + path.string() + ": " + std::strerror(errno));
    }
    return text;
}

std::filesystem::path KeepAside(const std::filesystem::path &path, const std::string &text)
{
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&now, &utc);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%SZ", &utc);
    const std::string name = path.string() + ".bad-" + stamp;
    std::filesystem::path aside(name);
    for (int copy = 2; std::filesystem::exists(std::filesystem::symlink_status(aside)); ++copy) {
        aside = name + "-" + std::to_string(copy);
    }
    agentclient::config::CreateFile(aside, text);
    return aside;
}

}  // namespace paagent
