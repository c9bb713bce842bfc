// Bounds-checked little-endian reader over a byte span; every overrun raises ProtocolError.
#ifndef PAAGENT_TDS_BYTE_READER_H
#define PAAGENT_TDS_BYTE_READER_H

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace paagent::tds {

class ByteReader {
public:
    explicit ByteReader(std::span<const std::uint8_t> data) : data_(data) {}

    std::uint8_t u8();
    std::uint16_t u16();
    std::uint32_t u32();
    std::span<const std::uint8_t> bytes(std::size_t count);
    std::string text(std::size_t count);
    void skip(std::size_t count) { bytes(count); }

    // Splits off the next `count` bytes as an independent reader (a length-prefixed token body).
    ByteReader sub(std::size_t count) { return ByteReader(bytes(count)); }

    std::size_t remaining() const { return data_.size() - pos_; }
    bool empty() const { return remaining() == 0; }

    // Raises ProtocolError naming `what` unless every byte was consumed.
    void expect_end(const char *what) const;

private:
    std::uint64_t little_endian(std::size_t width);

    std::span<const std::uint8_t> data_;
    std::size_t pos_ = 0;
};

}  // namespace paagent::tds

#endif  // PAAGENT_TDS_BYTE_READER_H
