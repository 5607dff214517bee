#include "document/DocumentFile.h"

#include "document/Archive.h"
#include "document/CKelvaro32Doc.h"
#include "document/IniDefaults.h"
#include "document/RegisterValues.h"

#include <algorithm>
#include <cstring>
#include <mutex>

namespace {

constexpr const char* kWrittenVersion = "1.06";

// A raw read that takes what is left, up to `size` bytes, and never fails.
std::size_t ReadUpTo(ArchiveReader& in, std::uint8_t* out, std::size_t size)
{
    const std::size_t n = std::min(size, in.Remaining());
    if (n > 0)
        in.Raw(out, n);
    return n;
}

} // namespace

DocumentLoad ParseDocumentFile(const std::uint8_t* data, std::size_t size, DocumentFileContents& c)
{
    c = DocumentFileContents{};
    ArchiveReader in(data, size);
    for (int i = 0; i < 3; ++i)
        if (!in.String())
            return DocumentLoad::kUnexpectedFormat;
    auto version = in.String();
    if (!version)
        return DocumentLoad::kUnexpectedFormat;
    c.version = *version;
    const bool v104 = c.version == "1.04";
    const bool v105 = c.version == "1.05";
    const bool v106 = c.version == "1.06";
    if (!v104 && !v105 && !v106)
        return DocumentLoad::kUnknownVersion;

    auto pointType = in.U8();
    auto deviceId = in.U8();
    auto start = in.U16();
    auto length = in.U16();
    auto format = in.U16();
    if (!format)   // the reader stays failed after the first short read
        return DocumentLoad::kUnexpectedFormat;
    c.pointType = *pointType;
    c.deviceId = *deviceId;
    c.startAddress = *start;
    c.length = *length;
    c.displayFormat = *format;
    for (auto& word : c.words) {
        auto w = in.U16();
        if (!w)
            return DocumentLoad::kUnexpectedFormat;
        word = *w;
    }

    if (!v104) {
        auto n = in.I32();
        if (!n)
            return DocumentLoad::kUnexpectedFormat;
        c.hasSimulatedPoints = true;
        if (*n > 0) {
            // The count is only believed as far as the file has bytes for it.
            const auto count = static_cast<std::size_t>(*n);
            if (in.Remaining() / kSimulatedPointRecordSize < count)
                return DocumentLoad::kUnexpectedFormat;
            c.simulatedPoints.reserve(count);
            for (std::size_t i = 0; i < count; ++i) {
                CAutomatePt p;
                p.pointIndex = *in.I32();
                p.interval = *in.I32();
                p.valueType = *in.I32();
                p.simulationType = *in.I32();
                p.step = *in.F32();
                p.lowLimit = *in.F32();
                p.highLimit = *in.F32();
                p.tickCounter = 0;
                c.simulatedPoints.push_back(p);
            }
        }
    }

    if (v106) {
        c.hasLook = true;
        c.fontBytesRead = ReadUpTo(in, c.fontBytes.data(), c.fontBytes.size());
        c.foregroundBytesRead = ReadUpTo(in, c.foregroundBytes.data(), 4);
        c.backgroundBytesRead = ReadUpTo(in, c.backgroundBytes.data(), 4);
    }
    return DocumentLoad::kLoaded;
}

int DisplayFormatFromFile(std::uint16_t stored)
{
    return regval::IsDisplayFormat(stored) ? int{stored} : int{kDecimal};
}

void ApplyDocumentFile(const DocumentFileContents& c, CKelvaro32Doc& doc)
{
    BlockDefaults block;
    block.pointType = c.pointType;
    block.deviceId = c.deviceId;
    block.startAddress = c.startAddress;
    block.length = c.length;
    block = SanitizeBlock(block);
    doc.pointType = block.pointType;
    doc.deviceId = block.deviceId;
    doc.startAddress = block.startAddress;
    doc.length = block.length;
    {
        std::lock_guard lock(doc.valueLock);
        for (int i = 0; i < kRegisterWords; ++i)
            doc.SetWord(i, c.words[static_cast<std::size_t>(i)]);
    }

    doc.simulatedPoints.clear();
    for (const CAutomatePt& p : c.simulatedPoints)
        doc.AddSimulatedPoint(std::make_unique<CAutomatePt>(p));

    if (c.hasLook) {
        // A file cut inside these fields keeps the rest of each field as it was.
        auto font = LogFontToBytes(doc.font);
        std::memcpy(font.data(), c.fontBytes.data(), c.fontBytesRead);
        doc.font = LogFontFromBytes(font.data());
        auto overlay = [](Colour& colour, const std::array<std::uint8_t, 4>& bytes, std::size_t n) {
            for (std::size_t i = 0; i < n; ++i)
                colour = (colour & ~(0xFFu << (8 * i))) | (static_cast<Colour>(bytes[i]) << (8 * i));
        };
        overlay(doc.foreground, c.foregroundBytes, c.foregroundBytesRead);
        overlay(doc.background, c.backgroundBytes, c.backgroundBytesRead);
    }
}

std::vector<std::uint8_t> SerializeDocument(CKelvaro32Doc& doc, int displayFormat)
{
    ArchiveWriter out;
    for (int i = 0; i < 3; ++i)
        out.String("");
    out.String(kWrittenVersion);
    out.U8(doc.pointType);
    out.U8(doc.deviceId);
    out.U16(doc.startAddress);
    out.U16(doc.length);
    out.U16(static_cast<std::uint16_t>(displayFormat));
    {
        // One snapshot: a master writing a float meanwhile is either all in or all out.
        std::lock_guard lock(doc.valueLock);
        for (int i = 0; i < kRegisterWords; ++i)
            out.U16(doc.Word(i));
    }
    out.I32(static_cast<std::int32_t>(doc.simulatedPoints.size()));
    for (const auto& p : doc.simulatedPoints) {
        out.I32(p->pointIndex);
        out.I32(p->interval);
        out.I32(p->valueType);
        out.I32(p->simulationType);
        out.F32(p->step);
        out.F32(p->lowLimit);
        out.F32(p->highLimit);
    }
    const auto font = LogFontToBytes(doc.font);
    out.Raw(font.data(), font.size());
    out.U32(doc.foreground);
    out.U32(doc.background);
    return out.Bytes();
}
