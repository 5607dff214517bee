// The document file: block header, the 1000 words, the display format, the simulated points, the
// font and the colours. Plain code; the Open / Save commands of the application use it.
//
//   0     3 archive strings (written empty, ignored)
//   3     version string "1.04" / "1.05" / "1.06"
//   8     point type u8, device id u8, start u16, length u16, display format u16
//   16    1000 words
//   2016  n (i32), n records of 28 bytes                     ("1.05", "1.06")
//         60-byte font, foreground u32, background u32         ("1.06" only)
#pragma once

#include "document/LogFont.h"
#include "document/CAutomatePt.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

class CKelvaro32Doc;

inline constexpr std::size_t kSimulatedPointRecordSize = 28;
inline constexpr std::size_t kDocumentFileSizeWithoutPoints = 2088;

/// Everything a file holds, as read. Fields the file's version does not carry stay unset.
struct DocumentFileContents {
    std::string version;
    std::uint8_t pointType = 0;
    std::uint8_t deviceId = 0;
    std::uint16_t startAddress = 0;
    std::uint16_t length = 0;
    std::uint16_t displayFormat = 0;
    std::array<std::uint16_t, 1000> words{};
    bool hasSimulatedPoints = false;        // "1.05" and "1.06"
    std::vector<CAutomatePt> simulatedPoints;
    // The last three fields are raw reads that may stop short at the end of the file: only the
    // first `...Read` bytes of each replace the document's bytes.
    bool hasLook = false;                   // "1.06"
    std::array<std::uint8_t, 60> fontBytes{};
    std::size_t fontBytesRead = 0;
    std::array<std::uint8_t, 4> foregroundBytes{};
    std::size_t foregroundBytesRead = 0;
    std::array<std::uint8_t, 4> backgroundBytes{};
    std::size_t backgroundBytesRead = 0;
};

enum class DocumentLoad {
    kLoaded,            // a known version; `contents` is filled
    kUnknownVersion,    // a version string none of ours: the document keeps its construction values
    kUnexpectedFormat,  // the file ends before the header, words or point records are complete
};

/// Parses a document file held in memory. Never allocates by a count taken from the file.
DocumentLoad ParseDocumentFile(const std::uint8_t* data, std::size_t size, DocumentFileContents& contents);
inline DocumentLoad ParseDocumentFile(const std::vector<std::uint8_t>& bytes, DocumentFileContents& contents)
{
    return ParseDocumentFile(bytes.data(), bytes.size(), contents);
}

/// Puts a loaded file into the document: header (brought into range the way ini values are),
/// words, simulated points (replacing the old ones), then font and colours as far as the file
/// holds them. The display format is the caller's to give to the view (see DisplayFormatFromFile).
void ApplyDocumentFile(const DocumentFileContents& contents, CKelvaro32Doc& doc);

/// The stored display format as the view's format; a value no view knows shows as Decimal.
int DisplayFormatFromFile(std::uint16_t stored);

/// A version "1.06" file of the document, `displayFormat` being that of its first view.
std::vector<std::uint8_t> SerializeDocument(CKelvaro32Doc& doc, int displayFormat);
