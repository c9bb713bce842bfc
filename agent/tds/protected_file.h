// Files whose contents decide who may log in (the users file, the login key): whoever may change
// one may let themselves in, so only the agent's own user or root may.
#ifndef PAAGENT_TDS_PROTECTED_FILE_H
#define PAAGENT_TDS_PROTECTED_FILE_H

#include <filesystem>
#include <string>
#include <string_view>

namespace paagent::tds {

// Who besides the owner may read the file.
enum class Readers {
    kAnyone,
    kOwnerOnly  // the file holds a secret
};

// The contents of the file, opened without following a symbolic link and checked on the opened
// descriptor, so that what is checked is what is read. Throws std::runtime_error, naming the file
// as "KIND PATH" and saying what to fix, when it cannot be read, is a symbolic link, may be
// written by its group or others (or read by them, with Readers::kOwnerOnly), or belongs to a
// user other than this process's effective user and root.
std::string ReadProtectedFile(const std::filesystem::path &path, std::string_view kind, Readers readers);

}  // namespace paagent::tds

#endif  // PAAGENT_TDS_PROTECTED_FILE_H
