#include "view/ValueFormat.h"

#include "document/AliasTable.h"
#include "document/CKelvaro32Doc.h"
#include "document/RegisterValues.h"

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdio>

namespace valuefmt {

using regval::ReadDouble;
using regval::ReadFloat;
using regval::ReadLong;
using regval::ReadU32;
using regval::WordsFit;
using regval::kMemoryWords;

namespace {

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

    if (regval::EnronApplies(type, doc.startAddress, enronMode)) {
        format = regval::EnronFormat(doc.startAddress);
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
