// How the dialogs read and show numbers in their edit fields. Plain code.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace fieldtext {

inline constexpr const char* kEnterInteger = "Enter an integer.";
inline constexpr const char* kEnterNumber = "Enter a number.";

/// A decimal integer from at most the first 63 characters: blanks around it, an optional sign,
/// digits. Anything else, or a value outside 32 bits, is no integer.
std::optional<std::int32_t> ParseInteger(std::string_view text);
/// A decimal number ("1e3", "-.5"): blanks around it, no hex, no inf/nan. A value beyond the
/// 32-bit float range is no number either (it would be stored as infinity).
std::optional<float> ParseNumber(std::string_view text);
/// "Enter an integer between LOW and HIGH."
std::string RangeMessage(long long low, long long high);
/// "%.*g" with precision 6.
std::string FormatNumber(float value);

/// A refused field: the control to focus and the message to show.
struct FieldError {
    int controlId;
    std::string message;
};
using FieldCheck = std::optional<FieldError>;

/// Reads an integer field that must lie in [low, high] into `member` (left alone on failure).
FieldCheck TakeInteger(std::string_view text, int controlId, std::int32_t& member,
                       long long low = INT32_MIN, long long high = INT32_MAX);
/// Reads a number field into `member` (left alone on failure).
FieldCheck TakeNumber(std::string_view text, int controlId, float& member);

/// Reads an alias field (UTF-8, as the edit holds it) into `member` as the stored Windows-1252
/// bytes; a character the code page has no byte for refuses the field (member left alone).
FieldCheck TakeAlias(std::string_view utf8, int controlId, std::string& member);

} // namespace fieldtext
