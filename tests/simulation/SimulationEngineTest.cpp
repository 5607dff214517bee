// The simulation engine on real documents: conversions, stepping, pruning, tick counting.
#include "document/CKelvaro32Doc.h"
#include "document/OpenDocuments.h"
#include "document/CAutomatePt.h"
#include "simulation/SimulationEngine.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <tuple>
#include <limits>
#include <vector>

namespace {

struct SimFixture : ::testing::Test {
    SimFixture() : doc(DocumentContext{}) { doc.length = 10; }

    CAutomatePt& Add(int index, int valueType, int simType, float step, float low, float high, int interval = 1)
    {
        auto p = std::make_unique<CAutomatePt>();
        p->pointIndex = index;
        p->valueType = valueType;
        p->simulationType = simType;
        p->step = step;
        p->lowLimit = low;
        p->highLimit = high;
        p->interval = interval;
        CAutomatePt& ref = *p;
        doc.AddSimulatedPoint(std::move(p));
        return ref;
    }
    std::vector<int> Words(int from, int count) const
    {
        std::vector<int> w;
        for (int k = 0; k < count; ++k)
            w.push_back(doc.Word(from + k));
        return w;
    }
    float Read(int type, int reg)
    {
        std::lock_guard lock(doc.valueLock);
        return ReadSimValue(type, doc, reg);
    }
    void Write(int type, int reg, float x)
    {
        std::lock_guard lock(doc.valueLock);
        WriteSimValue(type, doc, reg, x);
    }

