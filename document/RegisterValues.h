// How values sit in a document's register words: the display formats (the per-view number format
// that document files store), the value types of simulated points, one table of the word layout
// of each, and the locked reads and writes of 32- and 64-bit values. Every other place asks here;
// adding a display format means a row in kValueLayouts, its value text and its menu entry.
#pragma once

#include <cstdint>

class CKelvaro32Doc;

/// Per-view number format; the integer is stored in document files.
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
inline constexpr int kHighestDisplayFormat = kEnronLong;

/// How a simulated point's register words form its value; the integer is stored in document files.
enum ValueType : std::int32_t {
    kValueBit = 0,
    kValueWord = 1,
    kValueFloatLowFirst = 2,
    kValueFloatHighFirst = 3,
    kValueDoubleLowFirst = 4,
    kValueDoubleHighFirst = 5,
    kValueLongLowFirst = 6,
    kValueLongHighFirst = 7,
    kValueEnronFloat = 9,
    kValueEnronLong = 10,
};

namespace regval {

inline constexpr int kMemoryWords = 1000;

/// What the words of one value mean.
enum class ValueKind : std::uint8_t { Bit, Word, Float32, Long32, Float64 };

/// One format's layout.
///
///   format                          reg r      r+1        r+2        r+3
///   Float, Long, EnronFloat/Long    bits 0-15  16-31
///   FloatSwapped, LongSwapped       16-31      0-15
///   Float64                         0-15       16-31      32-47      48-63
///   Float64Swapped                  48-63      32-47      16-31      0-15
struct ValueLayout {
    int format;            // DisplayFormat
    ValueType valueType;   // what a simulated point made in this format is
    ValueKind kind;
    int registers;         // words one value occupies
    bool lowWordFirst;     // the lowest 16 bits sit in the first register
    bool enron;            // one value per point in registers 2i, 2i+1
    int valueChars;        // width of the value text in a view column
};

// clang-format off
inline constexpr ValueLayout kValueLayouts[] = {
    //  format           value type             kind                registers low   enron  chars
    {kDecimal,        kValueWord,            ValueKind::Word,    1, false, false, 13},
    {kHex,            kValueWord,            ValueKind::Word,    1, false, false, 13},
    {kFloat,          kValueFloatLowFirst,   ValueKind::Float32, 2, true,  false, 13},
    {kFloatSwapped,   kValueFloatHighFirst,  ValueKind::Float32, 2, false, false, 13},
    {kBinary,         kValueWord,            ValueKind::Word,    1, false, false, 25},
    {kFloat64,        kValueDoubleLowFirst,  ValueKind::Float64, 4, true,  false, 13},
    {kFloat64Swapped, kValueDoubleHighFirst, ValueKind::Float64, 4, false, false, 13},
    {kLong,           kValueLongLowFirst,    ValueKind::Long32,  2, true,  false, 13},
    {kLongSwapped,    kValueLongHighFirst,   ValueKind::Long32,  2, false, false, 13},
    {kEnronFloat,     kValueEnronFloat,      ValueKind::Float32, 2, true,  true,  13},
    {kEnronLong,      kValueEnronLong,       ValueKind::Long32,  2, true,  true,  13},
};
/// Coils and inputs: one word holding 0 or 1.
inline constexpr ValueLayout kBitLayout{kDecimal, kValueBit, ValueKind::Bit, 1, false, false, 13};
// clang-format on

static_assert(sizeof kValueLayouts / sizeof kValueLayouts[0] == kHighestDisplayFormat + 1);

constexpr bool IsDisplayFormat(int format) { return format >= 0 && format <= kHighestDisplayFormat; }

/// The layout of `format`; an unknown number is shown as Decimal.
constexpr const ValueLayout& LayoutOf(int format)
{
    return kValueLayouts[IsDisplayFormat(format) ? format : kDecimal];
}

/// The layout a simulated point of `valueType` has; null for a number no format makes.
constexpr const ValueLayout* LayoutOfValueType(int valueType)
{
    if (valueType == kValueBit)
        return &kBitLayout;
    for (const ValueLayout& l : kValueLayouts)
        if (l.valueType == valueType)
            return &l;
    return nullptr;
}

constexpr ValueKind KindOf(int format) { return LayoutOf(format).kind; }
constexpr bool IsFloatFormat(int format) { return KindOf(format) == ValueKind::Float32; }
constexpr bool IsLongFormat(int format) { return KindOf(format) == ValueKind::Long32; }
constexpr bool IsDoubleFormat(int format) { return KindOf(format) == ValueKind::Float64; }

// Reading a value in a format of another kind (a float in Decimal, say) takes the high word
// first; that matches what a view shows after a format change.
/// True when a 32-bit float in `format` keeps its low word in the first register.
constexpr bool FloatLowWordFirst(int format) { return IsFloatFormat(format) && LayoutOf(format).lowWordFirst; }
/// True when a signed 32-bit long in `format` keeps its low word in the first register.
constexpr bool LongLowWordFirst(int format) { return IsLongFormat(format) && LayoutOf(format).lowWordFirst; }
/// True when a 64-bit double in `format` keeps bits 0-15 in the first register.
constexpr bool DoubleLowWordFirst(int format) { return IsDoubleFormat(format) && LayoutOf(format).lowWordFirst; }

/// Registers one value of `format` occupies (ENRON formats: two per point).
constexpr int RegistersPerValue(int format) { return LayoutOf(format).registers; }

/// True when registers reg .. reg+words-1 all lie inside the 1000-word memory.
constexpr bool WordsFit(int reg, int words) { return reg >= 0 && words >= 0 && reg <= kMemoryWords - words; }

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

// ---- Reads and writes -------------------------------------------------------------------------

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

// Typed values at register `reg` in the word order of `format` (the table above); they take
// doc.valueLock inside.
float ReadFloat(const CKelvaro32Doc& doc, int reg, int format);
std::int32_t ReadLong(const CKelvaro32Doc& doc, int reg, int format);
double ReadDouble(const CKelvaro32Doc& doc, int reg, int format);
void WriteFloat(CKelvaro32Doc& doc, int reg, float value, int format);
void WriteLong(CKelvaro32Doc& doc, int reg, std::int32_t value, int format);
void WriteDouble(CKelvaro32Doc& doc, int reg, double value, int format);

} // namespace regval
