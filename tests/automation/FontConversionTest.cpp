// LogFont <-> QFont: what the views draw with, and what the files keep.
#include "document/FontConversion.h"
#include "document/LogFont.h"

#include <QFontDatabase>
#include <QFontInfo>
#include <QFontMetrics>
#include <gtest/gtest.h>

#include <cstring>
#include <limits>

namespace {

LogFont Face(const char* name) {
    LogFont f;
    std::memset(f.faceName, 0, sizeof f.faceName);
    std::strncpy(f.faceName, name, sizeof f.faceName - 1);
    return f;
}

}  // namespace

TEST(FontConversion, DefaultRecordIsThirteenPixelFixedPitch) {
    const QFont font = FontFromLogFont(LogFont{});
    EXPECT_EQ(font.pixelSize(), 13);
    EXPECT_EQ(font.weight(), 400);
    EXPECT_EQ(font.family(), "Courier");
    EXPECT_FALSE(font.italic());
    const QFontInfo info(font);
    EXPECT_TRUE(info.fixedPitch()) << info.family().toStdString();
    const QFontMetrics metrics(font);
    EXPECT_EQ(metrics.horizontalAdvance("iiii"), metrics.horizontalAdvance("WWWW"));
}

TEST(FontConversion, MissingFaceFallsBackToSystemFixedFamily) {
    const QFont font = FontFromLogFont(Face("No Such Face Kelvaro"));
    EXPECT_EQ(font.family(), "No Such Face Kelvaro");   // kept for the round trip
    EXPECT_TRUE(QFontInfo(font).fixedPitch());
}

TEST(FontConversion, FieldsMapOneToOne) {
    struct Case { std::int32_t height; std::int32_t weight; bool italic, underline, strike; int pixels; int qtWeight; };
    const Case cases[] = {
        {-13, 400, false, false, false, 13, 400},
        {-20, 700, true, false, false, 20, 700},
        {-8, 100, false, true, true, 8, 100},
        {16, 900, false, false, false, 16, 900},   // cell height: nearest request
        {0, 0, false, false, false, 13, 400},     // "don't care" height and weight
        {std::numeric_limits<std::int32_t>::min(), 5000, false, false, false, 512, 1000},   // damaged file
    };
    for (const Case& c : cases) {
        LogFont lf = Face("DejaVu Sans");
        lf.height = c.height;
        lf.weight = c.weight;
        lf.italic = c.italic;
        lf.underline = c.underline;
        lf.strikeOut = c.strike;
        const QFont font = FontFromLogFont(lf);
        SCOPED_TRACE(c.height);
        EXPECT_EQ(font.pixelSize(), c.pixels);
        EXPECT_EQ(font.weight(), c.qtWeight);
        EXPECT_EQ(font.italic(), c.italic);
        EXPECT_EQ(font.underline(), c.underline);
        EXPECT_EQ(font.strikeOut(), c.strike);
    }
}

TEST(FontConversion, ChosenFontSurvivesStoredRoundTrip) {
    // What the font dialog hands back: a point-size font of a real family.
    QFont mono("DejaVu Sans Mono");
    mono.setPointSize(10);
    QFont sansBold("DejaVu Sans");
    sansBold.setPointSize(14);
    sansBold.setWeight(QFont::Bold);
    sansBold.setItalic(true);
    QFont serif("DejaVu Serif");
    serif.setPixelSize(22);
    for (const QFont& chosen : {mono, sansBold, serif}) {
        SCOPED_TRACE(chosen.toString().toStdString());
        const LogFont stored = LogFontFromQFont(chosen);
        EXPECT_EQ(stored.height, -QFontInfo(chosen).pixelSize());
        const auto bytes = LogFontToBytes(stored);
        const LogFont reread = LogFontFromBytes(bytes.data());
        EXPECT_EQ(reread, stored);
        const QFont drawn = FontFromLogFont(reread);
        EXPECT_EQ(QFontInfo(drawn).family(), QFontInfo(chosen).family());
        EXPECT_EQ(QFontInfo(drawn).pixelSize(), QFontInfo(chosen).pixelSize());
        EXPECT_EQ(drawn.weight(), chosen.weight());
        EXPECT_EQ(drawn.italic(), chosen.italic());
        // A second pass changes nothing: the record is the canonical form.
        EXPECT_EQ(LogFontFromQFont(drawn), stored);
    }
}

TEST(FontConversion, DefaultRecordIsStableThroughQFont) {
    EXPECT_EQ(LogFontFromQFont(FontFromLogFont(LogFont{})), LogFont{});
}

TEST(FontConversion, DialogSeedIsAResolvedFamilyInPoints) {
    const QFont seed = DialogFontFromLogFont(LogFont{});
    EXPECT_TRUE(QFontDatabase::hasFamily(seed.family())) << seed.family().toStdString();
    EXPECT_EQ(seed.pixelSize(), -1);
    EXPECT_DOUBLE_EQ(seed.pointSizeF(), 9.75);
    EXPECT_EQ(LogFontFromQFont(seed).height, -13);
}
