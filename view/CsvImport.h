// Read From CSV: lines of "reference,value" stored into every open document whose block holds
// the reference, in the word order of each view's display format. Plain code.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class CKelvaro32Doc;
class CMainFrame;

/// Lines of at most 99 characters; CR, LF and any pair of them end a line.
class CsvLineReader {
public:
    static constexpr int kEnd = -1;
    static constexpr int kReadError = -2;
    static constexpr std::size_t kLineLimit = 100;   // a line reaching this length ends the import
    /// Gives the next byte (0..255), kEnd or kReadError.
    using NextByte = std::function<int()>;

    enum Status { kLine, kFinished, kTooLong, kFailed };

    explicit CsvLineReader(NextByte next) : next_(std::move(next)) {}
    /// The next line without its line end; kFinished at the end of the file.
    Status Next(std::string& line);
    /// Where the line last returned (or the one too long) starts, counted as an editor counts
    /// lines (LF, CR LF and a lone CR each end one), whatever the reader merged.
    int LineNumber() const { return lineNumber_; }

private:
    int Get();
    NextByte next_;
    int pending_ = kNone;
    int lineNumber_ = 0;
    int breaks_ = 0;
    int lastFetched_ = kNone;
    static constexpr int kNone = -3;
};

struct CsvPair {
    std::int32_t reference;
    float value;
};

/// "%d" from the start, the first comma, "%f" after it; nothing for a line that does not parse.
std::optional<CsvPair> ParseCsvLine(std::string_view line);

/// The point type and address a reference number names (40001 → holding register 1).
struct CsvReference {
    int pointType;
    std::int64_t address;
};
CsvReference DecodeReference(std::int64_t reference);

/// One word into `doc` when the reference lies in its block; coils and inputs take 1 for a word
/// that is positive as a signed 16-bit number, else 0.
void StoreCsvWord(CKelvaro32Doc& doc, std::int64_t reference, std::uint16_t word);

/// What the value becomes as an integer: truncated toward zero; NaN and values outside the
/// 32-bit range give 0x80000000, as the x86 conversion does.
std::int32_t TruncateToInt32(float value);

/// A document as one of its views sees it.
struct CsvTarget {
    CKelvaro32Doc* doc;
    int displayFormat;
};

/// The pair into every target, each word stored (and range-tested) by itself.
void ApplyCsvValue(const std::vector<CsvTarget>& targets, std::int32_t reference, float value);

struct CsvImportResult {
    int pairs = 0;            // pairs applied
    int tooLongLine = 0;      // non-zero: the number of the line that ended the import
    bool readError = false;
};

/// Reads every line and applies each pair, until the end, a read error or a line too long.
CsvImportResult ImportCsv(CsvLineReader::NextByte next, const std::vector<CsvTarget>& targets);

/// The command's work after its dialog (view/CsvImportCommand.cpp): "File Open Error" for a file
/// it cannot open, the import into every view, the repaint, and a message naming the line that
/// ended the import. True when the whole file was read.
bool ReadFromCsvFile(CMainFrame& frame, const std::string& path);
