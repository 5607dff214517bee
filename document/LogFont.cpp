#include "document/LogFont.h"

#include "document/ByteOrder.h"

std::array<std::uint8_t, 60> LogFontToBytes(const LogFont& f)
{
    std::array<std::uint8_t, 60> b{};
    PutI32LE(&b[0], f.height);
    PutI32LE(&b[4], f.width);
    PutI32LE(&b[8], f.escapement);
    PutI32LE(&b[12], f.orientation);
    PutI32LE(&b[16], f.weight);
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
    f.height = GetI32LE(&b[0]);
    f.width = GetI32LE(&b[4]);
    f.escapement = GetI32LE(&b[8]);
    f.orientation = GetI32LE(&b[12]);
    f.weight = GetI32LE(&b[16]);
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
