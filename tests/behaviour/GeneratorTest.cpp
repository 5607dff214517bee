// Each kind's values at given updates, seeded sequences, and the words a value becomes, checked
// against the program's own Float, Long and Double formats.
#include "behaviour/Generator.h"
#include "document/CKelvaro32Doc.h"
#include "document/OpenDocuments.h"
#include "document/RegisterValues.h"

#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include <set>

using namespace behaviour;
using nlohmann::json;

namespace {

GeneratorSpec Spec(const std::string& text, const std::string& baseDir = "")
{
    std::string error;
    auto g = ParseGenerator(json::parse(text), baseDir, error);
    EXPECT_TRUE(g) << error;
    return g ? *g : GeneratorSpec{};
}

struct KindCase {
    const char* generator;
    std::vector<std::uint64_t> updates;
    std::vector<double> values;
};

class KindValues : public testing::TestWithParam<KindCase> {};

} // namespace

TEST_P(KindValues, AtGivenUpdates)
{
    Generator g(Spec(GetParam().generator), 1'700'000'000'500);
    ASSERT_EQ(GetParam().updates.size(), GetParam().values.size());
    for (std::size_t i = 0; i < GetParam().updates.size(); ++i)
        EXPECT_NEAR(static_cast<double>(g.ValueAt(GetParam().updates[i])), GetParam().values[i], 1e-9)
            << "update " << GetParam().updates[i];
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Table, KindValues, testing::Values(
    KindCase{R"({"unit":1,"type":3,"address":1,"value":"float32","kind":"sine","min":0,"max":100,"period_ms":1000,"update_ms":250})",
             {0, 1, 2, 3, 4, 5}, {50, 100, 50, 0, 50, 100}},
    KindCase{R"({"unit":1,"type":3,"address":1,"value":"float32","kind":"sine","min":0,"max":100,"period_ms":1000,"phase":0.25,"update_ms":250})",
             {0, 1, 2}, {100, 50, 0}},
    KindCase{R"({"unit":1,"type":3,"address":1,"value":"float32","kind":"triangle","min":0,"max":10,"period_ms":1000,"update_ms":250})",
             {0, 1, 2, 3, 4}, {0, 5, 10, 5, 0}},
    KindCase{R"({"unit":1,"type":3,"address":1,"value":"float32","kind":"ramp","min":0,"max":10,"period_ms":1000,"update_ms":250})",
             {0, 1, 2, 3, 4, 7}, {0, 2.5, 5, 7.5, 0, 7.5}},
    KindCase{R"({"unit":1,"type":3,"address":1,"kind":"square","min":3,"max":9,"period_ms":1000,"update_ms":250})",
             {0, 1, 2, 3, 4}, {9, 9, 3, 3, 9}},
    KindCase{R"({"unit":1,"type":3,"address":1,"kind":"counter","min":0,"max":10,"step":7,"update_ms":100})",
             {0, 1, 2, 3, 4}, {0, 7, 3, 10, 6}},
    KindCase{R"({"unit":1,"type":3,"address":1,"kind":"counter"})",
             {0, 1, 65535, 65536, 65537}, {0, 1, 65535, 0, 1}},
    KindCase{R"({"unit":1,"type":3,"address":1,"value":"float32","kind":"counter","min":1,"max":2,"step":0.5})",
             {0, 1, 2, 3}, {1, 1.5, 2, 1}},
    KindCase{R"({"unit":1,"type":1,"address":1,"kind":"steps","values":[1,0],"durations_ms":[3000,500],"update_ms":500})",
             {0, 5, 6, 7, 13, 14}, {1, 1, 0, 1, 0, 1}},
    KindCase{R"({"unit":1,"type":3,"address":1,"kind":"steps","values":[4,5,6],"durations_ms":[100,100,100],"loop":false,"update_ms":100})",
             {0, 1, 2, 3, 100}, {4, 5, 6, 6, 6}},
    KindCase{R"({"unit":1,"type":3,"address":1,"value":"uint32","kind":"clock"})",
             {0, 1, 60}, {1700000000, 1700000001, 1700000060}}));
// clang-format on

