// Little-endian 32-bit values at fixed offsets of a byte record (the settings file, port
// settings, the 60-byte font record). ArchiveWriter/ArchiveReader cover sequential streams;
// these are for records whose fields sit at known positions. Header-only so that the plain
// readers built by fuzz/ need no extra source.
#pragma once

#include <cstdint>

inline void PutU32LE(std::uint8_t* p, std::uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

inline std::uint32_t GetU32LE(const std::uint8_t* p)
{
    std::uint32_t v = 0;
    for (int i = 0; i < 4; ++i)
        v |= static_cast<std::uint32_t>(p[i]) << (8 * i);
    return v;
}

inline void PutI32LE(std::uint8_t* p, std::int32_t v) { PutU32LE(p, static_cast<std::uint32_t>(v)); }

inline std::int32_t GetI32LE(const std::uint8_t* p) { return static_cast<std::int32_t>(GetU32LE(p)); }
