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

    std::uint8_t U8();
    std::uint16_t U16();
    std::uint32_t U32();
    std::span<const std::uint8_t> Bytes(std::size_t count);
    std::string Text(std::size_t count);
    void Skip(std::size_t count) { Bytes(count); }

    // Splits off the next `count` bytes as an independent reader (a length-prefixed token body).
    ByteReader Sub(std::size_t count) { return ByteReader(Bytes(count)); }

    std::size_t Remaining() const { return data_.size() - pos_; }
    bool Empty() const { return Remaining() == 0; }

    // Raises ProtocolError naming `what` unless every byte was consumed.
    void ExpectEnd(const char *what) const;

private:
    std::uint64_t LittleEndian(std::size_t width);

    std::span<const std::uint8_t> data_;
    std::size_t pos_ = 0;
};

}  // namespace paagent::tds

#endif  // PAAGENT_TDS_BYTE_READER_H