    CKelvaro32Doc doc;
};

TEST(ClassicRandom, FirstFiveDrawsOfSeedOne)
{
    ClassicRandom r;
    const int expected[] = {41, 18467, 6334, 26500, 19169};
    for (int e : expected)
        EXPECT_EQ(r.Next(), e);
}

TEST_F(SimFixture, WriteLaysOutEveryValueType)
{
    struct Case { int type; float x; std::vector<int> words; };
    const Case cases[] = {
        {kValueBit, 3.0f, {1, 0}},
        {kValueBit, 2.9f, {0, 0}},
        {kValueBit, -1.0f, {1, 0}},
        {kValueWord, 65535.0f, {65535, 0}},
        {kValueWord, -100.0f, {65436, 0}},
        {kValueWord, 100000.7f, {100000 & 0xFFFF, 0}},
        {kValueFloatLowFirst, 2.5f, {0x0000, 0x4020, 0}},
        {kValueFloatHighFirst, 2.5f, {0x4020, 0x0000, 0}},
        {kValueEnronFloat, 1.0f, {0x0000, 0x3F80, 0}},
        {kValueDoubleLowFirst, 2.5f, {0, 0, 0, 0x4004, 0}},
        {kValueDoubleHighFirst, 2.5f, {0x4004, 0, 0, 0, 0}},
        {kValueLongLowFirst, -2.9f, {0xFFFE, 0xFFFF, 0}},
        {kValueLongHighFirst, -2.0f, {0xFFFF, 0xFFFE, 0}},
        {kValueEnronLong, 70000.0f, {70000 & 0xFFFF, 1, 0}},
        // Out of the 32-bit range and NaN both give -2147483648.
        {kValueLongLowFirst, 3e9f, {0x0000, 0x8000, 0}},
        {kValueLongHighFirst, -3e9f, {0x8000, 0x0000, 0}},
        {kValueEnronLong, std::numeric_limits<float>::quiet_NaN(), {0x0000, 0x8000, 0}},
        {kValueWord, 1e10f, {0, 0}},
        {kValueBit, std::numeric_limits<float>::infinity(), {0, 0}},
    };
    for (const Case& c : cases) {
        for (int k = 0; k < 6; ++k)
            doc.SetWord(2 + k, 0);
        Write(c.type, 2, c.x);
        EXPECT_EQ(Words(2, static_cast<int>(c.words.size())), c.words) << "type " << c.type << " x " << c.x;
    }
}

TEST_F(SimFixture, ReadTakesEachTypesWordOrder)
{
    struct Case { int type; std::vector<int> words; float x; };
    const Case cases[] = {
        {kValueBit, {7}, 7.0f},
        {kValueWord, {65436}, 65436.0f},
        {kValueFloatLowFirst, {0x0000, 0x4020}, 2.5f},
        {kValueEnronFloat, {0x0000, 0x4020}, 2.5f},
        {kValueFloatHighFirst, {0x4020, 0x0000}, 2.5f},
        {kValueDoubleLowFirst, {0, 0, 0, 0x4004}, 2.5f},
        {kValueDoubleHighFirst, {0x4004, 0, 0, 0}, 2.5f},
        // 0.1 as a double comes back rounded to single precision.
        {kValueDoubleLowFirst, {0x999A, 0x9999, 0x9999, 0x3FB9}, 0.1f},
        {kValueLongLowFirst, {0xFFFE, 0xFFFF}, -2.0f},
        {kValueEnronLong, {0x1170, 0x0001}, 70000.0f},
        {kValueLongHighFirst, {0xFFFF, 0xFFFE}, -2.0f},
        // Unknown codes read one unsigned word.
        {8, {0xFFFF, 0x4020}, 65535.0f},
    };
    for (const Case& c : cases) {
        for (std::size_t k = 0; k < c.words.size(); ++k)
            doc.SetWord(4 + static_cast<int>(k), static_cast<std::uint16_t>(c.words[k]));
        EXPECT_EQ(Read(c.type, 4), c.x) << "type " << c.type;
    }
}

TEST_F(SimFixture, StepSequences)
{
    struct Case {
        const char* name; int type; int simType; float step, low, high; int start; std::vector<int> expected;
    };
    const Case cases[] = {
        {"increment wraps to low", kValueWord, kSimIncrement, 1, 0, 10, 8, {9, 10, 0, 1}},
        {"decrement wraps to high", kValueWord, kSimDecrement, 1, 0, 10, 1, {0, 10, 9}},
        // 65436 reads back above 100, becomes -100 and is written as 65436 again.
        {"16-bit past high with negative low", kValueWord, kSimIncrement, 1, -100, 100, 100, {65436, 65436, 65436}},
        {"random with equal limits", kValueWord, kSimRandom, 1, 5, 5, 0, {5, 5, 5}},
        // The generator's first draws 41, 18467, 6334, 26500, 19169 give 50 + 100 r / 32767:
        // 50.13, 106.36, 69.33, 130.87, 108.50.
        {"random between 50 and 150", kValueWord, kSimRandom, 1, 50, 150, 0, {50, 106, 69, 130, 108}},
        {"coil toggle", kValueBit, kSimToggle, 1, 0, 100, 0, {1, 0, 1, 0}},
        {"other type keeps value", kValueWord, 7, 1, 0, 10, 4, {4, 4}},
    };
    for (const Case& c : cases) {
        SimulationRandom() = ClassicRandom{};   // back to the generator's first draw
        doc.simulatedPoints.clear();
        doc.SetWord(3, static_cast<std::uint16_t>(c.start));
        Add(3, c.type, c.simType, c.step, c.low, c.high);
        std::vector<int> seen;
        for (std::size_t k = 0; k < c.expected.size(); ++k) {
            SimulateDocument(doc);
            seen.push_back(doc.Word(3));
        }
        EXPECT_EQ(seen, c.expected) << c.name;
    }
}

TEST_F(SimFixture, FloatIncrementAndRandomDrawsFromTheSharedGenerator)
{
    doc.SetWord(0, 0x0000);
    doc.SetWord(1, 0x4020); // 2.5, low word first
    Add(0, kValueFloatLowFirst, kSimIncrement, 0.5f, 0, 100);
    SimulateDocument(doc);
    EXPECT_EQ(Read(kValueFloatLowFirst, 0), 3.0f);

    // A 16-bit point between 0 and 100000 keeps the low 16 bits of the whole number drawn.
    doc.simulatedPoints.clear();
    Add(5, kValueWord, kSimRandom, 1, 0, 100000);
    ClassicRandom copy = SimulationRandom();
    for (int k = 0; k < 5; ++k) {
        const float x = 100000.0f * (static_cast<float>(copy.Next()) / 32767.0f) + 0.0f;
        SimulateDocument(doc);
        EXPECT_EQ(doc.Word(5), static_cast<std::uint16_t>(static_cast<std::int32_t>(x) & 0xFFFF));
    }
}

TEST_F(SimFixture, RandomCoilKeepsLowestBitOfTheDraw)
{
    Add(2, kValueBit, kSimRandom, 1, 0, 100);
    ClassicRandom copy = SimulationRandom();
    for (int k = 0; k < 6; ++k) {
        const float x = 100.0f * (static_cast<float>(copy.Next()) / 32767.0f);
        SimulateDocument(doc);
        EXPECT_EQ(doc.Word(2), static_cast<std::int32_t>(x) & 1);
    }
}

TEST_F(SimFixture, IntervalCountsTicksFromCreation)
{
    Add(0, kValueWord, kSimIncrement, 1, 0, 1000, 5);
    Add(1, kValueWord, kSimIncrement, 1, 0, 1000, 0); // 0 or less: every tick
    std::vector<int> slow, fast;
    for (int tick = 1; tick <= 11; ++tick) {
        SimulateDocument(doc);
        slow.push_back(doc.Word(0));
        fast.push_back(doc.Word(1));
    }
    EXPECT_EQ(slow, (std::vector<int>{0, 0, 0, 0, 1, 1, 1, 1, 1, 2, 2}));
    EXPECT_EQ(fast, (std::vector<int>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}));
}

