// The users allowed to log in, with their passwords as crypt(3) hashes, and what each may do.
#ifndef PAAGENT_CORE_USERS_H
#define PAAGENT_CORE_USERS_H

#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "core/access.h"

namespace paagent {

class Users {
public:
    // Reads "user:hash[:role[:uids]]" lines (see ParseUids); a line without a role is an admin's.
    // '#' starts a comment. Throws std::runtime_error naming the file and line of anything else,
    // or naming a file that others may change (see tds::ReadProtectedFile).
    static Users Load(const std::filesystem::path &path);

    // Whether password is the user's.
    bool Check(std::string_view user, std::string_view password) const;
    // What the user may do; none for a user not in the file.
    std::shared_ptr<const Access> AccessOf(std::string_view user) const;
    std::vector<std::shared_ptr<const Access>> Accesses() const;
    // The users whose login `next` removes or whose password it changes: their sessions end.
    std::set<std::string, std::less<>> LoginsEndedBy(const Users &next) const;

private:
    // Throws std::invalid_argument saying what is wrong with the line.
    void AddLine(std::string_view line);

    struct Login {
        std::string hash;
        std::shared_ptr<const Access> access;
    };
    std::map<std::string, Login, std::less<>> logins_;
};

// A salted SHA-512 crypt(3) hash of password, for a users file.
std::string HashPassword(std::string_view password);

}  // namespace paagent

#endif  // PAAGENT_CORE_USERS_H
