// Document files: the parser on the raw bytes, then the loaded contents put into a real document
// the way File Open does, and the document saved and parsed again.
#include "document/CKelvaro32Doc.h"
#include "document/DocumentFile.h"
#include "document/LogFont.h"
#include "fuzz/files/FuzzCheck.h"

#include <algorithm>
#include <cstring>

namespace {

unsigned StartOf(std::uint16_t s) { return s == 0 ? 65536u : s; }

bool SamePoint(const CAutomatePt& a, const CAutomatePt& b)
{
    // Floats compared by their bits: a NaN step in a file must come back as the same NaN.
    return a.pointIndex == b.pointIndex && a.interval == b.interval && a.valueType == b.valueType &&
           a.simulationType == b.simulationType && std::memcmp(&a.step, &b.step, 4) == 0 &&
           std::memcmp(&a.lowLimit, &b.lowLimit, 4) == 0 && std::memcmp(&a.highLimit, &b.highLimit, 4) == 0;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    DocumentFileContents c;
    const DocumentLoad load = ParseDocumentFile(data, size, c);
    if (load != DocumentLoad::kLoaded)
        return 0;

    // Four strings of at least one byte, the 8-byte header and the 1000 words must all be there.
    FUZZ_CHECK(c.version == "1.04" || c.version == "1.05" || c.version == "1.06");
    FUZZ_CHECK(size >= 3 + 5 + 8 + 2000);
    FUZZ_CHECK(c.hasSimulatedPoints == (c.version != "1.04"));
    FUZZ_CHECK(c.hasLook == (c.version == "1.06"));
    // Each point record needs 28 bytes of the file: no count is believed beyond that.
    FUZZ_CHECK(c.simulatedPoints.size() <= size / kSimulatedPointRecordSize);
    FUZZ_CHECK(c.fontBytesRead <= 60 && c.foregroundBytesRead <= 4 && c.backgroundBytesRead <= 4);
    FUZZ_CHECK(c.foregroundBytesRead == 0 || c.fontBytesRead == 60);
    FUZZ_CHECK(c.backgroundBytesRead == 0 || c.foregroundBytesRead == 4);

    CKelvaro32Doc doc{DocumentContext{}};
    ApplyDocumentFile(c, doc);

    // The block the engine will serve: never past the 1000 words, never past address 65536.
    FUZZ_CHECK(doc.pointType >= 1 && doc.pointType <= 4);
    FUZZ_CHECK(doc.deviceId != 0);
    FUZZ_CHECK(doc.length >= 1 && doc.length <= 1000);
    FUZZ_CHECK(doc.StartAddress() + doc.length - 1u <= 65536u);
    // Fields already in range are taken as they are; only the bad ones fall back. The start is
    // always kept: a block that would run past 65536 is shortened to end there.
    if (c.pointType >= 1 && c.pointType <= 4)
        FUZZ_CHECK(doc.pointType == c.pointType);
    if (c.deviceId != 0)
        FUZZ_CHECK(doc.deviceId == c.deviceId);
    FUZZ_CHECK(doc.startAddress == c.startAddress);
    const unsigned wanted = c.length >= 1 && c.length <= 1000 ? c.length : 1000u;
    FUZZ_CHECK(doc.length == std::min(wanted, 65536u - StartOf(c.startAddress) + 1));
    for (int i = 0; i < kRegisterWords; ++i)
        FUZZ_CHECK(doc.Word(i) == c.words[static_cast<std::size_t>(i)]);
    FUZZ_CHECK(doc.simulatedPoints.size() == c.simulatedPoints.size());
    const int format = DisplayFormatFromFile(c.displayFormat);
    FUZZ_CHECK(format >= 0 && format <= 10);

    // Saving what was loaded gives a current file that loads to the same document.
    const auto saved = SerializeDocument(doc, format);
    FUZZ_CHECK(saved.size() == kDocumentFileSizeWithoutPoints + kSimulatedPointRecordSize * doc.simulatedPoints.size());
    DocumentFileContents again;
    FUZZ_CHECK(ParseDocumentFile(saved, again) == DocumentLoad::kLoaded);
    FUZZ_CHECK(again.version == "1.06");
    FUZZ_CHECK(again.pointType == doc.pointType && again.deviceId == doc.deviceId);
    FUZZ_CHECK(again.startAddress == doc.startAddress && again.length == doc.length);
    FUZZ_CHECK(again.displayFormat == format);
    FUZZ_CHECK(again.words == c.words);
    FUZZ_CHECK(again.simulatedPoints.size() == c.simulatedPoints.size());
    for (std::size_t i = 0; i < c.simulatedPoints.size(); ++i)
        FUZZ_CHECK(SamePoint(again.simulatedPoints[i], c.simulatedPoints[i]));
    FUZZ_CHECK(again.fontBytesRead == 60 && again.foregroundBytesRead == 4 && again.backgroundBytesRead == 4);
    FUZZ_CHECK(again.fontBytes == LogFontToBytes(doc.font));
    // The font comes back as the file had it, except that the face name's 32nd byte is always
    // its terminator.
    FUZZ_CHECK(again.fontBytes[59] == 0);
    if (c.hasLook)
        FUZZ_CHECK(std::memcmp(again.fontBytes.data(), c.fontBytes.data(), std::min<std::size_t>(c.fontBytesRead, 59)) == 0);
    return 0;
}
