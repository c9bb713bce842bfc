// Writing a file whole: a reader of a replaced file sees the old text or the new one, never a part.
// The agent's configuration and state files, what it keeps aside, and pactl's exports are all
// written here.
#ifndef AGENTCLIENT_CONFIG_ATOMIC_FILE_H
#define AGENTCLIENT_CONFIG_ATOMIC_FILE_H

#include <filesystem>
#include <string_view>

namespace agentclient::config {

// Whether a replaced file must survive a crash of the system, or only one of its writer.
enum class Durability {
    kProcessCrash,
    kSystemCrash
};

// Writes text to PATH.tmp, created with mode 0600 whatever the umask and never through a symbolic
// link, and renames it over path; for kSystemCrash flushes the file to disk before the rename and
// its directory after. Refuses a path that is a symbolic link: replacing the link would leave the
// file it names behind unchanged. Throws std::runtime_error on failure, leaving path as it was,
// except when the directory cannot be flushed after the rename: path holds text then.
void ReplaceFile(const std::filesystem::path &path, std::string_view text, Durability durability);
// Writes text to a new file, created with mode 0600 whatever the umask and never through a
// symbolic link. Throws std::runtime_error when path exists or the text cannot be written, and
// then leaves no file of its own at path.
void CreateFile(const std::filesystem::path &path, std::string_view text);

}  // namespace agentclient::config

#endif  // AGENTCLIENT_CONFIG_ATOMIC_FILE_H
