// Value texts, labels and the word order shared with editing, CSV import and simulation.
#include "document/AliasTable.h"
#include "document/CKelvaro32Doc.h"
#include "view/ValueFormat.h"

#include <bit>
#include <cmath>
#include <initializer_list>
#include <limits>
#include <gtest/gtest.h>

using namespace valuefmt;
using namespace regval;

namespace {

struct Block {
    int type = 3;
    unsigned start = 1;
    int length = 100;
};

std::unique_ptr<CKelvaro32Doc> MakeDoc(Block b, std::initializer_list<std::uint16_t> words = {})
{
    auto doc = std::make_unique<CKelvaro32Doc>(DocumentContext{});
    doc->pointType = static_cast<std::uint8_t>(b.type);
    doc->startAddress = static_cast<std::uint16_t>(b.start);
    doc->length = static_cast<std::uint16_t>(b.length);
    int i = 0;
    for (std::uint16_t w : words)
        doc->SetWord(i++, w);
    return doc;
}

void PutDouble(CKelvaro32Doc& doc, int reg, double v) { WriteDouble(doc, reg, v, kFloat64); }

} // namespace

TEST(ValueText, OneRegisterFormatsAndCoils)
{
    struct Case { int type; int format; std::uint16_t v; const char* text; };
    const Case cases[] = {
        {1, kDecimal, 0, " <0>"},
        {1, kHex, 1, " <1>"},
        {2, kFloat, 300, " <1>"},
        {3, kDecimal, 0, " <00000>"},
        {3, kDecimal, 42, " <00042>"},
        {4, kDecimal, 65535, " <65535>"},
        {3, kHex, 255, " <00FFH>"},
        {3, kHex, 0xABCD, " <ABCDH>"},
        {3, kBinary, 5, " <0000000000000101>"},
        {3, kBinary, 0x8001, " <1000000000000001>"},
        {3, kEnronFloat, 7, " <00007>"}, // left over from an ENRON range: shown as Decimal
        {3, kEnronLong, 7, " <00007>"},
    };
    for (const Case& c : cases) {
        auto doc = MakeDoc({c.type, 1, 10}, {c.v});
        int format = c.format;
        EXPECT_EQ(ValueText(*doc, 0, format, false), c.text) << "type " << c.type << " format " << c.format;
        EXPECT_EQ(format, c.format);
    }
}

TEST(ValueText, MultiRegisterValuesAndTheirBlankPoints)
{
    struct Case { int format; int length; std::vector<std::uint16_t> words; std::vector<const char*> texts; };
    const Case cases[] = {
        {kFloat, 5, {0x0000, 0x3F80, 0x0000, 0xC000, 0x1234}, {"  1.0000", "", "  -2.0000", "", ""}},
        {kFloatSwapped, 4, {0x3F80, 0x0000, 0x0000, 0x3F80}, {"  1.0000", "", "  0.0000", ""}},
        {kLong, 4, {0xFFFF, 0xFFFF, 0x0001, 0x0000}, {"  -1", "", "  1", ""}},
        {kLongSwapped, 3, {0x0001, 0x0000, 0x0005}, {"  65536", "", ""}},
        // 1.0 as a double is 0x3FF0000000000000
        {kFloat64, 6, {0, 0, 0, 0x3FF0, 0, 0}, {"  1.0000", "", "", "", "", ""}},
        {kFloat64, 7, {0, 0, 0, 0x3FF0, 0, 0, 0}, {"  1.0000", "", "", "", "", "", ""}},
        {kFloat64, 8, {0, 0, 0, 0x3FF0, 0, 0, 0, 0x4000}, {"  1.0000", "", "", "", "  2.0000", "", "", ""}},
        {kFloat64Swapped, 4, {0x3FF0, 0, 0, 0}, {"  1.0000", "", "", ""}},
    };
    for (const Case& c : cases) {
        auto doc = MakeDoc({3, 40002, c.length});
        for (std::size_t i = 0; i < c.words.size(); ++i)
            doc->SetWord(static_cast<int>(i), c.words[i]);
        for (std::size_t i = 0; i < c.texts.size(); ++i) {
            int format = c.format;
            EXPECT_EQ(ValueText(*doc, static_cast<int>(i), format, false), c.texts[i])
                << "format " << c.format << " length " << c.length << " point " << i;
        }
    }
}

