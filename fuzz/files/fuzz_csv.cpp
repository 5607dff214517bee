// Read From CSV: the line reader against a model of its documented line rules, the pair parser on
// every line (and on the whole input as one unbounded line), and the import into documents of
// every point type and word order, which must never touch a word outside a document's block.
// The file is read a second time with a read error half-way, which must end the import.
#include "document/CKelvaro32Doc.h"
#include "fuzz/files/FuzzCheck.h"
#include "view/CsvImport.h"
#include "view/ValueFormat.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr std::uint16_t kUntouched = 0x5A5A;

bool IsEnd(std::uint8_t b) { return b == '\r' || b == '\n'; }

struct ModelLine {
    std::string text;
    std::size_t start;   // offset of its first byte
    bool tooLong;
};

// CR, LF or any pair of them ends a line; a line reaching 100 characters ends the reading.
std::vector<ModelLine> ModelLines(const std::uint8_t* data, std::size_t size)
{
    std::vector<ModelLine> lines;
    std::size_t i = 0;
    while (i < size) {
        ModelLine line{{}, i, false};
        while (i < size && !IsEnd(data[i])) {
            line.text.push_back(static_cast<char>(data[i++]));
            if (line.text.size() >= CsvLineReader::kLineLimit) {
                line.tooLong = true;
                lines.push_back(line);
                return lines;
            }
        }
        if (i < size) {
            ++i;
            if (i < size && IsEnd(data[i]))
                ++i;
        }
        lines.push_back(line);
    }
    return lines;
}

// Line numbers as an editor counts them (LF, CR LF and a lone CR each end one): entry i is the
// line the byte at offset i is on.
std::vector<int> EditorLines(const std::uint8_t* data, std::size_t size)
{
    std::vector<int> lines(size + 1, 1);
    for (std::size_t i = 0; i < size; ++i)
        lines[i + 1] = lines[i] + ((data[i] == '\n' || (data[i] == '\r' && (i + 1 >= size || data[i + 1] != '\n'))) ? 1 : 0);
    return lines;
}

CsvLineReader::NextByte Feed(const std::uint8_t* data, std::size_t size, std::size_t errorAt)
{
    auto pos = std::make_shared<std::size_t>(0);
    return [=]() -> int {
        if (*pos == errorAt)
            return CsvLineReader::kReadError;
        if (*pos >= size)
            return CsvLineReader::kEnd;
        return data[(*pos)++];
    };
}

struct Block {
    int pointType;
    unsigned start;   // 1..65536
    int length;
    int format;
};

// Every point type, every word order, blocks at both ends of the address range and
// overlapping ones, so one pair can land in several documents.
constexpr Block kBlocks[] = {
    {3, 1, 1000, kFloat},          {3, 40, 10, kLongSwapped},      {3, 990, 1000, kFloat64},
    {4, 64537, 1000, kFloat64Swapped}, {4, 1, 3, kLong},           {3, 65536, 1, kFloatSwapped},
    {1, 65536, 1, kDecimal},       {1, 1, 1000, kHex},             {2, 100, 50, kBinary},
    {3, 1, 1000, kEnronFloat},     {4, 9990, 20, kEnronLong},      {2, 64000, 1000, kFloat},
};

// The twelve documents' 12 000 words are reset and checked for every input. Word by word through
// std::atomic, with every comparison reported to the fuzzer, that cost a hundred times the import
// itself; as plain memory (nothing but this thread touches the words here), with memset and
// memcmp and one loop outside the coverage instrumentation (not inlined into the instrumented
// caller), it costs next to nothing, and checks the same.
static_assert(sizeof(pomrel::RegisterWord) == sizeof(std::uint16_t));

std::uint16_t* RawWords(CKelvaro32Doc& doc)
{
    return reinterpret_cast<std::uint16_t*>(doc.memory.data());
}

// kUntouched has two equal bytes, so a fill is a memset and a check a memcmp.
static_assert((kUntouched >> 8) == (kUntouched & 0xFF));
const std::array<std::uint16_t, kRegisterWords> kUntouchedWords = [] {
    std::array<std::uint16_t, kRegisterWords> words;
    words.fill(kUntouched);
    return words;
}();

