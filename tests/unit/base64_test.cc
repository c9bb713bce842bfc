// The output rows' encoding: every byte value and every padding length round trip, and what
// is not base64 is refused rather than decoded into wrong bytes.
#include <protocol/base64.h>

#include <gtest/gtest.h>

#include <string>

namespace {

using pa::protocol::Base64Decode;
using pa::protocol::Base64DecodedRoom;
using pa::protocol::Base64Encode;
using pa::protocol::Base64EncodedLength;

std::string Encoded(const std::string &bytes)
{
    std::string text(Base64EncodedLength(bytes.size()), '?');
    Base64Encode(bytes, text.data());
    return text;
}

TEST(Base64, KnownTextsAndEveryByteRoundTrip)
{
    struct Case {
        std::string bytes;
        std::string text;
    };
    std::string every_byte;
    for (int value = 0; value < 256; ++value) {
        every_byte.push_back(static_cast<char>(value));
    }
    const Case cases[] = {
        {"", ""},
        {"f", "Zg=="},
        {"fo", "Zm8="},
        {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="},
        {std::string("\0\xff", 2), "AP8="},
        {every_byte, Encoded(every_byte)},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(Encoded(c.bytes), c.text);
        std::string decoded(Base64DecodedRoom(c.text.size()), '\0');
        std::size_t length = 0;
        ASSERT_TRUE(Base64Decode(c.text, decoded.data(), &length)) << c.text;
        decoded.resize(length);
        EXPECT_EQ(decoded, c.bytes) << c.text;
    }
}

TEST(Base64, WhatIsNotBase64IsRefused)
{
    for (const char *text : {"Zg=", "Zg", "Z===", "Zm9v\n", "Zg==Zg==", "Zm 9", "=Zm9"}) {
        char room[16];
        std::size_t length = 0;
        EXPECT_FALSE(Base64Decode(text, room, &length)) << text;
    }
}

}  // namespace