TEST_F(SimFixture, PruneDropsPointsOutsideTheBlockBeforeStepping)
{
    doc.length = 10;
    struct Case { int index; int type; bool kept; };
    const Case cases[] = {
        {9, kValueWord, true},
        {10, kValueWord, false},
        {-1, kValueWord, false},
        {8, kValueFloatLowFirst, true},
        {9, kValueFloatHighFirst, false},   // a float at the last register
        {6, kValueDoubleLowFirst, true},
        {7, kValueDoubleHighFirst, false},  // a 64-bit value at one of the last three
        {8, kValueLongHighFirst, true},
        {9, kValueLongLowFirst, false},
        {0, 8, false},
        {0, 11, false},
        {0, -1, false},
        // ENRON points carry register indices; the block spans 2 x length registers.
        {18, kValueEnronFloat, true},
        {12, kValueEnronLong, true},
        {19, kValueEnronLong, false},
        {20, kValueEnronFloat, false},
    };
    for (const Case& c : cases) {
        doc.simulatedPoints.clear();
        Add(c.index, c.type, kSimIncrement, 1, 0, 100);
        PruneSimulatedPoints(doc);
        EXPECT_EQ(doc.simulatedPoints.size(), c.kept ? 1u : 0u) << "index " << c.index << " type " << c.type;
    }
}

TEST_F(SimFixture, TwoPointsOutsideAreRemovedInOneTickAndNeverStepped)
{
    doc.length = 20;
    Add(12, kValueWord, kSimIncrement, 1, 0, 100);
    Add(3, kValueWord, kSimIncrement, 1, 0, 100);
    Add(15, kValueFloatLowFirst, kSimIncrement, 1, 0, 100);
    doc.length = 10; // the block was shortened below two of them
    SimulateDocument(doc);
    ASSERT_EQ(doc.simulatedPoints.size(), 1u);
    EXPECT_EQ(doc.simulatedPoints[0]->pointIndex, 3);
    EXPECT_EQ(doc.Word(3), 1);
    EXPECT_EQ(Words(12, 5), (std::vector<int>{0, 0, 0, 0, 0}));
}

TEST_F(SimFixture, EnronPointInTheUpperHalfOfTheBlockIsStepped)
{
    doc.startAddress = 7001;
    doc.length = 500;
    Add(998, kValueEnronFloat, kSimIncrement, 1.5f, 0, 100); // ENRON point 499, the last one
    SimulateDocument(doc);
    ASSERT_EQ(doc.simulatedPoints.size(), 1u);
    EXPECT_EQ(Words(998, 2), (std::vector<int>{0x0000, 0x3FC0}));
}

TEST_F(SimFixture, EnronSpanNeverReachesPastTheMemory)
{
    doc.length = 800; // an ENRON block longer than 500 would address words past 999
    Add(998, kValueEnronLong, kSimIncrement, 1, 0, 100);
    Add(999, kValueEnronLong, kSimIncrement, 1, 0, 100);
    Add(1200, kValueEnronFloat, kSimIncrement, 1, 0, 100);
    SimulateDocument(doc);
    ASSERT_EQ(doc.simulatedPoints.size(), 1u);
    EXPECT_EQ(doc.simulatedPoints[0]->pointIndex, 998);
}

TEST_F(SimFixture, APointWithAWordDrivenElsewhereIsNotStepped)
{
    doc.deviceId = 7;
    doc.pointType = 4;
    doc.startAddress = 101;
    doc.length = 20;
    Add(0, kValueWord, kSimIncrement, 1, 0, 100);
    Add(2, kValueLongLowFirst, kSimIncrement, 1, 0, 100);
    Add(6, kValueDoubleLowFirst, kSimIncrement, 1, 0, 100);
    // Which words are driven (by unit, type and the address the documents count) -> which of the
    // three points still step.
    struct Case { std::vector<std::uint32_t> driven; std::vector<bool> stepped; };
    const Case cases[] = {
        {{}, {true, true, true}},
        {{101}, {false, true, true}},
        {{104}, {true, false, true}},       // the long's second word
        {{110}, {true, true, false}},       // the double's last word
        {{102, 105, 111}, {true, true, true}},
    };
    for (const Case& c : cases) {
        for (int i = 0; i < 20; ++i)
            doc.SetWord(i, 0);
        std::vector<std::tuple<int, int, std::uint32_t>> asked;
        SimulateDocument(doc, [&](int unit, int type, std::uint32_t address) {
            asked.emplace_back(unit, type, address);
            return std::find(c.driven.begin(), c.driven.end(), address) != c.driven.end();
        });
        EXPECT_EQ(doc.Word(0) != 0, c.stepped[0]) << c.driven.size();
        EXPECT_EQ(doc.Word(2) != 0, c.stepped[1]) << c.driven.size();
        EXPECT_EQ(Words(6, 4) != std::vector<int>(4, 0), c.stepped[2]) << c.driven.size();
        for (const auto& [unit, type, address] : asked) {
            EXPECT_EQ(unit, 7);
            EXPECT_EQ(type, 4);
        }
    }
}

TEST(RunSimulationTest, StepsEveryOpenDocument)
{
    OpenDocuments docs;
    DocumentContext ctx;
    ctx.openDocuments = &docs;
    CKelvaro32Doc a(ctx), b(ctx);
    for (CKelvaro32Doc* d : {&a, &b}) {
        auto p = std::make_unique<CAutomatePt>();
        p->highLimit = 100;
        d->AddSimulatedPoint(std::move(p));
    }
    RunSimulation(docs);
    RunSimulation(docs);
    EXPECT_EQ(a.Word(0), 2);
    EXPECT_EQ(b.Word(0), 2);
    EXPECT_FALSE(a.IsModified());
}

} // namespace
