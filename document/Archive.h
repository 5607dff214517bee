// The little-endian archive encoding shared by document files, the alias file and test
// configurations. The reader never trusts a length: every read is checked against what is
// left, and the first short read puts the reader into a failed state for good.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

class ArchiveWriter {
public:
    void U8(std::uint8_t v) { bytes_.push_back(v); }
    void U16(std::uint16_t v);
    void U32(std::uint32_t v);
    void I32(std::int32_t v) { U32(static_cast<std::uint32_t>(v)); }
    void U64(std::uint64_t v);
    void F32(float v);
    void Raw(const void* data, std::size_t size);
    /// Byte form only: 1-byte length below 255, then 0xFF + 16-bit, 0xFFFF + 32-bit, + 64-bit.
    void String(const std::string& text);
    const std::vector<std::uint8_t>& Bytes() const { return bytes_; }

private:
    std::vector<std::uint8_t> bytes_;
};

class ArchiveReader {
public:
    ArchiveReader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    explicit ArchiveReader(const std::vector<std::uint8_t>& bytes) : ArchiveReader(bytes.data(), bytes.size()) {}

    bool Ok() const { return ok_; }
    std::size_t Position() const { return pos_; }
    std::size_t Remaining() const { return ok_ ? size_ - pos_ : 0; }

    std::optional<std::uint8_t> U8();
    std::optional<std::uint16_t> U16();
    std::optional<std::uint32_t> U32();
    std::optional<std::int32_t> I32();
    std::optional<std::uint64_t> U64();
    std::optional<float> F32();
    /// Copies `size` bytes or fails without copying.
    bool Raw(void* out, std::size_t size);
    /// Byte form and wide (UTF-16) form; the wide form through Windows-1252
    /// (AnsiText), a character without a byte there as '?'.
    std::optional<std::string> String();

private:
    bool Take(std::size_t n);
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
    bool ok_ = true;
};
