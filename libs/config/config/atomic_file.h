// Writing a file whole: a reader of a replaced file sees the old text or the new one, never a part.
#ifndef AGENTCLIENT_CONFIG_ATOMIC_FILE_H
#define AGENTCLIENT_CONFIG_ATOMIC_FILE_H

#include <filesystem>
#include <string>

namespace agentclient::config {

// Whether a replaced file must survive a crash of the system, or only one of the agent.
enum class Durability {
    kProcessCrash,
    kSystemCrash
};

// Writes text to PATH.tmp, created with mode 0600 whatever the umask and never through a
// symbolic link, and renames it over path; for SystemCrash flushes both to disk first. Throws
// std::runtime_error on failure, leaving path as it was.
void ReplaceFile(const std::filesystem::path &path, const std::string &text, Durability durability);
// Writes text to a new file, created with mode 0600 whatever the umask and never through a
// symbolic link. Throws std::runtime_error when path exists or the text cannot be written.
void CreateFile(const std::filesystem::path &path, const std::string &text);

}  // namespace agentclient::config

#endif  // AGENTCLIENT_CONFIG_ATOMIC_FILE_H
