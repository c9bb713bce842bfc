#include "core/users.h"

#include <crypt.h>
#include <fstream>
#include <memory>
#include <stdexcept>

namespace paagent {

namespace {

// Compares in time that depends only on the lengths, so a hash is not guessed byte by byte.
bool Same(std::string_view a, std::string_view b)
{
    if (a.size() != b.size()) {
        return false;
    }
    unsigned char difference = 0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        difference |= static_cast<unsigned char>(a[i] ^ b[i]);
    }
    return difference == 0;
}

}  // namespace

Users Users::Load(const std::filesystem::path &path)
{
    std::ifstream file(path);
    if (!file) {
        throw std::runtime_error("cannot read users file " + path.string());
    }
    // Whoever may write the file may add a login of their own.
    std::error_code error;
    const auto permissions = std::filesystem::status(path, error).permissions();
    if (error || (permissions & std::filesystem::perms::others_write) != std::filesystem::perms::none) {
        throw std::runtime_error("users file " + path.string() + " may be written by others; allow only its owner");
    }
    Users users;
    std::string line;
    for (int number = 1; std::getline(file, line); ++number) {
        if (line.empty() || line[0] == '#') {
            continue;
        }
        auto colon = line.find(':');
        if (colon == 0 || colon == std::string::npos || colon + 1 == line.size()) {
            throw std::runtime_error(path.string() + ":" + std::to_string(number) + ": expected user:hash");
        }
        users.Add(line.substr(0, colon), line.substr(colon + 1));
    }
    return users;
}

bool Users::Check(std::string_view user, std::string_view password) const
{
    auto found = hashes_.find(user);
    if (found == hashes_.end()) {
        return false;
    }
    auto data          = std::make_unique<crypt_data>();
    const char *hashed = crypt_r(std::string(password).c_str(), found->second.c_str(), data.get());
    return hashed != nullptr && hashed[0] != '*' && Same(hashed, found->second);
}

std::string HashPassword(std::string_view password)
{
    char salt[CRYPT_GENSALT_OUTPUT_SIZE];
    if (crypt_gensalt_rn("$6$", 0, nullptr, 0, salt, sizeof salt) == nullptr) {
        throw std::runtime_error("cannot make a salt");
    }
    auto data          = std::make_unique<crypt_data>();
    const char *hashed = crypt_r(std::string(password).c_str(), salt, data.get());
    if (hashed == nullptr || hashed[0] == '*') {
        throw std::runtime_error("cannot hash the password");
    }
    return hashed;
}

}  // namespace paagent
