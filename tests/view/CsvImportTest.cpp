// CSV import: the lines it stores, where, in which word order; the line reader's ends.
#include "document/CKelvaro32Doc.h"
#include "view/CsvImport.h"
#include "view/ValueFormat.h"

#include <gtest/gtest.h>

namespace {

constexpr std::uint16_t kUntouched = 0xAAAA;

std::unique_ptr<CKelvaro32Doc> Block(int type, unsigned start, unsigned length)
{
    DocumentContext context;
    context.iniPath = "/nonexistent/Kelvaro32.ini";
    auto doc = std::make_unique<CKelvaro32Doc>(context);
    doc->pointType = static_cast<std::uint8_t>(type);
    doc->startAddress = static_cast<std::uint16_t>(start);
    doc->length = static_cast<std::uint16_t>(length);
    for (int i = 0; i < kRegisterWords; ++i)
        doc->SetWord(i, kUntouched);
    return doc;
}

CsvLineReader::NextByte Bytes(std::string text, std::size_t failAt = std::string::npos)
{
    return [text = std::move(text), failAt, pos = std::size_t{0}]() mutable {
        if (pos == failAt)
            return CsvLineReader::kReadError;
        return pos < text.size() ? static_cast<unsigned char>(text[pos++]) : CsvLineReader::kEnd;
    };
}

TEST(CsvImport, LinesStoreIntoMatchingBlocksInTheViewsWordOrder)
{
    struct Case {
        const char* line;
        int type; unsigned start, length; int format;
        std::vector<std::pair<int, std::uint16_t>> words;   // every other word stays untouched
    };
    const Case cases[] = {
        {"40001,123.5", 3, 1, 1000, kDecimal, {{0, 123}}},
        {"40001,123.5", 3, 1, 1000, kFloat, {{0, 0x0000}, {1, 0x42F7}}},
        {"40001,123.5", 3, 1, 1000, kFloatSwapped, {{0, 0x42F7}, {1, 0x0000}}},
        {"40001,123.5", 3, 1, 1000, kHex, {{0, 123}}},
        {"40001,-2", 3, 1, 1000, kBinary, {{0, 0xFFFE}}},
        {"40001,0.1", 3, 1, 1000, kFloat64, {{0, 0x0000}, {1, 0xA000}, {2, 0x9999}, {3, 0x3FB9}}},
        {"40001,0.1", 3, 1, 1000, kFloat64Swapped, {{0, 0x3FB9}, {1, 0x9999}, {2, 0xA000}, {3, 0x0000}}},
        {"40010,70000", 3, 1, 1000, kDecimal, {{9, 4464}}},
        {"40010,70000", 3, 1, 1000, kLong, {{9, 4464}, {10, 1}}},
        {"40010,-70000", 3, 1, 1000, kLongSwapped, {{9, 0xFFFE}, {10, 0xEE90}}},
        {"40001,123456789", 3, 1, 1000, kLong, {{0, 0xCD18}, {1, 0x075B}}},   // arrives as 123456792
        {"40001,1e10", 3, 1, 1000, kLong, {{0, 0x0000}, {1, 0x8000}}},        // beyond 32 bits
        {"40010,5", 3, 1, 10, kDecimal, {{9, 5}}},
        {"40011,5", 3, 1, 10, kDecimal, {}},
        {"40010,1.5", 3, 1, 10, kFloat, {{9, 0x0000}}},                       // the high word lies outside
        {"40001,5", 3, 1, 1000, kEnronFloat, {}},
        {"40001,5", 3, 1, 1000, kEnronLong, {}},
        {"40001,5", 4, 1, 1000, kDecimal, {}},                                // wrong point type
        {"30003,6", 4, 1, 1000, kDecimal, {{2, 6}}},
        {"400001,9", 3, 1, 1000, kDecimal, {{0, 9}}},
        {"465535,1", 3, 65535, 2, kDecimal, {{0, 1}}},
        {"300002,3", 4, 1, 1000, kDecimal, {{1, 3}}},
        {"165535,3", 2, 65000, 536, kDecimal, {{535, 1}}},
        {"1,2", 1, 1, 1000, kDecimal, {{0, 1}}},
        {"1,0.5", 1, 1, 1000, kDecimal, {{0, 0}}},
        {"1,-3", 1, 1, 1000, kFloat, {{0, 0}}},
        {"1,70000", 1, 1, 1000, kDecimal, {{0, 1}}},
        {"1,40000", 1, 1, 1000, kDecimal, {{0, 0}}},                          // negative as 16 bits
        {"10005,7", 2, 1, 1000, kFloat64, {{4, 1}}},
        {"20001,1", 1, 20001, 1, kDecimal, {{0, 1}}},                         // not a reference range: a coil
        {"10000,1", 1, 10000, 1, kDecimal, {{0, 1}}},                         // below each range: a coil
        {"30000,1", 1, 30000, 1, kDecimal, {{0, 1}}},
        {"40000,1", 1, 40000, 1, kDecimal, {{0, 1}}},
        {"19999,1", 2, 9999, 1, kDecimal, {{0, 1}}},                          // the last of each range
        {"39999,4", 4, 9999, 1, kDecimal, {{0, 4}}},
        {"49999,4", 3, 9999, 1, kDecimal, {{0, 4}}},
        {"  40002 , 7 trailing,9", 3, 1, 1000, kDecimal, {{1, 7}}},
        {"40002x,8", 3, 1, 1000, kDecimal, {{1, 8}}},
        {"40001,+.5e1", 3, 1, 1000, kDecimal, {{0, 5}}},
        {"Address,Value", 3, 1, 1000, kDecimal, {}},
        {"40001", 3, 1, 1000, kDecimal, {}},
        {"40001,abc", 3, 1, 1000, kDecimal, {}},
        {"40001,inf", 3, 1, 1000, kDecimal, {}},
        {"40001,0x10", 3, 1, 1000, kDecimal, {{0, 0}}},                        // "%f" stops at the x
        {"0,1", 1, 1, 1000, kDecimal, {}},
        {"-5,1", 1, 1, 1000, kDecimal, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.line) + " format " + std::to_string(c.format));
        auto doc = Block(c.type, c.start, c.length);
        const CsvImportResult result = ImportCsv(Bytes(c.line), {{doc.get(), c.format}});
        EXPECT_EQ(result.tooLongLine, 0);
        std::vector<std::uint16_t> expected(kRegisterWords, kUntouched);
        for (const auto& [index, value] : c.words)
            expected[static_cast<std::size_t>(index)] = value;
        for (int i = 0; i < kRegisterWords; ++i)
            ASSERT_EQ(doc->Word(i), expected[static_cast<std::size_t>(i)]) << "word " << i;
    }
}

