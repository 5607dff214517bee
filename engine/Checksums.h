// Frame checks of the serial framings: CRC-16/MODBUS for RTU, LRC for ASCII.
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
} // namespace detail

/// CRC-16 (reflected polynomial 0xA001, initial 0xFFFF); the wire carries the low byte first.
constexpr std::uint16_t Crc16(const std::uint8_t* data, std::size_t size)
{
    std::uint16_t crc = 0xFFFF;
    for (std::size_t i = 0; i < size; ++i)
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

} // namespace pomrel
