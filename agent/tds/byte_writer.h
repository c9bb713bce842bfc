// Little-endian byte builder with back-patched length prefixes.
#ifndef PAAGENT_TDS_BYTE_WRITER_H
#define PAAGENT_TDS_BYTE_WRITER_H

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace paagent::tds {

class ByteWriter {
public:
    void U8(std::uint8_t value) { out_.push_back(value); }
    void U16(std::uint16_t value) { LittleEndian(value, 2); }
    void U32(std::uint32_t value) { LittleEndian(value, 4); }
    void I32(std::int32_t value) { U32(static_cast<std::uint32_t>(value)); }
    void Bytes(std::span<const std::uint8_t> data) { out_.insert(out_.end(), data.begin(), data.end()); }
    void Text(std::string_view data) { out_.insert(out_.end(), data.begin(), data.end()); }

    // Reserves a 2-byte length; end_length16 fills in the number of bytes written after it.
    std::size_t BeginLength16();
    void EndLength16(std::size_t at);

    std::size_t Size() const { return out_.size(); }
    const std::vector<std::uint8_t> &Data() const { return out_; }

private:
    void LittleEndian(std::uint64_t value, std::size_t width);

    std::vector<std::uint8_t> out_;
};

}  // namespace paagent::tds

#endif  // PAAGENT_TDS_BYTE_WRITER_H
