// Archive strings and numbers: the length forms, the wide form, and readers that never trust a
// length.
#include "document/Archive.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::vector<std::uint8_t> Encoded(const std::string& text)
{
    ArchiveWriter w;
    w.String(text);
    return w.Bytes();
}

TEST(ArchiveString, LengthPrefixForms)
{
    struct Case { std::size_t length; std::vector<std::uint8_t> prefix; };
    const Case cases[] = {
        {0, {0x00}},
        {254, {0xFE}},
        {255, {0xFF, 0xFF, 0x00}},
        {0xFFFD, {0xFF, 0xFD, 0xFF}},
        {0xFFFE, {0xFF, 0xFF, 0xFF, 0xFE, 0xFF, 0x00, 0x00}},
        {70000, {0xFF, 0xFF, 0xFF, 0x70, 0x11, 0x01, 0x00}},
    };
    for (const auto& c : cases) {
        const std::string text(c.length, 'a');
        const auto bytes = Encoded(text);
        ASSERT_EQ(bytes.size(), c.prefix.size() + c.length) << c.length;
        EXPECT_TRUE(std::equal(c.prefix.begin(), c.prefix.end(), bytes.begin())) << c.length;
        ArchiveReader r(bytes);
        EXPECT_EQ(r.String(), text) << c.length;
        EXPECT_EQ(r.Remaining(), 0u);
    }
}

TEST(ArchiveString, WideFormIsRead)
{
    // 0xFF 0xFFFE announces UTF-16; then a one-byte count of characters.
    const std::vector<std::uint8_t> bytes = {0xFF, 0xFE, 0xFF, 0x03, 'A', 0, 0xE9, 0, 0x3A, 0x26};
    ArchiveReader r(bytes);
    EXPECT_EQ(r.String(), std::string("A\xE9?"));
    EXPECT_TRUE(r.Ok());
}

TEST(ArchiveString, TruncatedInputFailsWithoutReadingPastTheEnd)
{
    const auto whole = Encoded(std::string(300, 'x'));
    for (std::size_t cut = 0; cut < whole.size(); ++cut) {
        ArchiveReader r(whole.data(), cut);
        EXPECT_FALSE(r.String().has_value()) << cut;
        EXPECT_FALSE(r.Ok());
    }
    // A 64-bit length of an absurd size is refused, not allocated.
    const std::vector<std::uint8_t> huge = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                            0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F};
    ArchiveReader r(huge);
    EXPECT_FALSE(r.String().has_value());
}

TEST(ArchiveNumbers, LittleEndianRoundTrip)
{
    ArchiveWriter w;
    w.U16(0x1234);
    w.I32(-2);
    w.F32(2.5f);
    EXPECT_EQ(w.Bytes(), (std::vector<std::uint8_t>{0x34, 0x12, 0xFE, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x20, 0x40}));
    ArchiveReader r(w.Bytes());
    EXPECT_EQ(r.U16(), 0x1234);
    EXPECT_EQ(r.I32(), -2);
    EXPECT_EQ(r.F32(), 2.5f);
    EXPECT_FALSE(r.U8().has_value());
}

} // namespace