TEST(Generator, CsvRowsHoldUntilTheNextAndLoopAtTheLastRowsTime)
{
    GeneratorSpec spec = Spec(R"({"unit":1,"type":3,"address":1,"kind":"clock","update_ms":500})");
    spec.kind = Kind::Csv;
    spec.rows = std::make_shared<const std::vector<CsvRow>>(std::vector<CsvRow>{{0, 1}, {1000, 2}, {2500, 3}});
    Generator looped(spec);
    const std::vector<double> loopedValues{1, 1, 2, 2, 2, 1, 1, 2};
    for (std::uint64_t k = 0; k < loopedValues.size(); ++k)
        EXPECT_EQ(static_cast<double>(looped.ValueAt(k)), loopedValues[k]) << k;
    spec.loop = false;
    Generator once(spec);
    EXPECT_EQ(static_cast<double>(once.ValueAt(5)), 3.0);
    EXPECT_EQ(static_cast<double>(once.ValueAt(1000)), 3.0);
}

TEST(Generator, RandomIsUniformOverWholeNumbersAndFixedBySeed)
{
    const char* text = R"({"unit":1,"type":3,"address":1,"kind":"random","min":1,"max":6,"seed":42})";
    Generator a(Spec(text));
    Generator b(Spec(text));
    std::set<double> faces;
    for (std::uint64_t k = 0; k < 600; ++k) {
        const double v = static_cast<double>(a.ValueAt(k));
        EXPECT_EQ(v, static_cast<double>(b.ValueAt(k)));
        faces.insert(v);
    }
    EXPECT_EQ(faces, (std::set<double>{1, 2, 3, 4, 5, 6}));
    // The sequence is this project's own: the same on every library and every run.
    std::vector<double> first;
    for (std::uint64_t k = 0; k < 8; ++k)
        first.push_back(static_cast<double>(a.ValueAt(k)));
    EXPECT_EQ(first, (std::vector<double>{3, 3, 1, 5, 5, 4, 6, 1}));
    Generator other(Spec(R"({"unit":1,"type":3,"address":1,"kind":"random","min":1,"max":6,"seed":43})"));
    int same = 0;
    for (std::uint64_t k = 0; k < 60; ++k)
        same += other.ValueAt(k) == a.ValueAt(k);
    EXPECT_LT(same, 30);
}

TEST(Generator, RandomWalkMovesByAtMostStepInsideItsRangeAndReplaysTheSame)
{
    const char* text = R"({"unit":1,"type":3,"address":1,"value":"float32","kind":"random-walk","min":0,"max":10,"step":0.5,"seed":7})";
    Generator walk(Spec(text));
    std::vector<double> seen;
    for (std::uint64_t k = 0; k < 2000; ++k)
        seen.push_back(static_cast<double>(walk.ValueAt(k)));
    EXPECT_EQ(seen[0], 5.0);   // from the middle
    double lowest = 10, highest = 0;
    for (std::size_t k = 1; k < seen.size(); ++k) {
        EXPECT_LE(std::abs(seen[k] - seen[k - 1]), 0.5);
        lowest = std::min(lowest, seen[k]);
        highest = std::max(highest, seen[k]);
    }
    EXPECT_GE(lowest, 0.0);
    EXPECT_LE(highest, 10.0);
    EXPECT_LT(lowest, highest);
    // A runner that skipped updates, or a new one, lands on the same values.
    Generator skipping(Spec(text));
    EXPECT_EQ(static_cast<double>(skipping.ValueAt(1500)), seen[1500]);
    EXPECT_EQ(static_cast<double>(skipping.ValueAt(30)), seen[30]);
    EXPECT_EQ(static_cast<double>(skipping.ValueAt(1999)), seen[1999]);
}

namespace {

struct EncodingCase {
    const char* generator;
    long double value;
    std::vector<std::uint16_t> words;
};

class Encodings : public testing::TestWithParam<EncodingCase> {};

} // namespace

TEST_P(Encodings, ClampRoundAndOrderWords)
{
    const Generator g(Spec(GetParam().generator));
    const Words w = g.Encode(GetParam().value);
    EXPECT_EQ(std::vector<std::uint16_t>(w.word.begin(), w.word.begin() + w.count), GetParam().words);
}

