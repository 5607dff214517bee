#include "document/LogFont.h"

namespace {
void PutI32(std::uint8_t* p, std::int32_t v)
{
    auto u = static_cast<std::uint32_t>(v);
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<std::uint8_t>(u >> (8 * i));
}
std::int32_t GetI32(const std::uint8_t* p)
{
    std::uint32_t u = 0;
    for (int i = 0; i < 4; ++i)
        u |= static_cast<std::uint32_t>(p[i]) << (8 * i);
    return static_cast<std::int32_t>(u);
}
} // namespace

std::array<std::uint8_t, 60> LogFontToBytes(const LogFont& f)
{
    std::array<std::uint8_t, 60> b{};
    PutI32(&b[0], f.height);
    PutI32(&b[4], f.width);
    PutI32(&b[8], f.escapement);
    PutI32(&b[12], f.orientation);
    PutI32(&b[16], f.weight);
    b[20] = f.italic;
    b[21] = f.underline;
    b[22] = f.strikeOut;
    b[23] = f.charSet;
    b[24] = f.outPrecision;
    b[25] = f.clipPrecision;
    b[26] = f.quality;
    b[27] = f.pitchAndFamily;
    std::memcpy(&b[28], f.faceName, 32);
    return b;
}

LogFont LogFontFromBytes(const std::uint8_t* b)
{
    LogFont f;
    f.height = GetI32(&b[0]);
    f.width = GetI32(&b[4]);
    f.escapement = GetI32(&b[8]);
    f.orientation = GetI32(&b[12]);
    f.weight = GetI32(&b[16]);
    f.italic = b[20];
    f.underline = b[21];
    f.strikeOut = b[22];
    f.charSet = b[23];
    f.outPrecision = b[24];
    f.clipPrecision = b[25];
    f.quality = b[26];
    f.pitchAndFamily = b[27];
    std::memcpy(f.faceName, &b[28], 32);
    f.faceName[31] = '\0';   // a record without a terminator still yields a bounded name
    return f;
}
