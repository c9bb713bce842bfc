#include "tds/protected_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "tds/socket.h"

namespace paagent::tds {
namespace {

std::string ReadAll(int fd, const std::string &name)
{
    std::string contents;
    char buffer[4096];
    for (;;) {
        ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            throw std::runtime_error("cannot read " + name + ": " + std::strerror(errno));
        }
        if (got == 0) {
            return contents;
        }
        contents.append(buffer, static_cast<std::size_t>(got));
    }
}

// What is wrong with the opened file's owner or mode; empty when nothing is.
std::string Fault(const struct stat &status, Readers readers)
{
    if (status.st_uid != ::geteuid() && status.st_uid != 0) {
        return "belongs to user " + std::to_string(status.st_uid) + ", neither this agent's user (" +
               std::to_string(::geteuid()) + ") nor root; give it to one of them (chown)";
    }
    const mode_t refused = readers == Readers::kOwnerOnly ? (S_IRWXG | S_IRWXO) : (S_IWGRP | S_IWOTH);
    const char *fix      = readers == Readers::kOwnerOnly ? "(chmod go-rwx)" : "(chmod go-w)";
    const char *verb     = readers == Readers::kOwnerOnly ? "read or written" : "written";
    if ((status.st_mode & refused & S_IRWXG) != 0) {
        return std::string("may be ") + verb + " by its group; allow only its owner " + fix;
    }
    if ((status.st_mode & refused & S_IRWXO) != 0) {
        return std::string("may be ") + verb + " by other users; allow only its owner " + fix;
    }
    return {};
}

}  // namespace

std::string ReadProtectedFile(const std::filesystem::path &path, std::string_view kind, Readers readers)
{
    const std::string name = std::string(kind) + " " + path.string();
    FileDescriptor file(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (!file.Valid()) {
        if (errno == ELOOP) {
            throw std::runtime_error(name + " is a symbolic link; name the file itself");
        }
        throw std::runtime_error("cannot read " + name + ": " + std::strerror(errno));
    }
    struct stat status {};
    if (::fstat(file.Get(), &status) != 0) {
        throw std::runtime_error("cannot read " + name + ": " + std::strerror(errno));
    }
    if (!S_ISREG(status.st_mode)) {
        throw std::runtime_error(name + " is not a regular file");
    }
    if (std::string fault = Fault(status, readers); !fault.empty()) {
        throw std::runtime_error(name + " " + fault);
    }
    return ReadAll(file.Get(), name);
}

}  // namespace paagent::tds
