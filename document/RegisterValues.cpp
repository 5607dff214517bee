#include "document/RegisterValues.h"

#include "document/CKelvaro32Doc.h"

#include <bit>
#include <mutex>

namespace regval {

namespace {

// Locking does not change the document's value; readers stay const for their callers.
std::mutex& LockOf(const CKelvaro32Doc& doc)
{
    return const_cast<CKelvaro32Doc&>(doc).valueLock;
}

} // namespace

// ---- Words ------------------------------------------------------------------------------------

std::uint32_t PeekU32(const CKelvaro32Doc& doc, int reg, bool lowFirst)
{
    if (!WordsFit(reg, 2))
        return 0;
    std::uint32_t a = doc.Word(reg), b = doc.Word(reg + 1);
    return lowFirst ? (b << 16) | a : (a << 16) | b;
}

std::uint64_t PeekU64(const CKelvaro32Doc& doc, int reg, bool lowFirst)
{
    if (!WordsFit(reg, 4))
        return 0;
    std::uint64_t v = 0;
    for (int k = 0; k < 4; ++k) {
        std::uint64_t w = doc.Word(reg + k);
        v |= w << (16 * (lowFirst ? k : 3 - k));
    }
    return v;
}

void PokeU32(CKelvaro32Doc& doc, int reg, std::uint32_t value, bool lowFirst)
{
    if (!WordsFit(reg, 2))
        return;
    auto lo = static_cast<std::uint16_t>(value), hi = static_cast<std::uint16_t>(value >> 16);
    doc.SetWord(reg, lowFirst ? lo : hi);
    doc.SetWord(reg + 1, lowFirst ? hi : lo);
}

void PokeU64(CKelvaro32Doc& doc, int reg, std::uint64_t value, bool lowFirst)
{
    if (!WordsFit(reg, 4))
        return;
    for (int k = 0; k < 4; ++k)
        doc.SetWord(reg + k, static_cast<std::uint16_t>(value >> (16 * (lowFirst ? k : 3 - k))));
}

std::uint32_t ReadU32(const CKelvaro32Doc& doc, int reg, bool lowFirst)
{
    std::lock_guard lock(LockOf(doc));
    return PeekU32(doc, reg, lowFirst);
}

std::uint64_t ReadU64(const CKelvaro32Doc& doc, int reg, bool lowFirst)
{
    std::lock_guard lock(LockOf(doc));
    return PeekU64(doc, reg, lowFirst);
}

void WriteU32(CKelvaro32Doc& doc, int reg, std::uint32_t value, bool lowFirst)
{
    std::lock_guard lock(doc.valueLock);
    PokeU32(doc, reg, value, lowFirst);
}

void WriteU64(CKelvaro32Doc& doc, int reg, std::uint64_t value, bool lowFirst)
{
    std::lock_guard lock(doc.valueLock);
    PokeU64(doc, reg, value, lowFirst);
}

float ReadFloat(const CKelvaro32Doc& doc, int reg, int format)
{
    return std::bit_cast<float>(ReadU32(doc, reg, FloatLowWordFirst(format)));
}

std::int32_t ReadLong(const CKelvaro32Doc& doc, int reg, int format)
{
    return static_cast<std::int32_t>(ReadU32(doc, reg, LongLowWordFirst(format)));
}

double ReadDouble(const CKelvaro32Doc& doc, int reg, int format)
{
    return std::bit_cast<double>(ReadU64(doc, reg, DoubleLowWordFirst(format)));
}

void WriteFloat(CKelvaro32Doc& doc, int reg, float value, int format)
{
    WriteU32(doc, reg, std::bit_cast<std::uint32_t>(value), FloatLowWordFirst(format));
}

void WriteLong(CKelvaro32Doc& doc, int reg, std::int32_t value, int format)
{
    WriteU32(doc, reg, static_cast<std::uint32_t>(value), LongLowWordFirst(format));
}

void WriteDouble(CKelvaro32Doc& doc, int reg, double value, int format)
{
    WriteU64(doc, reg, std::bit_cast<std::uint64_t>(value), DoubleLowWordFirst(format));
}

bool EnronApplies(const CKelvaro32Doc& doc, bool enronMode)
{
    return EnronApplies(doc.pointType, doc.startAddress, enronMode);
}

} // namespace regval