TEST(ValueText, FloatRuleLimitsInfinityAndNaN)
{
    struct Case { double v; const char* text; };
    const Case cases[] = {
        {999999999.99, "  999999999.9900"},
        {-999999999.99, "  -999999999.9900"},
        {1e10, "  ?????"},
        {-1e10, "  ?????"},
        {std::numeric_limits<double>::infinity(), "  ?????"},
        {-std::numeric_limits<double>::infinity(), "  ?????"},
        {std::numeric_limits<double>::quiet_NaN(), "    nan"},
        {0.00005, "  0.0001"}, // rounds like printf: 0.00005 is just above the half in binary
        {-0.0, "  -0.0000"},
        {12.34567, "  12.3457"},
    };
    for (const Case& c : cases) {
        auto doc = MakeDoc({3, 1, 8});
        PutDouble(*doc, 0, c.v);
        int format = kFloat64;
        EXPECT_EQ(ValueText(*doc, 0, format, false), c.text) << c.v;
    }
    // A 32-bit float infinity too.
    auto doc = MakeDoc({3, 1, 2});
    WriteFloat(*doc, 0, std::numeric_limits<float>::infinity(), kFloat);
    int format = kFloat;
    EXPECT_EQ(ValueText(*doc, 0, format, false), "  ?????");
}

TEST(ValueText, EnronRulesSetTheFormatAndNeverReadPastTheMemory)
{
    // Long range: registers 2i, 2i+1, low word first, zero fill even before the minus sign.
    auto longs = MakeDoc({3, 5001, 10});
    WriteLong(*longs, 2, -42, kEnronLong);
    WriteLong(*longs, 4, 42, kEnronLong);
    WriteLong(*longs, 6, -12345678, kEnronLong);
    int format = kHex;
    EXPECT_EQ(ValueText(*longs, 1, format, true), " <00000-42>");
    EXPECT_EQ(format, kEnronLong);
    EXPECT_EQ(ValueText(*longs, 2, format, true), " <00000042>");
    EXPECT_EQ(ValueText(*longs, 3, format, true), " <-12345678>");

    // Float range, an input-register block.
    auto floats = MakeDoc({4, 7001, 1000});
    WriteFloat(*floats, 2, 2.5f, kEnronFloat);
    floats->SetWord(998, 0x0000);
    floats->SetWord(999, 0x3F80);
    format = kDecimal;
    EXPECT_EQ(ValueText(*floats, 1, format, true), "  2.5000");
    EXPECT_EQ(format, kEnronFloat);
    EXPECT_EQ(ValueText(*floats, 499, format, true), "  1.0000");
    // Points 500..999 would need registers 1000 and beyond: blank.
    EXPECT_EQ(ValueText(*floats, 500, format, true), "");
    EXPECT_EQ(ValueText(*floats, 999, format, true), "");

    // Out of the range the format stays and the Decimal layout shows.
    floats->startAddress = 100;
    EXPECT_EQ(ValueText(*floats, 1, format, true), " <00000>");
    EXPECT_EQ(format, kEnronFloat);

    // EnronMode alone changes nothing outside the ranges, nor for coils or without the mode.
    auto plain = MakeDoc({3, 100, 8});
    PutDouble(*plain, 0, 3.0);
    format = kFloat64;
    EXPECT_EQ(ValueText(*plain, 0, format, true), "  3.0000");
    EXPECT_EQ(format, kFloat64);
    auto coils = MakeDoc({1, 7001, 8}, {1});
    EXPECT_EQ(ValueText(*coils, 0, format, true), " <1>");
    auto noMode = MakeDoc({3, 5001, 8}, {9});
    format = kDecimal;
    EXPECT_EQ(ValueText(*noMode, 0, format, false), " <00009>");
    EXPECT_EQ(format, kDecimal);
}

