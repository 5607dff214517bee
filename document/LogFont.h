// The stored form of a display font and of colours: byte-exact as in every file that holds them.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>

/// 0x00BBGGRR: red in the low byte.
using Colour = std::uint32_t;

/// 60-byte font record as the settings file, document files and test configurations hold it.
struct LogFont {
    std::int32_t height = -13;
    std::int32_t width = 0;
    std::int32_t escapement = 0;
    std::int32_t orientation = 0;
    std::int32_t weight = 400;
    std::uint8_t italic = 0;
    std::uint8_t underline = 0;
    std::uint8_t strikeOut = 0;
    std::uint8_t charSet = 0;
    std::uint8_t outPrecision = 1;
    std::uint8_t clipPrecision = 2;
    std::uint8_t quality = 1;
    std::uint8_t pitchAndFamily = 0x31;   // fixed pitch, modern family
    char faceName[32] = "Courier";

    bool operator==(const LogFont& other) const { return std::memcmp(this, &other, sizeof *this) == 0; }
};
static_assert(sizeof(LogFont) == 60, "LogFont is the 60-byte stored record");

/// Little-endian bytes of a LogFont, and back (the host may be big-endian one day).
std::array<std::uint8_t, 60> LogFontToBytes(const LogFont& font);
LogFont LogFontFromBytes(const std::uint8_t* bytes);

/// The look a new data window starts with.
struct DisplayDefaults {
    LogFont font;
    Colour foreground = 0x000000;
    Colour background = 0xC0C0C0;
    Colour third = 0x0000FF;   // kept and saved; nothing draws with it
};
