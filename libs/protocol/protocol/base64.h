// Base64 (RFC 4648, with padding) for the output rows, whose text columns must carry any bytes
// through the character conversions between agent and client. Allocation free: the caller
// gives the room.
#ifndef AGENTCLIENT_PROTOCOL_BASE64_H
#define AGENTCLIENT_PROTOCOL_BASE64_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace pa::protocol {

inline constexpr std::string_view kBase64Alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// The length of the text that encodes bytes bytes, and the most bytes a text of length decodes to.
constexpr std::size_t Base64EncodedLength(std::size_t bytes) { return (bytes + 2) / 3 * 4; }
constexpr std::size_t Base64DecodedRoom(std::size_t length) { return length / 4 * 3; }

// Writes the Base64EncodedLength(bytes.size()) characters that encode bytes to out.
inline void Base64Encode(std::string_view bytes, char *out)
{
    std::size_t at = 0;
    for (; at + 3 <= bytes.size(); at += 3) {
        const std::uint32_t group = static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[at])) << 16 |
                                    static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[at + 1])) << 8 |
                                    static_cast<unsigned char>(bytes[at + 2]);
        *out++ = kBase64Alphabet[group >> 18];
        *out++ = kBase64Alphabet[group >> 12 & 63];
        *out++ = kBase64Alphabet[group >> 6 & 63];
        *out++ = kBase64Alphabet[group & 63];
    }
    if (const std::size_t rest = bytes.size() - at; rest > 0) {
        std::uint32_t group = static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[at])) << 16;
        if (rest == 2) {
            group |= static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[at + 1])) << 8;
        }
        *out++ = kBase64Alphabet[group >> 18];
        *out++ = kBase64Alphabet[group >> 12 & 63];
        *out++ = rest == 2 ? kBase64Alphabet[group >> 6 & 63] : '=';
        *out   = '=';
    }
}

// Decodes text into out, which has room for Base64DecodedRoom(text.size()) bytes, and stores
// the decoded length. False for a text that is not base64 (a length not a multiple of four, a
// character outside the alphabet, padding anywhere but at the end).
inline constexpr std::uint8_t kBase64Invalid = 0xFF;

inline bool Base64Decode(std::string_view text, char *out, std::size_t *length)
{
    constexpr std::uint8_t kInvalid = kBase64Invalid;
    constexpr auto kValues          = [] {
        std::array<std::uint8_t, 256> values{};
        values.fill(kBase64Invalid);
        for (std::size_t k = 0; k < kBase64Alphabet.size(); ++k) {
            values[static_cast<unsigned char>(kBase64Alphabet[k])] = static_cast<std::uint8_t>(k);
        }
        return values;
    }();
    if (text.size() % 4 != 0) {
        return false;
    }
    std::size_t written = 0;
    for (std::size_t at = 0; at < text.size(); at += 4) {
        const bool last        = at + 4 == text.size();
        const std::size_t pads = last ? (text[at + 3] == '=') + (text[at + 2] == '=' && text[at + 3] == '=') : 0;
        std::uint32_t group    = 0;
        for (std::size_t k = 0; k < 4; ++k) {
            const std::uint8_t value = k < 4 - pads ? kValues[static_cast<unsigned char>(text[at + k])] : 0;
            if (value == kInvalid) {
                return false;
            }
            group = group << 6 | value;
        }
        out[written++] = static_cast<char>(group >> 16);
        if (pads < 2) {
            out[written++] = static_cast<char>(group >> 8 & 0xFF);
        }
        if (pads < 1) {
            out[written++] = static_cast<char>(group & 0xFF);
        }
    }
    *length = written;
    return true;
}

}  // namespace pa::protocol

#endif
