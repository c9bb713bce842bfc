#include "core/users.h"

#include <algorithm>
#include <crypt.h>
#include <memory>
#include <random>
#include <sstream>
#include <stdexcept>

#include "tds/protected_file.h"

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

// An unknown user's password is checked against this hash of a password nobody knows, so that
// the answer takes as long as for a known user's wrong password and tells nobody which users exist.
const std::string &UnknownUserHash()
{
    static const std::string kHash = [] {
        std::random_device random;
        std::string password;
        for (int i = 0; i < 4; ++i) {
            password += std::to_string(random());
        }
        return HashPassword(password);
    }();
    return kHash;
}

}  // namespace

Users Users::Load(const std::filesystem::path &path)
{
    std::istringstream file(tds::ReadProtectedFile(path, "users file", tds::Readers::kAnyone));
    Users users;
    std::string line;
    for (int number = 1; std::getline(file, line); ++number) {
        if (line.empty() || line[0] == '#') {
            continue;
        }
        try {
            users.AddLine(line);
        } catch (const std::invalid_argument &malformed) {
            throw std::runtime_error(path.string() + ":" + std::to_string(number) + ": " + malformed.what());
        }
    }
    return users;
}

void Users::AddLine(std::string_view line)
{
    std::vector<std::string> fields;
    for (std::size_t at = 0; at <= line.size();) {
        const std::size_t colon = std::min(line.find(':', at), line.size());
        fields.emplace_back(line.substr(at, colon - at));
        at = colon + 1;
    }
    if (fields.size() < 2 || fields.size() > 4 || fields[0].empty() || fields[1].empty()) {
        throw std::invalid_argument("expected user:hash[:role[:uids]]");
    }
    Role role = Role::kAdmin;
    if (fields.size() > 2) {
        auto named = pa::protocol::RoleNamed(fields[2]);
        if (!named) {
            throw std::invalid_argument("unknown role '" + fields[2] + "'; expected read, operate or admin");
        }
        role = *named;
    }
    std::optional<std::vector<UidRange>> uids;
    if (fields.size() > 3) {
        uids = ParseUids(fields[3]);
    }
    logins_[fields[0]] = {fields[1], std::make_shared<const Access>(fields[0], role, std::move(uids))};
}

std::shared_ptr<const Access> Users::AccessOf(std::string_view user) const
{
    auto found = logins_.find(user);
    return found == logins_.end() ? nullptr : found->second.access;
}

std::vector<std::shared_ptr<const Access>> Users::Accesses() const
{
    std::vector<std::shared_ptr<const Access>> accesses;
    for (const auto &[user, login] : logins_) {
        accesses.push_back(login.access);
    }
    return accesses;
}

std::set<std::string, std::less<>> Users::LoginsEndedBy(const Users &next) const
{
    std::set<std::string, std::less<>> ended;
    for (const auto &[user, login] : logins_) {
        auto kept = next.logins_.find(user);
        if (kept == next.logins_.end() || kept->second.hash != login.hash) {
            ended.insert(user);
        }
    }
    return ended;
}

bool Users::Check(std::string_view user, std::string_view password) const
{
    auto found              = logins_.find(user);
    const bool known        = found != logins_.end();
    const std::string &hash = known ? found->second.hash : UnknownUserHash();
    auto data               = std::make_unique<crypt_data>();
    const char *hashed      = crypt_r(std::string(password).c_str(), hash.c_str(), data.get());
    return known && hashed != nullptr && hashed[0] != '*' && Same(hashed, hash);
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