TEST(CsvImport, TwoViewsInDifferentFormatsReceiveTheSameLine)
{
    auto decimal = Block(3, 1, 100);
    auto floats = Block(3, 1, 100);
    auto coils = Block(1, 1, 100);
    const CsvImportResult r = ImportCsv(Bytes("40001,123.5\r\n1,1\r\n"),
                                        {{decimal.get(), kDecimal}, {floats.get(), kFloat}, {coils.get(), kDecimal}});
    EXPECT_EQ(r.pairs, 2);
    EXPECT_EQ(decimal->Word(0), 123);
    EXPECT_EQ(decimal->Word(1), kUntouched);
    EXPECT_EQ(floats->Word(0), 0x0000);
    EXPECT_EQ(floats->Word(1), 0x42F7);
    EXPECT_EQ(coils->Word(0), 1);
}

TEST(CsvImport, LineEndsAndTheLastLineWithoutOne)
{
    struct Case { std::string text; std::vector<std::string> lines; };
    const Case cases[] = {
        {"a\r\nb\n\rc\r\rd\n\ne", {"a", "b", "c", "d", "e"}},
        {"a\n\n\nb\n", {"a", "", "b"}},
        {"a\r\n\r\nb", {"a", "", "b"}},
        {"\n", {""}},
        {"", {}},
        {std::string(99, 'x') + "\ny", {std::string(99, 'x'), "y"}},
    };
    for (const auto& c : cases) {
        CsvLineReader reader(Bytes(c.text));
        std::vector<std::string> lines;
        std::string line;
        while (reader.Next(line) == CsvLineReader::kLine)
            lines.push_back(line);
        EXPECT_EQ(lines, c.lines) << c.text;
        EXPECT_EQ(reader.Next(line), CsvLineReader::kFinished);
    }
}

TEST(CsvImport, ALongLineOrAReadErrorEndsTheImportKeepingWhatCameBefore)
{
    auto doc = Block(3, 1, 10);
    const std::string text = "40001,1\n40002,2\n" + std::string(100, '9') + "\n40003,3\n";
    CsvImportResult r = ImportCsv(Bytes(text), {{doc.get(), kDecimal}});
    EXPECT_EQ(r.tooLongLine, 3);
    EXPECT_EQ(r.pairs, 2);
    EXPECT_EQ(doc->Word(1), 2);
    EXPECT_EQ(doc->Word(2), kUntouched);

    r = ImportCsv(Bytes("40004,4\n40005,5\n", 10), {{doc.get(), kDecimal}});
    EXPECT_TRUE(r.readError);
    EXPECT_EQ(doc->Word(3), 4);
    EXPECT_EQ(doc->Word(4), kUntouched);
}

} // namespace
