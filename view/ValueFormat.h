// The texts of a point item (label + value text) and the word order of values that span several
// registers. Plain code: used by the view, point editing, CSV import, simulation and automation.
#pragma once

#include <cstdint>
#include <string>

class AliasTable;
class CKelvaro32Doc;

/// Per-view number format; the integer is stored in document files and selects the word order.
enum DisplayFormat : int {
    kDecimal = 0,
    kHex = 1,
    kFloat = 2,
    kFloatSwapped = 3,
    kBinary = 4,
    kFloat64 = 5,
    kFloat64Swapped = 6,
    kLong = 7,
    kLongSwapped = 8,
    kEnronFloat = 9,
    kEnronLong = 10,
};

namespace valuefmt {

inline constexpr int kMemoryWords = 1000;

// ---- Word order -------------------------------------------------------------------------------
//
//   format                          reg r      r+1        r+2        r+3
//   Float, Long, EnronFloat/Long    bits 0-15  16-31
//   FloatSwapped, LongSwapped       16-31      0-15
//   Float64                         0-15       16-31      32-47      48-63
//   Float64Swapped                  48-63      32-47      16-31      0-15
//
// Reading a float in a format that is not a float format (say Decimal) takes the high word first;
// the same holds for longs and doubles. That matches what the view shows after a format change.

/// True when a 32-bit float in `format` keeps its low word in the first register.
constexpr bool FloatLowWordFirst(int format) { return format == kFloat || format == kEnronFloat; }
/// True when a signed 32-bit long in `format` keeps its low word in the first register.
constexpr bool LongLowWordFirst(int format) { return format == kLong || format == kEnronLong; }
/// True when a 64-bit double in `format` keeps bits 0-15 in the first register.
constexpr bool DoubleLowWordFirst(int format) { return format == kFloat64; }

/// Registers one value of `format` occupies (ENRON formats: two per point).
constexpr int RegistersPerValue(int format)
{
    switch (format) {
    case kFloat: case kFloatSwapped: case kLong: case kLongSwapped: case kEnronFloat: case kEnronLong:
        return 2;
    case kFloat64: case kFloat64Swapped:
        return 4;
    default:
        return 1;
    }
}

/// True when registers reg .. reg+words-1 all lie inside the 1000-word memory.
constexpr bool WordsFit(int reg, int words) { return reg >= 0 && words >= 0 && reg <= kMemoryWords - words; }

// Raw words. The Peek/Poke forms do not lock: the caller holds doc.valueLock (useful for a
// read-modify-write). Out-of-range registers read as 0 and are never written.
std::uint32_t PeekU32(const CKelvaro32Doc& doc, int reg, bool lowFirst);
std::uint64_t PeekU64(const CKelvaro32Doc& doc, int reg, bool lowFirst);
void PokeU32(CKelvaro32Doc& doc, int reg, std::uint32_t value, bool lowFirst);
void PokeU64(CKelvaro32Doc& doc, int reg, std::uint64_t value, bool lowFirst);

// The same under doc.valueLock (taken inside: do not call while holding it).
std::uint32_t ReadU32(const CKelvaro32Doc& doc, int reg, bool lowFirst);
std::uint64_t ReadU64(const CKelvaro32Doc& doc, int reg, bool lowFirst);
void WriteU32(CKelvaro32Doc& doc, int reg, std::uint32_t value, bool lowFirst);
void WriteU64(CKelvaro32Doc& doc, int reg, std::uint64_t value, bool lowFirst);

// Typed values at register `reg` in the word order of `format` (see the table above); they take
// doc.valueLock inside.
float ReadFloat(const CKelvaro32Doc& doc, int reg, int format);
std::int32_t ReadLong(const CKelvaro32Doc& doc, int reg, int format);
double ReadDouble(const CKelvaro32Doc& doc, int reg, int format);
void WriteFloat(CKelvaro32Doc& doc, int reg, float value, int format);
void WriteLong(CKelvaro32Doc& doc, int reg, std::int32_t value, int format);
void WriteDouble(CKelvaro32Doc& doc, int reg, double value, int format);

// ---- ENRON ------------------------------------------------------------------------------------

/// A register block (type 3/4) at a stored start 5000..5999 or above 6999 while EnronMode is set
/// holds one 32-bit value per point, in registers 2i and 2i+1.
constexpr bool EnronApplies(int pointType, unsigned storedStart, bool enronMode)
{
    return enronMode && (pointType == 3 || pointType == 4)
        && ((storedStart >= 5000 && storedStart <= 5999) || storedStart > 6999);
}
bool EnronApplies(const CKelvaro32Doc& doc, bool enronMode);
/// The format an ENRON block forces: EnronLong for 5000..5999, EnronFloat above.
constexpr int EnronFormat(unsigned storedStart) { return storedStart <= 5999 ? kEnronLong : kEnronFloat; }

// ---- Texts ------------------------------------------------------------------------------------

/// Alias width for column layout: the longest alias, or 5 when there is none.
int AliasWidth(const AliasTable& aliases);

/// Appends the label of (pointType, address 1..65536) to `out`: the alias literally when there is
/// one, else "40001:" style.
void AppendLabel(std::string& out, int pointType, unsigned address, const AliasTable& aliases);
std::string Label(int pointType, unsigned address, const AliasTable& aliases);

/// Appends the value text of point `index` to `out`. `format` is the view's format; the ENRON
/// rule may change it to EnronLong/EnronFloat. Points whose registers would lie past word 999
/// (an ENRON block longer than 500) get an empty text.
void AppendValueText(std::string& out, const CKelvaro32Doc& doc, int index, int& format, bool enronMode);
std::string ValueText(const CKelvaro32Doc& doc, int index, int& format, bool enronMode);

/// Label followed by value text, into `out` (cleared first; keeps its capacity).
void FormatItem(std::string& out, const CKelvaro32Doc& doc, int index, int& format, bool enronMode,
                const AliasTable& aliases);

/// The float rule: "  ?????" outside +-999999999.99, else "  %5.4f" (NaN printed as it comes).
void AppendFloatText(std::string& out, double value);

} // namespace valuefmt
