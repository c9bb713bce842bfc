// Byte-string helpers for tests written against wire dumps.
#ifndef PAAGENT_TESTS_BYTES_H
#define PAAGENT_TESTS_BYTES_H

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace paagent::tds::testing {

using Bytes = std::vector<std::uint8_t>;

// "ad 13 00" -> {0xad, 0x13, 0x00}; spaces are ignored.
inline Bytes Hex(std::string_view spaced)
{
    std::string digits;
    for (char c : spaced) {
        if (c != ' ') {
            digits += c;
        }
    }
    Bytes out;
    for (std::size_t at = 0; at + 1 < digits.size(); at += 2) {
        out.push_back(static_cast<std::uint8_t>(std::stoul(digits.substr(at, 2), nullptr, 16)));
    }
    return out;
}

inline Bytes Text(std::string_view chars) { return Bytes(chars.begin(), chars.end()); }

inline Bytes operator+(Bytes left, const Bytes &right)
{
    left.insert(left.end(), right.begin(), right.end());
    return left;
}

}  // namespace paagent::tds::testing

#endif  // PAAGENT_TESTS_BYTES_H
