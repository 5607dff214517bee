#include "document/Archive.h"

#include "document/AnsiText.h"

#include <cstring>

void ArchiveWriter::U16(std::uint16_t v)
{
    U8(static_cast<std::uint8_t>(v));
    U8(static_cast<std::uint8_t>(v >> 8));
}

void ArchiveWriter::U32(std::uint32_t v)
{
    U16(static_cast<std::uint16_t>(v));
    U16(static_cast<std::uint16_t>(v >> 16));
}

void ArchiveWriter::U64(std::uint64_t v)
{
    U32(static_cast<std::uint32_t>(v));
    U32(static_cast<std::uint32_t>(v >> 32));
}

void ArchiveWriter::F32(float v)
{
    std::uint32_t bits;
    std::memcpy(&bits, &v, 4);
    U32(bits);
}

void ArchiveWriter::Raw(const void* data, std::size_t size)
{
    auto p = static_cast<const std::uint8_t*>(data);
    bytes_.insert(bytes_.end(), p, p + size);
}

void ArchiveWriter::String(const std::string& text)
{
    const std::uint64_t n = text.size();
    if (n < 0xFF) {
        U8(static_cast<std::uint8_t>(n));
    } else {
        U8(0xFF);
        if (n < 0xFFFE) {
            U16(static_cast<std::uint16_t>(n));
        } else {
            U16(0xFFFF);
            if (n < 0xFFFFFFFFull) {
                U32(static_cast<std::uint32_t>(n));
            } else {
                U32(0xFFFFFFFFu);
                U64(n);
            }
        }
    }
    Raw(text.data(), text.size());
}

bool ArchiveReader::Take(std::size_t n)
{
    if (!ok_ || size_ - pos_ < n) {
        ok_ = false;
        return false;
    }
    return true;
}

std::optional<std::uint8_t> ArchiveReader::U8()
{
    if (!Take(1))
        return std::nullopt;
    return data_[pos_++];
}

std::optional<std::uint16_t> ArchiveReader::U16()
{
    if (!Take(2))
        return std::nullopt;
    std::uint16_t v = static_cast<std::uint16_t>(data_[pos_] | (data_[pos_ + 1] << 8));
    pos_ += 2;
    return v;
}

std::optional<std::uint32_t> ArchiveReader::U32()
{
    if (!Take(4))
        return std::nullopt;
    std::uint32_t v = 0;
    for (int i = 0; i < 4; ++i)
        v |= static_cast<std::uint32_t>(data_[pos_ + i]) << (8 * i);
    pos_ += 4;
    return v;
}

std::optional<std::int32_t> ArchiveReader::I32()
{
    auto v = U32();
    if (!v)
        return std::nullopt;
    return static_cast<std::int32_t>(*v);
}

std::optional<std::uint64_t> ArchiveReader::U64()
{
    auto lo = U32();
    auto hi = lo ? U32() : std::nullopt;
    if (!hi)
        return std::nullopt;
    return (static_cast<std::uint64_t>(*hi) << 32) | *lo;
}

std::optional<float> ArchiveReader::F32()
{
    auto bits = U32();
    if (!bits)
        return std::nullopt;
    float v;
    std::memcpy(&v, &*bits, 4);
    return v;
}

bool ArchiveReader::Raw(void* out, std::size_t size)
{
    if (!Take(size))
        return false;
    std::memcpy(out, data_ + pos_, size);
    pos_ += size;
    return true;
}

std::optional<std::string> ArchiveReader::String()
{
    // Length prefix: 8 bits, then escalating to 16, 32 and 64; 0xFFFE in the 16-bit slot
    // announces the wide form, whose own length follows with the same scheme.
    bool wide = false;
    std::uint64_t n = 0;
    for (int pass = 0; pass < 2; ++pass) {
        auto b = U8();
        if (!b)
            return std::nullopt;
        n = *b;
        if (n == 0xFF) {
            auto w = U16();
            if (!w)
                return std::nullopt;
            if (*w == 0xFFFE && !wide) {
                wide = true;
                continue;
            }
            n = *w;
            if (n == 0xFFFF) {
                auto d = U32();
                if (!d)
                    return std::nullopt;
                n = *d;
                if (n == 0xFFFFFFFFu) {
                    auto q = U64();
                    if (!q)
                        return std::nullopt;
                    n = *q;
                }
            }
        }
        break;
    }
    const std::uint64_t bytes = wide ? n * 2 : n;
    if ((wide && n > (Remaining() / 2)) || bytes > Remaining()) {
        ok_ = false;
        return std::nullopt;
    }
    std::string text;
    if (!wide) {
        text.assign(reinterpret_cast<const char*>(data_ + pos_), static_cast<std::size_t>(n));
    } else {
        std::u16string wideText;
        wideText.reserve(static_cast<std::size_t>(n));
        for (std::uint64_t i = 0; i < n; ++i)
            wideText.push_back(static_cast<char16_t>(data_[pos_ + 2 * i] | (data_[pos_ + 2 * i + 1] << 8)));
        text = ansi::FromUtf16Lossy(wideText);
    }
    pos_ += static_cast<std::size_t>(bytes);
    return text;
}
