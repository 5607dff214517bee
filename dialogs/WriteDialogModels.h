// The values and checks of the five point write dialogs, without any window. Point editing fills
// the members, the dialog shows them, and Update takes them back through the Exchange calls.
#pragma once

#include "dialogs/FieldText.h"

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

class CKelvaro32Doc;

namespace writedlg {

// Control ids (object names "control<id>").
inline constexpr int kIdAddress = 1013;
inline constexpr int kIdValue = 1014;
inline constexpr int kIdAlias = 1015;
inline constexpr int kIdAutoSimulation = 1000;
inline constexpr int kIdCoilOff = 1015;
inline constexpr int kIdCoilOn = 1016;
inline constexpr int kIdCoilAlias = 1017;
inline constexpr int kIdBinaryAddress = 1024;
inline constexpr int kIdBinaryAddressLabel = 1025;
inline constexpr int kIdBinaryAlias = 1026;
inline constexpr int kIdFirstBit = 1008; // box 1008 + k is bit 15 - k

inline constexpr const char* kHexRangeText = "Please Enter a Value between 0000 and ffff";
inline constexpr const char* kHexRangeCaption = "Invalid HEX Character";

/// How a write dialog ended.
enum class DialogEnd { kUpdate, kCancel };

/// CWrReg: a register as a decimal integer (also 32-bit longs).
struct WrRegModel {
    CKelvaro32Doc* document = nullptr;
    std::int32_t pointIndex = 0;
    std::int32_t valueType = 1;
    std::int32_t address = 0;
    std::int32_t value = 0;
    std::string alias;   // stored bytes (Windows-1252)

    /// Update: address (1..65536), value (any 32-bit integer), alias, in that order.
    fieldtext::FieldCheck Exchange(std::string_view addressText, std::string_view valueText, std::string_view aliasText);
};

/// CHexReg: a register in hexadecimal; the value field is checked when it loses the focus.
struct HexRegModel {
    CKelvaro32Doc* document = nullptr;
    std::int32_t pointIndex = 0;
    std::int32_t value = 0;
    std::int32_t address = 0;
    std::string alias;   // stored bytes (Windows-1252)

    /// The value's low 16 bits as four upper-case hex digits.
    std::string ValueText() const;
    /// The focus-loss check of the value field: accepted text (at most its first 19 characters,
    /// hex digits only, not above FFFF, empty = 0) becomes the value. False when refused.
    bool TakeValueText(std::string_view text);
    /// Update: address (1..65536), alias. The value field takes no part.
    fieldtext::FieldCheck Exchange(std::string_view addressText, std::string_view aliasText);
};

/// CWrBinary: a register as sixteen check boxes.
struct WrBinaryModel {
    std::uint16_t value = 0;
    std::int32_t address = 0;
    std::string alias;   // stored bytes (Windows-1252)

    /// Whether box `id` (1008..1023) shows as checked.
    bool BoxChecked(int id) const;
    /// Update: the value from the boxes (index k = box 1008 + k), then address (1..65536), alias.
    fieldtext::FieldCheck Exchange(const std::array<bool, 16>& boxes, std::string_view addressText,
                                   std::string_view aliasText);
};

/// CWrCoil: a coil or input; Off/On set the value to 0/1, untouched it stays as set.
struct WrCoilModel {
    std::int32_t value = 0;
    CKelvaro32Doc* document = nullptr;
    std::int32_t pointIndex = 0;
    std::int32_t address = 0;
    std::string alias;   // stored bytes (Windows-1252)

    bool OnChecked() const { return value != 0; }
    void ClickOff() { value = 0; }
    void ClickOn() { value = 1; }
    /// Update: address (1..65536), alias.
    fieldtext::FieldCheck Exchange(std::string_view addressText, std::string_view aliasText);
};

/// CWrFltDlg: a floating-point value.
struct WrFltModel {
    CKelvaro32Doc* document = nullptr;
    std::int32_t pointIndex = 0;
    std::int32_t valueType = 2;
    std::int32_t address = 0;
    float value = 0.0f;
    std::string alias;   // stored bytes (Windows-1252)

    bool valueKept = false;   // Update took the shown "nan" / "inf" as it was

    std::string ValueText() const { return fieldtext::FormatNumber(value); }
    /// Update: address (0..65535), value (a number), alias. A value that is no number (NaN,
    /// infinity) cannot be typed, but its own text, left as shown, keeps it (valueKept), so that
    /// an alias-only edit of such a point is possible.
    fieldtext::FieldCheck Exchange(std::string_view addressText, std::string_view valueText, std::string_view aliasText);
};

} // namespace writedlg
