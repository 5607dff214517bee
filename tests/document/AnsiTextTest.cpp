// Stored text is Windows-1252: the conversion both ways, what it refuses, and wide archive strings.
#include "document/AnsiText.h"
#include "document/Archive.h"

#include <gtest/gtest.h>

namespace {

TEST(AnsiText, EveryByteRoundTripsAndKnownCharactersMap)
{
    for (int b = 0; b <= 0xFF; ++b) {
        const std::string bytes(1, static_cast<char>(b));
        EXPECT_EQ(ansi::FromUtf8(ansi::ToUtf8(bytes)), bytes) << b;
    }
    // Expected values from the published code page, not from the code.
    struct Case { const char* utf8; const char* bytes; };
    const Case cases[] = {
        {"\u20AC", "\x80"}, {"\u201A", "\x82"}, {"\u0192", "\x83"}, {"\u2026", "\x85"}, {"\u02C6", "\x88"},
        {"\u0160", "\x8A"}, {"\u017D", "\x8E"}, {"\u2018", "\x91"}, {"\u2014", "\x97"}, {"\u2122", "\x99"},
        {"\u0178", "\x9F"}, {"\u00B0", "\xB0"}, {"\u00B3", "\xB3"}, {"\u00E9", "\xE9"}, {"\u00FF", "\xFF"},
        {"Temp\u00B0C", "Temp\xB0" "C"}, {"", ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ansi::FromUtf8(c.utf8), c.bytes) << c.utf8;
        EXPECT_EQ(ansi::ToUtf8(c.bytes), c.utf8) << c.utf8;
    }
}

TEST(AnsiText, CharactersWithoutAByteAreRefusedAndNamed)
{
    struct Case { const char* utf8; char32_t refused; };
    const Case cases[] = {
        {"Flow \u03A9", 0x03A9},
        {"\u0080", 0x0080},            // 0x80 is the euro sign, not U+0080
        {"a\U0001F600", 0x1F600},
        {"\xC3", 0xFFFD},              // cut UTF-8
        {"\xC0\xB0", 0xFFFD},          // overlong
        {"\xED\xA0\x80", 0xFFFD},      // a surrogate
    };
    for (const Case& c : cases) {
        char32_t refused = 0;
        EXPECT_FALSE(ansi::FromUtf8(c.utf8, &refused).has_value()) << c.utf8;
        EXPECT_EQ(refused, c.refused) << c.utf8;
    }
    EXPECT_EQ(ansi::Describe(0x03A9), "U+03A9 '\u03A9'");
}

// Wide strings in files: each character through the same code page; one without a byte is '?'.
TEST(AnsiText, WideArchiveStringsGoThroughTheCodePage)
{
    // 0xFF 0xFFFE announces UTF-16, then a one-byte count of characters.
    const std::vector<std::uint8_t> bytes = {0xFF, 0xFE, 0xFF, 0x06, 0xAC, 0x20, 0xB0, 0x00, 'C', 0,
                                             0xA9, 0x03, 0x3D, 0xD8, 0x00, 0xDE};
    ArchiveReader r(bytes);
    EXPECT_EQ(r.String(), std::string("\x80\xB0" "C??"));
    EXPECT_TRUE(r.Ok());
}

} // namespace
