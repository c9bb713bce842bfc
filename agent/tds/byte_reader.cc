#include "tds/byte_reader.h"

#include "tds/errors.h"

namespace paagent::tds {

std::span<const std::uint8_t> ByteReader::Bytes(std::size_t count)
{
    if (count > Remaining()) {
        throw ProtocolError("truncated data: " + std::to_string(count) + " bytes needed at offset " +
                            std::to_string(pos_) + ", " + std::to_string(Remaining()) + " left");
    }
    auto out = data_.subspan(pos_, count);
    pos_ += count;
    return out;
}

std::uint64_t ByteReader::LittleEndian(std::size_t width)
{
    std::uint64_t value = 0;
    auto raw            = Bytes(width);
    for (std::size_t i = 0; i < width; ++i) {
        value |= std::uint64_t{raw[i]} << (8 * i);
    }
    return value;
}

std::uint8_t ByteReader::U8() { return static_cast<std::uint8_t>(LittleEndian(1)); }
std::uint16_t ByteReader::U16() { return static_cast<std::uint16_t>(LittleEndian(2)); }
std::uint32_t ByteReader::U32() { return static_cast<std::uint32_t>(LittleEndian(4)); }

std::string ByteReader::Text(std::size_t count)
{
    auto raw = Bytes(count);
    return std::string(raw.begin(), raw.end());
}

void ByteReader::ExpectEnd(const char *what) const
{
    if (!Empty()) {
        throw ProtocolError(std::string(what) + ": " + std::to_string(Remaining()) + " unexpected trailing bytes");
    }
}

}  // namespace paagent::tds
