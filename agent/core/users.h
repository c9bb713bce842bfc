// The users allowed to log in, with their passwords as crypt(3) hashes.
#ifndef PAAGENT_CORE_USERS_H
#define PAAGENT_CORE_USERS_H

#include <filesystem>
#include <map>
#include <string>
#include <string_view>

namespace paagent {

class Users {
public:
    // Reads "user:hash" lines; '#' starts a comment. Throws std::runtime_error naming the
    // file and line of anything else, or naming a file others may write.
    static Users Load(const std::filesystem::path &path);

    void Add(std::string user, std::string hash) { hashes_[std::move(user)] = std::move(hash); }
    // Whether password is the user's.
    bool Check(std::string_view user, std::string_view password) const;

private:
    std::map<std::string, std::string, std::less<>> hashes_;
};

// A salted SHA-512 crypt(3) hash of password, for a users file.
std::string HashPassword(std::string_view password);

}  // namespace paagent

#endif  // PAAGENT_CORE_USERS_H
