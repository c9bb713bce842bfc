// HTTP basic authentication against a users file of the agent's format.
#ifndef PAEXPORTER_BASIC_AUTH_H
#define PAEXPORTER_BASIC_AUTH_H

#include <core/users.h>

#include <filesystem>
#include <memory>
#include <mutex>
#include <string>

namespace paexporter {

// The logins of a users file, read at start and again on demand; a reading that fails keeps the
// logins read before, so that a file caught half-edited locks nobody out. Safe to use from
// several threads.
class Logins {
public:
    // Throws std::runtime_error naming the file and why when it cannot be used or has no login.
    explicit Logins(std::filesystem::path path);

    // Reads the file again; says on standard error what it read, or why the logins stay as they were.
    void Reload();
    // Whether authorization (an Authorization header's value) is "Basic" with the user and
    // password of one of the logins.
    bool Authorized(const std::string &authorization) const;

private:
    // Throws as the constructor does.
    std::shared_ptr<const paagent::Users> Read() const;

    const std::filesystem::path path_;
    mutable std::mutex mutex_;
    std::shared_ptr<const paagent::Users> users_;  // replaced whole, so that a check holds no lock
};

}  // namespace paexporter

#endif  // PAEXPORTER_BASIC_AUTH_H
