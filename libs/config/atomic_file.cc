#include "config/atomic_file.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <stdexcept>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace agentclient::config {

namespace {

[[noreturn]] void Fail(const std::string &what, int error)
{
    throw std::runtime_error(what + ": " + std::strerror(error));
}

// A file descriptor, closed when it goes unless closed before.
class Descriptor {
public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor()
    {
        if (fd_ >= 0) {
            close(fd_);
        }
    }
    Descriptor(const Descriptor &)            = delete;
    Descriptor &operator=(const Descriptor &) = delete;

    int Get() const { return fd_; }
    // What close says: the last of a write may fail only there.
    int Close() { return close(std::exchange(fd_, -1)); }

private:
    int fd_;
};

bool WriteAll(int fd, std::string_view text)
{
    while (!text.empty()) {
        const ssize_t written = write(fd, text.data(), text.size());
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            errno = written == 0 ? EIO : errno;
            return false;
        }
        text.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

// Creates path for its owner alone, whatever the umask, and never through a symbolic link, and
// writes text to it, flushed to disk with sync. Removes what it created when it fails.
void WriteNew(const std::filesystem::path &path, std::string_view text, bool sync)
{
    Descriptor file(open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (file.Get() < 0) {
        Fail("cannot create " + path.string(), errno);
    }
    if (fchmod(file.Get(), 0600) != 0 || !WriteAll(file.Get(), text) || (sync && fsync(file.Get()) != 0) ||
        file.Close() != 0) {
        const int error = errno;
        unlink(path.c_str());
        Fail("cannot write " + path.string(), error);
    }
}

}  // namespace

void ReplaceFile(const std::filesystem::path &path, std::string_view text, Durability durability)
{
    struct stat status {};
    if (lstat(path.c_str(), &status) == 0 && S_ISLNK(status.st_mode)) {
        throw std::runtime_error("will not replace " + path.string() +
                                 ": it is a symbolic link; name the file it points to instead");
    }
    std::filesystem::path temporary = path;
    temporary += ".tmp";
    // Whatever a failed write left at the temporary name goes, a link unfollowed; a directory there
    // makes the write fail.
    unlink(temporary.c_str());
    const bool sync = durability == Durability::kSystemCrash;
    WriteNew(temporary, text, sync);
    // Opened before the rename, so that a directory that cannot be flushed leaves path as it was.
    const std::filesystem::path parent = path.parent_path().empty() ? "." : path.parent_path();
    Descriptor directory(sync ? open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC) : -1);
    if ((sync && directory.Get() < 0) || rename(temporary.c_str(), path.c_str()) != 0) {
        const int error = errno;
        unlink(temporary.c_str());
        Fail("cannot replace " + path.string(), error);
    }
    if (sync && fsync(directory.Get()) != 0) {
        Fail("replaced " + path.string() + " but cannot flush its directory to disk", errno);
    }
}

void CreateFile(const std::filesystem::path &path, std::string_view text) { WriteNew(path, text, false); }

}  // namespace agentclient::config
