// Document files: the bytes written, every version read, files cut short, counts not believed.
#include "document/CKelvaro32Doc.h"
#include "document/DocumentFile.h"

#include <cstring>
#include <gtest/gtest.h>

namespace {

using Bytes = std::vector<std::uint8_t>;

// Little-endian pieces for hand-made files; deliberately not the code under test.
void Put(Bytes& b, std::initializer_list<int> bytes)
{
    for (int v : bytes)
        b.push_back(static_cast<std::uint8_t>(v));
}
void Put16(Bytes& b, unsigned v) { Put(b, {int(v & 0xFF), int(v >> 8 & 0xFF)}); }
void Put32(Bytes& b, std::uint32_t v) { Put(b, {int(v & 0xFF), int(v >> 8 & 0xFF), int(v >> 16 & 0xFF), int(v >> 24)}); }
void PutF(Bytes& b, float f)
{
    std::uint32_t u;
    std::memcpy(&u, &f, 4);
    Put32(b, u);
}

// The default font record as the platform lays it out: height -13, weight 400, precision
// bytes 1, 2, 1, pitch and family 0x31, "Courier".
Bytes DefaultFontBytes()
{
    Bytes b;
    Put32(b, 0xFFFFFFF3u);
    Put32(b, 0);
    Put32(b, 0);
    Put32(b, 0);
    Put32(b, 400);
    Put(b, {0, 0, 0, 0, 1, 2, 1, 0x31});
    const char face[32] = "Courier";
    b.insert(b.end(), face, face + 32);
    return b;
}

struct PointRecord { int index, interval, valueType, simType; float step, low, high; };

// A file of `version` with header (type, id, start, length, format), words w[i] = i * 3 + 1,
// the points (versions after 1.04) and, for 1.06, a font with height -20 and two colours.
Bytes MakeFile(const char* version, std::vector<PointRecord> points = {}, int type = 4, int id = 7,
               unsigned start = 30001 - 30000, unsigned length = 12, unsigned format = 2)
{
    Bytes b;
    Put(b, {0, 0, 0});
    Put(b, {int(std::strlen(version))});
    b.insert(b.end(), version, version + std::strlen(version));
    Put(b, {type, id});
    Put16(b, start);
    Put16(b, length);
    Put16(b, format);
    for (unsigned i = 0; i < 1000; ++i)
        Put16(b, i * 3 + 1);
    if (std::strcmp(version, "1.04") != 0) {
        Put32(b, static_cast<std::uint32_t>(points.size()));
        for (const auto& p : points) {
            Put32(b, static_cast<std::uint32_t>(p.index));
            Put32(b, static_cast<std::uint32_t>(p.interval));
            Put32(b, static_cast<std::uint32_t>(p.valueType));
            Put32(b, static_cast<std::uint32_t>(p.simType));
            PutF(b, p.step);
            PutF(b, p.low);
            PutF(b, p.high);
        }
    }
    if (std::strcmp(version, "1.06") == 0) {
        Bytes font = DefaultFontBytes();
        font[0] = 0xEC;   // height -20
        b.insert(b.end(), font.begin(), font.end());
        Put32(b, 0x00112233);
        Put32(b, 0x00445566);
    }
    return b;
}

class DocumentFileTest : public ::testing::Test {
protected:
    std::unique_ptr<CKelvaro32Doc> NewDoc()
    {
        DocumentContext context;
        context.iniPath = "/nonexistent/Kelvaro32.ini";
        return std::make_unique<CKelvaro32Doc>(context);
    }
};

TEST_F(DocumentFileTest, NewDocumentIsWrittenByteForByte)
{
    auto doc = NewDoc();
    const Bytes file = SerializeDocument(*doc, 0);
    ASSERT_EQ(file.size(), 2088u);
    const Bytes head = {0x00, 0x00, 0x00, 0x04, 0x31, 0x2E, 0x30, 0x36, 0x03, 0x01, 0x01, 0x00, 0xE8, 0x03, 0x00, 0x00};
    EXPECT_EQ(Bytes(file.begin(), file.begin() + 16), head);
    EXPECT_EQ(Bytes(file.begin() + 16, file.begin() + 2020), Bytes(2004, 0));   // words, then n = 0
    EXPECT_EQ(Bytes(file.begin() + 2020, file.begin() + 2080), DefaultFontBytes());
    EXPECT_EQ(Bytes(file.begin() + 2080, file.end()), (Bytes{0, 0, 0, 0, 0xC0, 0xC0, 0xC0, 0}));
}

TEST_F(DocumentFileTest, SimulatedPointsAndFormatAreWrittenInOrder)
{
    auto doc = NewDoc();
    doc->SetWord(0, 0x1234);
    doc->SetWord(999, 0xBEEF);
    auto p = std::make_unique<CAutomatePt>();
    *p = CAutomatePt{5, 3, 10, 2, 1, 0.5f, -1.0f, 100.0f};   // tick counter 3 is not stored
    doc->AddSimulatedPoint(std::move(p));
    const Bytes file = SerializeDocument(*doc, 9);

    Bytes expected = MakeFile("1.06", {{5, 10, 2, 1, 0.5f, -1.0f, 100.0f}}, 3, 1, 1, 1000, 9);
    for (unsigned i = 0; i < 1000; ++i)
        expected[16 + 2 * i] = expected[17 + 2 * i] = 0;
    expected[16] = 0x34; expected[17] = 0x12;
    expected[16 + 1998] = 0xEF; expected[16 + 1999] = 0xBE;
    const std::size_t look = 2020 + 28;
    expected[look] = 0xF3;   // this document has the default font and colours
    std::memcpy(&expected[look + 60], "\0\0\0\0\xC0\xC0\xC0\0", 8);
    ASSERT_EQ(file.size(), 2116u);
    EXPECT_EQ(file, expected);
}

TEST_F(DocumentFileTest, EveryVersionLoadsWhatItHolds)
{
    const std::vector<PointRecord> points = {{0, 2, 1, 1, 1.0f, 0.0f, 10.0f}, {4, 1, 2, 0, 0.0f, 5.0f, 6.0f}};
    struct Case { const char* version; DocumentLoad load; std::size_t points; bool newLook; };
    const Case cases[] = {
        {"1.04", DocumentLoad::kLoaded, 0, false},
        {"1.05", DocumentLoad::kLoaded, 2, false},
        {"1.06", DocumentLoad::kLoaded, 2, true},
        {"1.07", DocumentLoad::kUnknownVersion, 0, false},
        {"", DocumentLoad::kUnknownVersion, 0, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.version);
        auto doc = NewDoc();
        doc->AddSimulatedPoint(std::make_unique<CAutomatePt>());   // loading replaces, never merges
        DocumentFileContents contents;
        ASSERT_EQ(ParseDocumentFile(MakeFile(c.version, points), contents), c.load);
        if (c.load != DocumentLoad::kLoaded)
            continue;
        ApplyDocumentFile(contents, *doc);
        EXPECT_EQ(doc->pointType, 4);
        EXPECT_EQ(doc->deviceId, 7);
        EXPECT_EQ(doc->startAddress, 1);
        EXPECT_EQ(doc->length, 12);
        EXPECT_EQ(DisplayFormatFromFile(contents.displayFormat), 2);
        EXPECT_EQ(doc->Word(0), 1);
        EXPECT_EQ(doc->Word(999), 2998);
        ASSERT_EQ(doc->simulatedPoints.size(), c.points);
        if (c.points) {
            const CAutomatePt& second = *doc->simulatedPoints[1];
            EXPECT_EQ(second.pointIndex, 4);
            EXPECT_EQ(second.interval, 1);
            EXPECT_EQ(second.valueType, 2);
            EXPECT_EQ(second.simulationType, 0);
            EXPECT_EQ(second.lowLimit, 5.0f);
            EXPECT_EQ(second.highLimit, 6.0f);
            EXPECT_EQ(second.tickCounter, 0);
        }
        EXPECT_EQ(doc->font.height, c.newLook ? -20 : -13);
        EXPECT_EQ(doc->foreground, c.newLook ? 0x00112233u : 0u);
        EXPECT_EQ(doc->background, c.newLook ? 0x00445566u : 0xC0C0C0u);
    }
}

TEST_F(DocumentFileTest, ArchiveStringFormsAreAllRead)
{
    // Reserved strings in the 16-bit and wide forms, the version itself wide.
    Bytes file = MakeFile("1.04");
    Bytes front;
    Put(front, {0xFF, 0x02, 0x00, 'a', 'b'});                    // 16-bit length
    Put(front, {0xFF, 0xFE, 0xFF, 0x01, 'x', 0x00});             // wide, 1 character
    Put(front, {0x00});
    Put(front, {0xFF, 0xFE, 0xFF, 0x04, '1', 0, '.', 0, '0', 0, '4', 0});
    file.erase(file.begin(), file.begin() + 8);
    file.insert(file.begin(), front.begin(), front.end());
    DocumentFileContents contents;
    ASSERT_EQ(ParseDocumentFile(file, contents), DocumentLoad::kLoaded);
    EXPECT_EQ(contents.version, "1.04");
    EXPECT_EQ(contents.words[1], 4);
}

TEST_F(DocumentFileTest, FileCutAtEveryOffsetLoadsOrIsRefused)
{
    const Bytes whole = MakeFile("1.06", {{1, 1, 1, 1, 1, 0, 9}, {2, 1, 1, 1, 1, 0, 9}});
    const std::size_t afterPoints = 2020 + 2 * 28;
    for (std::size_t cut = 0; cut <= whole.size(); ++cut) {
        SCOPED_TRACE(cut);
        const Bytes file(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(cut));
        DocumentFileContents contents;
        const DocumentLoad load = ParseDocumentFile(file, contents);
        if (cut < afterPoints) {
            // Steps 1 to 8 incomplete: refused (a cut inside the version string is still that).
            ASSERT_EQ(load, DocumentLoad::kUnexpectedFormat);
            continue;
        }
        ASSERT_EQ(load, DocumentLoad::kLoaded);
        auto doc = NewDoc();
        ApplyDocumentFile(contents, *doc);
        ASSERT_EQ(doc->simulatedPoints.size(), 2u);
        // The raw reads of the font and colours replace only the bytes the file still had.
        const std::size_t fontBytes = std::min<std::size_t>(cut - afterPoints, 60);
        EXPECT_EQ(doc->font.height, fontBytes >= 1 ? -20 : -13);
        const std::size_t fg = cut > afterPoints + 60 ? std::min<std::size_t>(cut - afterPoints - 60, 4) : 0;
        const Colour expectedFg = fg == 0 ? 0u : (0x00112233u & (fg >= 4 ? 0xFFFFFFFFu : (1u << (8 * fg)) - 1));
        EXPECT_EQ(doc->foreground, expectedFg);
        if (cut == whole.size()) {
            EXPECT_EQ(doc->background, 0x00445566u);
        }
    }
}

TEST_F(DocumentFileTest, PointCountsAreNotBelieved)
{
    struct Case { std::uint32_t count; std::size_t records; DocumentLoad load; std::size_t points; };
    const Case cases[] = {
        {0xFFFFFFFBu, 0, DocumentLoad::kLoaded, 0},          // -5: no records
        {0x80000000u, 1, DocumentLoad::kLoaded, 0},          // most negative, a stray record after it
        {0x7FFFFFFFu, 1, DocumentLoad::kUnexpectedFormat, 0},
        {3, 2, DocumentLoad::kUnexpectedFormat, 0},
        {1, 1, DocumentLoad::kLoaded, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.count);
        Bytes file = MakeFile("1.05");
        file.resize(2016);
        Put32(file, c.count);
        for (std::size_t i = 0; i < c.records; ++i)
            file.insert(file.end(), 28, 0);
        DocumentFileContents contents;
        ASSERT_EQ(ParseDocumentFile(file, contents), c.load);
        EXPECT_EQ(contents.simulatedPoints.size(), c.points);
    }
}

TEST_F(DocumentFileTest, HeaderValuesFallBackLikeTheIniValues)
{
    struct Case { int type, id; unsigned start, length, format; int wantType, wantId; unsigned wantStart, wantLength; int wantFormat; };
    const Case cases[] = {
        {1, 255, 65535, 2, 10, 1, 255, 65535, 2, 10},
        {0, 0, 1, 0, 11, 3, 1, 1, 1000, 0},
        {9, 3, 1, 5000, 0xFFFF, 3, 3, 1, 1000, 0},
        {2, 3, 0, 1, 4, 2, 3, 0, 1, 4},           // start held as 0 (65536), length 1
        // A block that would run past 65536 keeps its start and ends at 65536.
        {2, 3, 65000, 1000, 1, 2, 3, 65000, 537, 1},
        {3, 1, 0, 1000, 0, 3, 1, 0, 1, 0},           // 65536: one point
        {4, 1, 65535, 0, 0, 4, 1, 65535, 2, 0},      // invalid length: 1000, then cut to 2
        {0, 1, 64537, 1000, 0, 3, 1, 64537, 1000, 0}, // exactly fits
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.start);
        DocumentFileContents contents;
        ASSERT_EQ(ParseDocumentFile(MakeFile("1.04", {}, c.type, c.id, c.start, c.length, c.format), contents),
                  DocumentLoad::kLoaded);
        auto doc = NewDoc();
        ApplyDocumentFile(contents, *doc);
        EXPECT_EQ(doc->pointType, c.wantType);
        EXPECT_EQ(doc->deviceId, c.wantId);
        EXPECT_EQ(doc->startAddress, c.wantStart);
        EXPECT_EQ(doc->length, c.wantLength);
        EXPECT_EQ(DisplayFormatFromFile(contents.displayFormat), c.wantFormat);
    }
}

TEST_F(DocumentFileTest, WhatIsReadIsWrittenAgain)
{
    const Bytes original = MakeFile("1.06", {{7, 2, 6, 1, 3.5f, -2.0f, 8.0f}}, 3, 9, 40, 20, 7);
    DocumentFileContents contents;
    ASSERT_EQ(ParseDocumentFile(original, contents), DocumentLoad::kLoaded);
    auto doc = NewDoc();
    ApplyDocumentFile(contents, *doc);
    EXPECT_EQ(SerializeDocument(*doc, DisplayFormatFromFile(contents.displayFormat)), original);

    // An older file comes back as "1.06" with the look the document was constructed with.
    ASSERT_EQ(ParseDocumentFile(MakeFile("1.04"), contents), DocumentLoad::kLoaded);
    auto old = NewDoc();
    ApplyDocumentFile(contents, *old);
    const Bytes again = SerializeDocument(*old, 2);
    ASSERT_EQ(again.size(), 2088u);
    EXPECT_EQ(again[6], '0');
    EXPECT_EQ(again[7], '6');
    EXPECT_EQ(Bytes(again.begin() + 2020, again.begin() + 2080), DefaultFontBytes());
}

} // namespace
