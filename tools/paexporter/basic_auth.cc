#include "basic_auth.h"

#include <openssl/evp.h>

#include <algorithm>
#include <iostream>
#include <stdexcept>
#include <vector>

namespace paexporter {

namespace {

// The bytes of a base64 text, or none when it is not one.
std::optional<std::string> Decoded(const std::string &text)
{
    if (text.empty() || text.size() % 4 != 0) {
        return std::nullopt;
    }
    std::vector<unsigned char> bytes(text.size() / 4 * 3);
    const int length = EVP_DecodeBlock(bytes.data(), reinterpret_cast<const unsigned char *>(text.data()),
                                       static_cast<int>(text.size()));
    if (length < 0) {
        return std::nullopt;
    }
    // EVP_DecodeBlock counts the padding as bytes.
    const auto padding = static_cast<std::size_t>(std::count(text.end() - 2, text.end(), '='));
    return std::string(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(length - padding));
}

}  // namespace

Logins::Logins(std::filesystem::path path) : path_(std::move(path)), users_(Read()) {}

std::shared_ptr<const paagent::Users> Logins::Read() const
{
    auto users = std::make_shared<const paagent::Users>(paagent::Users::Load(path_));
    if (users->Accesses().empty()) {
        throw std::runtime_error(path_.string() + " has no login");
    }
    return users;
}

void Logins::Reload()
{
    try {
        std::shared_ptr<const paagent::Users> users = Read();
        const std::size_t count                     = users->Accesses().size();
        {
            std::lock_guard lock(mutex_);
            users_ = std::move(users);
        }
        std::cerr << "paexporter: read " << count << (count == 1 ? " login" : " logins") << " from " << path_.string()
                  << '\n';
    } catch (const std::exception &error) {
        std::cerr << "paexporter: keeps the logins it had: " << error.what() << '\n';
    }
}

bool Logins::Authorized(const std::string &authorization) const
{
    constexpr std::string_view kScheme = "Basic ";
    if (!authorization.starts_with(kScheme)) {
        return false;
    }
    const std::optional<std::string> credentials = Decoded(authorization.substr(kScheme.size()));
    const std::size_t colon                      = credentials ? credentials->find(':') : std::string::npos;
    if (colon == std::string::npos) {
        return false;
    }
    std::shared_ptr<const paagent::Users> users;
    {
        std::lock_guard lock(mutex_);
        users = users_;
    }
    return users->Check(credentials->substr(0, colon), credentials->substr(colon + 1));
}

}  // namespace paexporter
