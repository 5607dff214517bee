#include "document/AnsiText.h"

#include <cstdio>

namespace ansi {

namespace {

// 0x80..0x9F; the rest of the code page is Latin-1.
constexpr char16_t kHigh[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

void AppendUtf8(std::string& out, char32_t c)
{
    if (c < 0x80) {
        out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (c >> 6)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (c >> 12)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (c >> 18)));
        out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
}

// One character from `s` at `i` (advanced past it); nullopt for a malformed sequence.
std::optional<char32_t> NextUtf8(std::string_view s, std::size_t& i)
{
    const auto lead = static_cast<unsigned char>(s[i++]);
    if (lead < 0x80)
        return lead;
    int more;
    char32_t c;
    char32_t least;
    if ((lead & 0xE0) == 0xC0) { more = 1; c = lead & 0x1F; least = 0x80; }
    else if ((lead & 0xF0) == 0xE0) { more = 2; c = lead & 0x0F; least = 0x800; }
    else if ((lead & 0xF8) == 0xF0) { more = 3; c = lead & 0x07; least = 0x10000; }
    else return std::nullopt;
    for (int k = 0; k < more; ++k) {
        if (i >= s.size() || (static_cast<unsigned char>(s[i]) & 0xC0) != 0x80)
            return std::nullopt;
        c = (c << 6) | (static_cast<unsigned char>(s[i++]) & 0x3F);
    }
    if (c < least || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))
        return std::nullopt;
    return c;
}

} // namespace

char16_t ToUnicode(unsigned char byte)
{
    return byte >= 0x80 && byte <= 0x9F ? kHigh[byte - 0x80] : static_cast<char16_t>(byte);
}

std::optional<unsigned char> FromUnicode(char32_t c)
{
    if (c < 0x80 || (c >= 0xA0 && c <= 0xFF))
        return static_cast<unsigned char>(c);
    for (unsigned k = 0; k < 32; ++k)
        if (kHigh[k] == c)
            return static_cast<unsigned char>(0x80 + k);
    return std::nullopt;
}

std::u16string ToUtf16(std::string_view bytes)
{
    std::u16string out;
    out.reserve(bytes.size());
    for (char b : bytes)
        out.push_back(ToUnicode(static_cast<unsigned char>(b)));
    return out;
}

std::string ToUtf8(std::string_view bytes)
{
    std::string out;
    out.reserve(bytes.size());
    for (char b : bytes)
        AppendUtf8(out, ToUnicode(static_cast<unsigned char>(b)));
    return out;
}

bool SameAsLatin1(std::string_view bytes)
{
    for (char b : bytes) {
        const auto u = static_cast<unsigned char>(b);
        if (u >= 0x80 && u <= 0x9F)
            return false;
    }
    return true;
}

std::optional<std::string> FromUtf8(std::string_view utf8, char32_t* refused)
{
    std::string out;
    out.reserve(utf8.size());
    for (std::size_t i = 0; i < utf8.size();) {
        const auto c = NextUtf8(utf8, i);
        const auto byte = c ? FromUnicode(*c) : std::nullopt;
        if (!byte) {
            if (refused)
                *refused = c.value_or(0xFFFD);
            return std::nullopt;
        }
        out.push_back(static_cast<char>(*byte));
    }
    return out;
}

std::string FromUtf16Lossy(std::u16string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        char32_t c = text[i];
        // A surrogate pair is one character, and one '?'.
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF)
            ++i, c = 0x10000;
        const auto byte = FromUnicode(c);
        out.push_back(byte ? static_cast<char>(*byte) : '?');
    }
    return out;
}

std::string Describe(char32_t c)
{
    char code[16];
    std::snprintf(code, sizeof code, "U+%04X", static_cast<unsigned>(c));
    std::string text = code;
    if (c >= 0x20 && c != 0x7F && !(c >= 0x80 && c <= 0x9F) && c != 0xFFFD) {
        text += " '";
        AppendUtf8(text, c);
        text += "'";
    }
    return text;
}

} // namespace ansi