void FillUntouched(std::uint16_t* words)
{
    std::memset(words, kUntouched & 0xFF, kRegisterWords * sizeof *words);
}

// True when words [from, kRegisterWords) are all untouched.
bool AllUntouched(const std::uint16_t* words, int from)
{
    const auto n = static_cast<std::size_t>(kRegisterWords - from);
    return std::memcmp(words + from, kUntouchedWords.data(), n * sizeof *words) == 0;
}

// True when words [0, to) each hold `untouched`, 0 or 1.
__attribute__((noinline, no_sanitize("coverage"))) bool OnlyBits(const std::uint16_t* words, int to, std::uint16_t untouched)
{
    bool bits = true;
    for (int i = 0; i < to; ++i)
        bits &= words[i] == untouched || words[i] <= 1;
    return bits;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const auto model = ModelLines(data, size);
    const auto editorLine = EditorLines(data, size);

    // The reader against the model, line by line.
    {
        CsvLineReader reader(Feed(data, size, static_cast<std::size_t>(-1)));
        std::string line;
        std::size_t k = 0;
        for (;;) {
            const auto status = reader.Next(line);
            FUZZ_CHECK(status != CsvLineReader::kFailed);
            if (status == CsvLineReader::kFinished) {
                FUZZ_CHECK(k == model.size());
                FUZZ_CHECK(reader.Next(line) == CsvLineReader::kFinished && line.empty());
                break;
            }
            FUZZ_CHECK(k < model.size());
            FUZZ_CHECK(line == model[k].text);
            FUZZ_CHECK((status == CsvLineReader::kTooLong) == model[k].tooLong);
            if (!line.empty())
                FUZZ_CHECK(reader.LineNumber() == editorLine[model[k].start]);
            if (auto pair = ParseCsvLine(line))
                FUZZ_CHECK(line.find(',') != std::string::npos);
            ++k;
            if (status == CsvLineReader::kTooLong)
                break;
        }
    }

    // The pair parser has no length limit of its own.
    ParseCsvLine(std::string_view(reinterpret_cast<const char*>(data), size));

    // The documents are made once (each reads the ini defaults) and reset for every input.
    static std::vector<std::unique_ptr<CKelvaro32Doc>> docs;
    static std::vector<CsvTarget> targets;
    if (docs.empty()) {
        for (const Block& b : kBlocks) {
            docs.push_back(std::make_unique<CKelvaro32Doc>(DocumentContext{}));
            targets.push_back({docs.back().get(), b.format});
        }
    }
    for (std::size_t d = 0; d < docs.size(); ++d) {
        CKelvaro32Doc& doc = *docs[d];
        doc.pointType = static_cast<std::uint8_t>(kBlocks[d].pointType);
        doc.startAddress = static_cast<std::uint16_t>(kBlocks[d].start);
        doc.length = static_cast<std::uint16_t>(kBlocks[d].length);
        FillUntouched(RawWords(doc));
    }
    const CsvImportResult result = ImportCsv(Feed(data, size, static_cast<std::size_t>(-1)), targets);
    FUZZ_CHECK(!result.readError);
    FUZZ_CHECK(result.pairs >= 0 && static_cast<std::size_t>(result.pairs) <= model.size());
    const bool modelTooLong = !model.empty() && model.back().tooLong;
    FUZZ_CHECK((result.tooLongLine != 0) == modelTooLong);
    if (modelTooLong)
        FUZZ_CHECK(result.tooLongLine == editorLine[model.back().start]);
    for (const auto& doc : docs) {
        const bool bits = doc->pointType == 1 || doc->pointType == 2;
        const int inside = std::min<int>(doc->length, kRegisterWords);
        FUZZ_CHECK(AllUntouched(RawWords(*doc), inside));   // outside the block: never written
        if (bits)
            FUZZ_CHECK(OnlyBits(RawWords(*doc), inside, kUntouched));
    }

    // A read error half-way ends the import and is reported.
    if (size > 0) {
        const CsvImportResult broken = ImportCsv(Feed(data, size, size / 2), targets);
        FUZZ_CHECK(broken.readError || broken.tooLongLine != 0);
        FUZZ_CHECK(broken.pairs <= result.pairs);
    }
    return 0;
}
