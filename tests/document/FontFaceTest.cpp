// Font face names in the stored 60-byte record are Windows-1252 bytes, as every stored text.
#include "document/FontConversion.h"
#include "document/LogFont.h"

#include <QFont>
#include <gtest/gtest.h>

#include <cstring>

namespace {

LogFont WithFace(const char* bytes)
{
    LogFont f;
    std::memset(f.faceName, 0, sizeof f.faceName);
    std::strncpy(f.faceName, bytes, sizeof f.faceName - 1);
    return f;
}

} // namespace

TEST(FontFace, StoredAsWindows1252BytesBothWays)
{
    const struct {
        const char* stored;     // the record's bytes
        const char16_t* face;   // the family Qt is asked for
    } cases[] = {
        {"\x80uro Mono", u"€uro Mono"},        // 0x80 is '€' (Latin-1 would make it a C1 control)
        {"\x8Cuvre Sans", u"Œuvre Sans"},      // 0x8C is 'Œ'
        {"Caf\xE9 Mono", u"Café Mono"},         // the bytes Latin-1 shares with it
        {"DejaVu Sans Mono", u"DejaVu Sans Mono"},
    };
    for (const auto& c : cases) {
        const QString face = QString::fromUtf16(c.face);
        EXPECT_EQ(FontFromLogFont(WithFace(c.stored)).family(), face) << c.stored;
        QFont font(face);
        font.setPixelSize(13);
        const LogFont stored = LogFontFromQFont(font);
        EXPECT_STREQ(stored.faceName, c.stored) << face.toStdString();
        // And round again through the bytes of a file.
        const auto bytes = LogFontToBytes(stored);
        EXPECT_EQ(FontFromLogFont(LogFontFromBytes(bytes.data())).family(), face);
    }
}

TEST(FontFace, AFamilyWithoutABytePutsAQuestionMarkAndStaysInTheRecord)
{
    QFont font(QString::fromUtf16(u"Ω Mono ") + QString(40, 'x'));
    const LogFont stored = LogFontFromQFont(font);
    EXPECT_EQ(stored.faceName[0], '?');
    EXPECT_EQ(std::strlen(stored.faceName), sizeof stored.faceName - 1);   // cut, still terminated
}
