#include "view/ValueFormat.h"

#include "app/AliasTable.h"
#include "document/CKelvaro32Doc.h"

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <mutex>

namespace valuefmt {

namespace {

// Locking does not change the document's value; readers stay const for their callers.
std::mutex& LockOf(const CKelvaro32Doc& doc)
{
    return const_cast<CKelvaro32Doc&>(doc).valueLock;
}

void AppendInt(std::string& out, long long value)
{
    char buf[24];
    auto res = std::to_chars(buf, buf + sizeof buf, value);
    out.append(buf, res.ptr);
}

// Appends `value` right-aligned in `width` characters, blanks after "<" turned into zeros
// for the first `zeroFill` positions (the C original patched a "%5d"-style buffer the same way).
void AppendPaddedZeroFilled(std::string& out, long long value, int width, int zeroFill)
{
    char buf[24];
    auto res = std::to_chars(buf, buf + sizeof buf, value);
    int len = static_cast<int>(res.ptr - buf);
    std::size_t start = out.size();
    for (int pad = width - len; pad > 0; --pad)
        out.push_back(' ');
    out.append(buf, res.ptr);
    for (int k = 0; k < zeroFill && start + static_cast<std::size_t>(k) < out.size(); ++k)
        if (out[start + static_cast<std::size_t>(k)] == ' ')
            out[start + static_cast<std::size_t>(k)] = '0';
}

constexpr char kHexDigits[] = "0123456789ABCDEF";

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

// ---- Texts ------------------------------------------------------------------------------------

int AliasWidth(const AliasTable& aliases)
{
    int n = aliases.LongestAliasLength();
    return n == 0 ? 5 : n;
}

void AppendLabel(std::string& out, int pointType, unsigned address, const AliasTable& aliases)
{
    if (!aliases.Entries().empty()) {
        std::string alias = aliases.GetAlias(pointType, static_cast<int>(address));
        if (!alias.empty()) {
            out += alias; // literally, whatever its length or characters
            return;
        }
    }
    char digit = pointType == 1 ? '0' : pointType == 2 ? '1' : pointType == 3 ? '4' : pointType == 4 ? '3' : '0';
    out.push_back(digit);
    AppendPaddedZeroFilled(out, address, 4, 3);
    out.push_back(':');
}

std::string Label(int pointType, unsigned address, const AliasTable& aliases)
{
    std::string out;
    AppendLabel(out, pointType, address, aliases);
    return out;
}

void AppendFloatText(std::string& out, double value)
{
    // Two ordered comparisons: NaN passes both and is printed as it is.
    if (value < -999999999.99 || value > 999999999.99) {
        out += "  ?????";
        return;
    }
    out += "  ";
    if (std::isnan(value)) {
        char buf[16];
        int n = std::snprintf(buf, sizeof buf, "%5.4f", value);
        out.append(buf, static_cast<std::size_t>(n > 0 ? n : 0));
        return;
    }
    char buf[32];
    auto res = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed, 4);
    out.append(buf, res.ptr); // at least "0.0000": the width 5 never pads
}

void AppendValueText(std::string& out, const CKelvaro32Doc& doc, int index, int& format, bool enronMode)
{
    if (index < 0 || index >= kMemoryWords)
        return;
    const int type = doc.pointType;
    if (type == 1 || type == 2) {
        out += doc.Word(index) != 0 ? " <1>" : " <0>";
        return;
    }
    if (type != 3 && type != 4)
        return;

    if (EnronApplies(type, doc.startAddress, enronMode)) {
        format = EnronFormat(doc.startAddress);
        const int reg = 2 * index;
        if (!WordsFit(reg, 2))
            return; // a block longer than 500 under ENRON would run past word 999
        std::uint32_t raw = ReadU32(doc, reg, true);
        if (format == kEnronLong) {
            out += " <";
            AppendPaddedZeroFilled(out, static_cast<std::int32_t>(raw), 8, 7);
            out.push_back('>');
        } else {
            AppendFloatText(out, std::bit_cast<float>(raw));
        }
        return;
    }

    const int length = doc.length;
    const std::uint16_t v = doc.Word(index);
    switch (format) {
    case kFloat:
    case kFloatSwapped:
        if (index % 2 != 0 || index >= length - 1)
            return;
        AppendFloatText(out, ReadFloat(doc, index, format));
        return;
    case kLong:
    case kLongSwapped:
        if (index % 2 != 0 || index >= length - 1)
            return;
        out += "  ";
        AppendInt(out, ReadLong(doc, index, format));
        return;
    case kFloat64:
    case kFloat64Swapped:
        if (index % 4 != 0 || index >= length - 3)
            return;
        AppendFloatText(out, ReadDouble(doc, index, format));
        return;
    case kHex:
        out += " <";
        for (int shift = 12; shift >= 0; shift -= 4)
            out.push_back(kHexDigits[(v >> shift) & 0xF]);
        out += "H>";
        return;
    case kBinary:
        out += " <";
        for (int bit = 15; bit >= 0; --bit)
            out.push_back((v >> bit) & 1 ? '1' : '0');
        out.push_back('>');
        return;
    default:
        out += " <";
        AppendPaddedZeroFilled(out, v, 5, 4);
        out.push_back('>');
        return;
    }
}

std::string ValueText(const CKelvaro32Doc& doc, int index, int& format, bool enronMode)
{
    std::string out;
    AppendValueText(out, doc, index, format, enronMode);
    return out;
}

void FormatItem(std::string& out, const CKelvaro32Doc& doc, int index, int& format, bool enronMode,
                const AliasTable& aliases)
{
    out.clear();
    AppendLabel(out, doc.pointType, doc.StartAddress() + static_cast<unsigned>(index), aliases);
    AppendValueText(out, doc, index, format, enronMode);
}

} // namespace valuefmt
