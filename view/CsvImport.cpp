#include "view/CsvImport.h"

#include "document/CKelvaro32Doc.h"
#include "document/RegisterValues.h"

#include <bit>
#include <cstdlib>
#include <mutex>

namespace {

bool IsLineEnd(int b) { return b == '\r' || b == '\n'; }
bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\v' || c == '\f' || c == '\r' || c == '\n'; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

std::size_t SkipBlanks(std::string_view s, std::size_t i)
{
    while (i < s.size() && IsBlank(s[i]))
        ++i;
    return i;
}

// "%d": optional sign and at least one digit; a number too long for 64 bits keeps its last value.
std::optional<std::int32_t> ScanInt(std::string_view s)
{
    std::size_t i = SkipBlanks(s, 0);
    bool negative = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-'))
        negative = s[i++] == '-';
    if (i >= s.size() || !IsDigit(s[i]))
        return std::nullopt;
    std::uint64_t v = 0;
    for (; i < s.size() && IsDigit(s[i]); ++i)
        v = v * 10 + static_cast<unsigned>(s[i] - '0');
    if (negative)
        v = 0 - v;
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(v));
}

// "%f" in its decimal form: sign, digits with an optional fraction, optional exponent.
std::optional<float> ScanFloat(std::string_view s)
{
    std::size_t i = SkipBlanks(s, 0);
    const std::size_t begin = i;
    if (i < s.size() && (s[i] == '+' || s[i] == '-'))
        ++i;
    std::size_t digits = 0;
    for (; i < s.size() && IsDigit(s[i]); ++i)
        ++digits;
    if (i < s.size() && s[i] == '.') {
        ++i;
        for (; i < s.size() && IsDigit(s[i]); ++i)
            ++digits;
    }
    if (digits == 0)
        return std::nullopt;
    if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
        std::size_t j = i + 1;
        if (j < s.size() && (s[j] == '+' || s[j] == '-'))
            ++j;
        if (j < s.size() && IsDigit(s[j])) {
            while (j < s.size() && IsDigit(s[j]))
                ++j;
            i = j;
        }
    }
    const std::string text(s.substr(begin, i - begin));
    return std::strtof(text.c_str(), nullptr);
}

} // namespace

int CsvLineReader::Get()
{
    if (pending_ != kNone) {
        const int b = pending_;
        pending_ = kNone;
        return b;
    }
    const int b = next_();
    if ((lastFetched_ == '\r' && b != '\n') || b == '\n')
        ++breaks_;
    lastFetched_ = b;
    return b;
}

CsvLineReader::Status CsvLineReader::Next(std::string& line)
{
    line.clear();
    for (;;) {
        const int b = Get();
        if (b == kReadError)
            return kFailed;
        if (b == kEnd) {
            pending_ = kEnd;
            return line.empty() ? kFinished : kLine;
        }
        if (IsLineEnd(b)) {
            const int after = Get();
            if (!IsLineEnd(after))
                pending_ = after;
            return kLine;
        }
        if (line.empty())
            lineNumber_ = breaks_ + 1;
        line.push_back(static_cast<char>(b));
        if (line.size() >= kLineLimit)
            return kTooLong;
    }
}

std::optional<CsvPair> ParseCsvLine(std::string_view line)
{
    const auto reference = ScanInt(line);
    if (!reference)
        return std::nullopt;
    const std::size_t comma = line.find(',');
    if (comma == std::string_view::npos)
        return std::nullopt;
    const auto value = ScanFloat(line.substr(comma + 1));
    if (!value)
        return std::nullopt;
    return CsvPair{*reference, *value};
}

CsvReference DecodeReference(std::int64_t r)
{
    if (r >= 10001 && r <= 19999) return {2, r - 10000};
    if (r >= 30001 && r <= 39999) return {4, r - 30000};
    if (r >= 40001 && r <= 49999) return {3, r - 40000};
    if (r >= 100001 && r <= 165535) return {2, r - 100000};
    if (r >= 300001 && r <= 365535) return {4, r - 300000};
    if (r >= 400001 && r <= 465535) return {3, r - 400000};
    return {1, r};
}

void StoreCsvWord(CKelvaro32Doc& doc, std::int64_t reference, std::uint16_t word)
{
    const CsvReference ref = DecodeReference(reference);
    if (ref.pointType != doc.pointType)
        return;
    const std::int64_t start = doc.StartAddress();
    if (ref.address < start || ref.address >= start + doc.length)
        return;
    const std::int64_t index = ref.address - start;
    if (index >= kRegisterWords)
        return;
    const bool bits = doc.pointType == 1 || doc.pointType == 2;
    doc.SetWord(static_cast<int>(index), bits ? (static_cast<std::int16_t>(word) > 0 ? 1 : 0) : word);
}

std::int32_t TruncateToInt32(float value)
{
    if (!(value >= -2147483648.0f && value < 2147483648.0f))
        return INT32_MIN;
    return static_cast<std::int32_t>(value);
}

void ApplyCsvValue(const std::vector<CsvTarget>& targets, std::int32_t reference, float value)
{
    const auto integer = static_cast<std::uint32_t>(TruncateToInt32(value));
    const auto floatBits = std::bit_cast<std::uint32_t>(value);
    const auto doubleBits = std::bit_cast<std::uint64_t>(static_cast<double>(value));
    for (const CsvTarget& t : targets) {
        CKelvaro32Doc& doc = *t.doc;
        std::uint16_t words[4];
        int count = 1;
        words[0] = static_cast<std::uint16_t>(integer);
        if (doc.pointType == 3 || doc.pointType == 4) {
            const regval::ValueLayout& layout = regval::LayoutOf(t.displayFormat);
            if (layout.enron) {
                count = 0; // ENRON points are not written from a CSV file
            } else if (layout.kind == regval::ValueKind::Float32 || layout.kind == regval::ValueKind::Long32) {
                const std::uint32_t v = layout.kind == regval::ValueKind::Float32 ? floatBits : integer;
                words[layout.lowWordFirst ? 0 : 1] = static_cast<std::uint16_t>(v);
                words[layout.lowWordFirst ? 1 : 0] = static_cast<std::uint16_t>(v >> 16);
                count = 2;
            } else if (layout.kind == regval::ValueKind::Float64) {
                for (int i = 0; i < 4; ++i)
                    words[layout.lowWordFirst ? i : 3 - i] = static_cast<std::uint16_t>(doubleBits >> (16 * i));
                count = 4;
            }
        }
        // All words of one value at once for a master reading the block meanwhile.
        std::lock_guard lock(doc.valueLock);
        for (int i = 0; i < count; ++i)
            StoreCsvWord(doc, static_cast<std::int64_t>(reference) + i, words[i]);
    }
}

CsvImportResult ImportCsv(CsvLineReader::NextByte next, const std::vector<CsvTarget>& targets)
{
    CsvImportResult result;
    CsvLineReader reader(std::move(next));
    std::string line;
    for (;;) {
        switch (reader.Next(line)) {
        case CsvLineReader::kFinished:
            return result;
        case CsvLineReader::kFailed:
            result.readError = true;
            return result;
        case CsvLineReader::kTooLong:
            result.tooLongLine = reader.LineNumber();
            return result;
        case CsvLineReader::kLine:
            if (auto pair = ParseCsvLine(line)) {
                ApplyCsvValue(targets, pair->reference, pair->value);
                ++result.pairs;
            }
            break;
        }
    }
}
