#include "tds/byte_reader.h"

#include "tds/errors.h"

namespace paagent::tds {

std::span<const std::uint8_t> ByteReader::bytes(std::size_t count)
{
    if (count > remaining()) {
        throw ProtocolError("truncated data: " + std::to_string(count) + " bytes needed at offset " +
                            std::to_string(pos_) + ", " + std::to_string(remaining()) + " left");
    }
    auto out = data_.subspan(pos_, count);
    pos_ += count;
    return out;
}

std::uint64_t ByteReader::little_endian(std::size_t width)
{
    std::uint64_t value = 0;
    auto raw            = bytes(width);
    for (std::size_t i = 0; i < width; ++i) {
        value |= std::uint64_t{raw[i]} << (8 * i);
    }
    return value;
}

std::uint8_t ByteReader::u8() { return static_cast<std::uint8_t>(little_endian(1)); }
std::uint16_t ByteReader::u16() { return static_cast<std::uint16_t>(little_endian(2)); }
std::uint32_t ByteReader::u32() { return static_cast<std::uint32_t>(little_endian(4)); }

std::string ByteReader::text(std::size_t count)
{
    auto raw = bytes(count);
    return std::string(raw.begin(), raw.end());
}

void ByteReader::expect_end(const char *what) const
{
    if (!empty()) {
        throw ProtocolError(std::string(what) + ": " + std::to_string(remaining()) + " unexpected trailing bytes");
    }
}

}  // namespace paagent::tds
