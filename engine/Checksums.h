// Frame checks of the serial framings: CRC-16/MODBUS for RTU, LRC for ASCII, and the hex digits
// ASCII frames are written in.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace pomrel {

namespace detail {
constexpr std::array<std::uint16_t, 256> MakeCrcTable()
{
    std::array<std::uint16_t, 256> table{};
    for (unsigned i = 0; i < 256; ++i) {
        std::uint16_t crc = static_cast<std::uint16_t>(i);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1u) ? static_cast<std::uint16_t>((crc >> 1) ^ 0xA001u) : static_cast<std::uint16_t>(crc >> 1);
        table[i] = crc;
    }
    return table;
}
inline constexpr auto kCrcTable = MakeCrcTable();

// Slicing by eight: table k gives the CRC of a byte followed by k zero bytes, so eight bytes are
// folded in with eight independent lookups instead of a chain of eight. On RTU over TCP the CRC
// of every request and answer was the largest cost the framing added.
constexpr std::array<std::array<std::uint16_t, 256>, 8> MakeSliceTables()
{
    std::array<std::array<std::uint16_t, 256>, 8> t{};
    t[0] = kCrcTable;
    for (std::size_t k = 1; k < t.size(); ++k)
        for (std::size_t i = 0; i < 256; ++i)
            t[k][i] = static_cast<std::uint16_t>((t[k - 1][i] >> 8) ^ kCrcTable[t[k - 1][i] & 0xFFu]);
    return t;
}
inline constexpr auto kCrcSlices = MakeSliceTables();
} // namespace detail

/// CRC-16 (reflected polynomial 0xA001, initial 0xFFFF); the wire carries the low byte first.
constexpr std::uint16_t Crc16(const std::uint8_t* data, std::size_t size)
{
    const auto& t = detail::kCrcSlices;
    std::uint16_t crc = 0xFFFF;
    std::size_t i = 0;
    for (; i + 8 <= size; i += 8) {
        const std::uint8_t* p = data + i;
        crc = static_cast<std::uint16_t>(t[7][(p[0] ^ crc) & 0xFFu] ^ t[6][(p[1] ^ (crc >> 8)) & 0xFFu] ^ t[5][p[2]] ^
                                         t[4][p[3]] ^ t[3][p[4]] ^ t[2][p[5]] ^ t[1][p[6]] ^ t[0][p[7]]);
    }
    for (; i < size; ++i)
        crc = static_cast<std::uint16_t>((crc >> 8) ^ detail::kCrcTable[(crc ^ data[i]) & 0xFFu]);
    return crc;
}

/// Longitudinal redundancy check: the two's complement of the byte sum.
constexpr std::uint8_t Lrc(const std::uint8_t* data, std::size_t size)
{
    std::uint8_t sum = 0;
    for (std::size_t i = 0; i < size; ++i)
        sum = static_cast<std::uint8_t>(sum + data[i]);
    return static_cast<std::uint8_t>(-sum);
}

/// The value of one hex digit of an ASCII frame (either case), or -1 for anything else.
constexpr int AsciiHexValue(std::uint8_t c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

} // namespace pomrel
