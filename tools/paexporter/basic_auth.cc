#include "basic_auth.h"

#include <openssl/evp.h>

#include <algorithm>
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

bool Authorized(const paagent::Users &users, const std::string &authorization)
{
    constexpr std::string_view kScheme = "Basic ";
    if (!authorization.starts_with(kScheme)) {
        return false;
    }
    const std::optional<std::string> credentials = Decoded(authorization.substr(kScheme.size()));
    const std::size_t colon                      = credentials ? credentials->find(':') : std::string::npos;
    return colon != std::string::npos && users.Check(credentials->substr(0, colon), credentials->substr(colon + 1));
}

}  // namespace paexporter
