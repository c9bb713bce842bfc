#include "config/atomic_file.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace agentclient::config {

namespace {

[[noreturn]] void Fail(const std::string &what) { throw std::runtime_error(what + ": " + std::strerror(errno)); }

struct FileCloser {
    void operator()(std::FILE *file) const { std::fclose(file); }
};

// Creates the file for its owner alone, whatever the umask, and never through a symbolic link.
std::FILE *CreatePrivate(const std::filesystem::path &path)
{
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        return nullptr;
    }
    std::FILE *file = fchmod(fd, 0600) == 0 ? fdopen(fd, "w") : nullptr;
    if (file == nullptr) {
        const int error = errno;
        close(fd);
        errno = error;
    }
    return file;
}

void WriteFile(const std::filesystem::path &path, const std::string &text, Durability durability)
{
    std::unique_ptr<std::FILE, FileCloser> file(CreatePrivate(path));
    if (!file) {
        Fail("cannot create " + path.string());
    }
    std::FILE *stream = file.get();
    if (std::fwrite(text.data(), 1, text.size(), stream) != text.size() || std::fflush(stream) != 0 ||
        (durability == Durability::kSystemCrash && fsync(fileno(stream)) != 0)) {
        Fail("cannot write " + path.string());
    }
    if (std::fclose(file.release()) != 0) {
        Fail("cannot write " + path.string());
    }
}

}  // namespace

void ReplaceFile(const std::filesystem::path &path, const std::string &text, Durability durability)
{
    std::filesystem::path temporary = path;
    temporary += ".tmp";
    // A temporary file a failed save left behind goes; anything else there makes the save fail.
    unlink(temporary.c_str());
    try {
        WriteFile(temporary, text, durability);
    } catch (...) {
        std::error_code ignored;
        std::filesystem::remove(temporary, ignored);
        throw;
    }
    std::filesystem::rename(temporary, path);
    if (durability == Durability::kProcessCrash) {
        return;
    }
    // Make the rename itself durable.
    int directory =
        open(path.parent_path().empty() ? "." : path.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (directory >= 0) {
        fsync(directory);
        close(directory);
    }
}

void CreateFile(const std::filesystem::path &path, const std::string &text)
{
    WriteFile(path, text, Durability::kProcessCrash);
}

}  // namespace agentclient::config