#define POINT R"("unit":1,"type":3,"address":1,"kind":"random")"
// clang-format off
INSTANTIATE_TEST_SUITE_P(Table, Encodings, testing::Values(
    EncodingCase{"{" POINT R"(,"value":"float32"})", 1.0L, {0x0000, 0x3F80}},
    EncodingCase{"{" POINT R"(,"value":"float32","swapped":true})", 1.0L, {0x3F80, 0x0000}},
    EncodingCase{"{" POINT R"(,"value":"uint32"})", 0x12345678, {0x5678, 0x1234}},
    EncodingCase{"{" POINT R"(,"value":"uint32","swapped":true})", 0x12345678, {0x1234, 0x5678}},
    EncodingCase{"{" POINT R"(,"value":"int32"})", -2, {0xFFFE, 0xFFFF}},
    EncodingCase{"{" POINT R"(,"value":"uint64"})", 0x0001000200030004ull, {4, 3, 2, 1}},
    EncodingCase{"{" POINT R"(,"value":"uint64","swapped":true})", 0x0001000200030004ull, {1, 2, 3, 4}},
    EncodingCase{"{" POINT R"(,"value":"uint64"})", 1e30L, {0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF}},
    EncodingCase{"{" POINT R"(,"value":"int64"})", -1e30L, {0, 0, 0, 0x8000}},
    EncodingCase{"{" POINT R"(,"value":"int64"})", 1e30L, {0xFFFF, 0xFFFF, 0xFFFF, 0x7FFF}},
    EncodingCase{"{" POINT R"(,"value":"float64"})", 1.0L, {0, 0, 0, 0x3FF0}},
    EncodingCase{"{" POINT R"(,"value":"float64","swapped":true})", 1.0L, {0x3FF0, 0, 0, 0}},
    EncodingCase{"{" POINT R"(,"value":"int16"})", -1.5L, {0xFFFE}},
    EncodingCase{"{" POINT R"(,"value":"int16"})", 2.5L, {3}},
    EncodingCase{"{" POINT R"(,"value":"int16"})", 2.49L, {2}},
    EncodingCase{"{" POINT "}", 70000, {0xFFFF}},
    EncodingCase{"{" POINT "}", -3, {0}},
    EncodingCase{"{" POINT R"(,"min":10,"max":20})", 25, {20}},
    EncodingCase{"{" POINT R"(,"value":"float32"})", 1e39L, {0xFFFF, 0x7F7F}},
    EncodingCase{R"({"unit":1,"type":1,"address":1,"kind":"random"})", 0.49L, {0}},
    EncodingCase{R"({"unit":1,"type":1,"address":1,"kind":"random"})", 0.5L, {1}},
    EncodingCase{R"({"unit":1,"type":3,"address":1,"kind":"clock"})", 1700000000, {0xF100}},
    EncodingCase{R"({"unit":1,"type":3,"address":1,"value":"int32","kind":"clock"})", 4294967297.0L, {1, 0}}));
// clang-format on

TEST(Generator, WordOrderIsTheProgramsFloatLongAndDoubleFormats)
{
    OpenDocuments open;
    CKelvaro32Doc doc(DocumentContext{&open, "", nullptr});
    const auto put = [&](const Words& w) {
        for (int i = 0; i < w.count; ++i)
            doc.SetWord(i, w.word[static_cast<std::size_t>(i)]);
    };
    struct Case {
        const char* value;
        bool swapped;
        int format;
    };
    for (const Case c : {Case{"float32", false, kFloat}, Case{"float32", true, kFloatSwapped}}) {
        const Generator g(Spec(std::string("{" POINT R"(,"value":")") + c.value + "\",\"swapped\":" + (c.swapped ? "true" : "false") + "}"));
        put(g.Encode(-1234.5L));
        EXPECT_EQ(regval::ReadFloat(doc, 0, c.format), -1234.5f) << c.value << c.swapped;
    }
    for (const Case c : {Case{"int32", false, kLong}, Case{"int32", true, kLongSwapped}}) {
        const Generator g(Spec(std::string("{" POINT R"(,"value":")") + c.value + "\",\"swapped\":" + (c.swapped ? "true" : "false") + "}"));
        put(g.Encode(-123456789));
        EXPECT_EQ(regval::ReadLong(doc, 0, c.format), -123456789) << c.value << c.swapped;
    }
    for (const Case c : {Case{"float64", false, kFloat64}, Case{"float64", true, kFloat64Swapped}}) {
        const Generator g(Spec(std::string("{" POINT R"(,"value":")") + c.value + "\",\"swapped\":" + (c.swapped ? "true" : "false") + "}"));
        put(g.Encode(3.25e-7L));
        EXPECT_EQ(regval::ReadDouble(doc, 0, c.format), 3.25e-7) << c.value << c.swapped;
    }
}