TEST(EnronApplies, Ranges)
{
    struct Case { int type; unsigned start; bool mode; bool applies; };
    const Case cases[] = {
        {3, 5000, true, true}, {4, 5999, true, true}, {3, 6000, true, false}, {3, 6999, true, false},
        {3, 7000, true, true}, {3, 65535, true, true}, {3, 0, true, false}, {3, 4999, true, false},
        {1, 7000, true, false}, {2, 5000, true, false}, {3, 7000, false, false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(EnronApplies(c.type, c.start, c.mode), c.applies) << c.type << " " << c.start;
    EXPECT_EQ(EnronFormat(5000), kEnronLong);
    EXPECT_EQ(EnronFormat(7000), kEnronFloat);
}

TEST(Label, ReferenceDigitsZeroFillAndAliases)
{
    AliasTable none;
    EXPECT_EQ(Label(3, 1, none), "40001:");
    EXPECT_EQ(Label(1, 17, none), "00017:");
    EXPECT_EQ(Label(2, 5, none), "10005:");
    EXPECT_EQ(Label(4, 1234, none), "31234:");
    EXPECT_EQ(Label(3, 10000, none), "410000:");
    EXPECT_EQ(Label(3, 65536, none), "465536:");

    AliasTable aliases;
    aliases.SetAlias(3, 40001, "x"); // keys are the point address, not the reference number
    aliases.SetAlias(3, 1, "Pump1");
    aliases.SetAlias(3, 2, "50% open %s%d");
    const std::string longAlias(120, 'A');
    aliases.SetAlias(3, 3, longAlias);
    EXPECT_EQ(Label(3, 1, aliases), "Pump1");
    EXPECT_EQ(Label(3, 2, aliases), "50% open %s%d");
    EXPECT_EQ(Label(3, 3, aliases), longAlias);
    EXPECT_EQ(Label(4, 1, aliases), "30001:");

    auto doc = MakeDoc({3, 1, 10}, {42});
    std::string item;
    int format = kDecimal;
    FormatItem(item, *doc, 0, format, false, aliases);
    EXPECT_EQ(item, "Pump1 <00042>");
    FormatItem(item, *doc, 4, format, false, aliases);
    EXPECT_EQ(item, "40005: <00000>");

    auto held0 = MakeDoc({3, 0, 1}, {1});
    FormatItem(item, *held0, 0, format, false, none);
    EXPECT_EQ(item, "465536: <00001>");

    EXPECT_EQ(AliasWidth(none), 5);
    EXPECT_EQ(AliasWidth(aliases), 120);
}

TEST(WordOrder, EveryFormatPutsTheWordsWhereTheTableSays)
{
    struct Case { int format; int kind; std::vector<std::uint16_t> regs; };
    enum { F32, L32, D64 };
    const std::uint32_t v32 = 0x11112222;
    const std::uint64_t v64 = 0x1111222233334444;
    const Case cases[] = {
        {kFloat, F32, {0x2222, 0x1111}},
        {kEnronFloat, F32, {0x2222, 0x1111}},
        {kFloatSwapped, F32, {0x1111, 0x2222}},
        {kDecimal, F32, {0x1111, 0x2222}},
        {kLong, L32, {0x2222, 0x1111}},
        {kEnronLong, L32, {0x2222, 0x1111}},
        {kLongSwapped, L32, {0x1111, 0x2222}},
        {kFloat, L32, {0x1111, 0x2222}},
        {kFloat64, D64, {0x4444, 0x3333, 0x2222, 0x1111}},
        {kFloat64Swapped, D64, {0x1111, 0x2222, 0x3333, 0x4444}},
        {kHex, D64, {0x1111, 0x2222, 0x3333, 0x4444}},
    };
    for (const Case& c : cases) {
        auto doc = MakeDoc({3, 1, 100});
        const int reg = 10;
        switch (c.kind) {
        case F32:
            WriteFloat(*doc, reg, std::bit_cast<float>(v32), c.format);
            EXPECT_EQ(std::bit_cast<std::uint32_t>(ReadFloat(*doc, reg, c.format)), v32);
            break;
        case L32:
            WriteLong(*doc, reg, static_cast<std::int32_t>(v32), c.format);
            EXPECT_EQ(static_cast<std::uint32_t>(ReadLong(*doc, reg, c.format)), v32);
            break;
        default:
            WriteDouble(*doc, reg, std::bit_cast<double>(v64), c.format);
            EXPECT_EQ(std::bit_cast<std::uint64_t>(ReadDouble(*doc, reg, c.format)), v64);
            break;
        }
        for (std::size_t k = 0; k < c.regs.size(); ++k)
            EXPECT_EQ(doc->Word(reg + static_cast<int>(k)), c.regs[k]) << "format " << c.format << " word " << k;
        EXPECT_EQ(doc->Word(reg - 1), 0);
        EXPECT_EQ(doc->Word(reg + static_cast<int>(c.regs.size())), 0);
    }
}

TEST(WordOrder, RegistersOutsideTheMemoryAreNeitherReadNorWritten)
{
    auto doc = MakeDoc({3, 1, 1000});
    for (int r = 0; r < 1000; ++r)
        doc->SetWord(r, 0xFFFF);
    for (int reg : {-1, 999, 1000, 1 << 30}) {
        EXPECT_EQ(ReadU32(*doc, reg, true), 0u) << reg;
        WriteU32(*doc, reg, 0, true);
    }
    for (int reg : {-4, 997, 1000}) {
        EXPECT_EQ(ReadU64(*doc, reg, true), 0u) << reg;
        WriteU64(*doc, reg, 0, false);
    }
    for (int r = 0; r < 1000; ++r)
        ASSERT_EQ(doc->Word(r), 0xFFFF) << r;
    EXPECT_EQ(ReadU32(*doc, 998, true), 0xFFFFFFFFu);
    EXPECT_EQ(ReadU64(*doc, 996, true), ~0ull);
    int format = kDecimal;
    EXPECT_EQ(ValueText(*doc, 1000, format, false), "");
    EXPECT_EQ(ValueText(*doc, -1, format, false), "");
}
