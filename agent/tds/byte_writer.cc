#include "tds/byte_writer.h"

#include <stdexcept>

namespace paagent::tds {

void ByteWriter::LittleEndian(std::uint64_t value, std::size_t width)
{
    for (std::size_t i = 0; i < width; ++i) {
        out_.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
    }
}

std::size_t ByteWriter::BeginLength16()
{
    std::size_t at = out_.size();
    U16(0);
    return at;
}

void ByteWriter::EndLength16(std::size_t at)
{
    std::size_t length = out_.size() - at - 2;
    if (length > 0xFFFF) {
        throw std::length_error("token body exceeds 65535 bytes");
    }
    out_[at]     = static_cast<std::uint8_t>(length);
    out_[at + 1] = static_cast<std::uint8_t>(length >> 8);
}

}  // namespace paagent::tds
