// Byte-string helpers for tests written against wire dumps.
#ifndef PAAGENT_TESTS_BYTES_H
#define PAAGENT_TESTS_BYTES_H

#include <cstdint>
#include <stdexcept>
#include <string_view>
#include <vector>

namespace paagent::tds::testing {

using Bytes = std::vector<std::uint8_t>;

// "ad 13 00" -> {0xad, 0x13, 0x00}; spaces are ignored.
inline Bytes hex(std::string_view digits)
{
    Bytes out;
    int pending = -1;
    for (char c : digits) {
        if (c == ' ')
            continue;
        int nibble = c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10;
        if (nibble < 0 || nibble > 15)
            throw std::invalid_argument("bad hex digit");
        if (pending < 0) {
            pending = nibble;
        } else {
            out.push_back(static_cast<std::uint8_t>(pending << 4 | nibble));
            pending = -1;
        }
    }
    return out;
}

inline Bytes text(std::string_view chars) { return Bytes(chars.begin(), chars.end()); }

inline Bytes operator+(Bytes left, const Bytes &right)
{
    left.insert(left.end(), right.begin(), right.end());
    return left;
}

}  // namespace paagent::tds::testing

#endif  // PAAGENT_TESTS_BYTES_H
