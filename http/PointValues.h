// /points/{unit}/{ref}: a reference as kelvaro64-ctl takes it, a value name of the set-up extras
// and its words, read and written through the automation methods (the same word layout as the
// Python client's typed values: the low-order word at the reference unless swapped). Plain code.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

class MethodRegistry;

namespace web {

enum class ValueName { Bit, Int16, Uint16, Int32, Uint32, Int64, Uint64, Float32, Float64 };

/// "bit", "int16", ... "float64"; nullopt for any other text.
std::optional<ValueName> ParseValueName(std::string_view text);
/// The words a value takes: 1, 2 or 4.
int WordCount(ValueName name);

/// A point as the documents count it: type 1 coils, 2 inputs, 3 holding registers, 4 input
/// registers; address 1..65536.
struct PointRef {
    int pointType = 0;
    std::uint32_t address = 0;
    bool operator==(const PointRef&) const = default;
};

/// "40001" (the first digit of five says the type, four or fewer digits a coil), "400001" (six
/// digits: addresses past 9999), "00017" a coil, "10001" an input, "30001" an input register.
/// 2xxxx, address 0 and anything not all digits are refused, with why in `error`.
std::optional<PointRef> ParsePointRef(std::string_view text, std::string& error);

/// The value the words hold, words[0] at the reference. Floats that are not finite come out as
/// "NaN", "Infinity" or "-Infinity", as automation gives them.
nlohmann::json ValueFromWords(ValueName name, std::span<const std::uint16_t> words, bool swapped);
/// The words of `value` (a JSON number; true/false or 0/1 for a bit; "NaN", "Infinity",
/// "-Infinity" for floats). nullopt with why in `error` when it is not such a value or does not
/// fit the name.
std::optional<std::vector<std::uint16_t>> WordsFromValue(ValueName name, const nlohmann::json& value, bool swapped,
                                                          std::string& error);

/// What a request to /points comes to: an HTTP status and its JSON body.
struct PointAnswer {
    int status = 200;
    nlohmann::json body;
};

/// Reads the value at unit/ref through the methods (call on the thread they belong to).
PointAnswer ReadPointValue(const MethodRegistry& methods, int unit, PointRef ref, ValueName name, bool swapped);
/// Writes it; nothing is written when a word of the value is not served by any document.
PointAnswer WritePointValue(const MethodRegistry& methods, int unit, PointRef ref, ValueName name, bool swapped,
                            const nlohmann::json& value);

/// An error body: {"error": code word, "message": text}.
nlohmann::json ErrorBody(std::string_view error, std::string_view message);

}  // namespace web

namespace web {

/// A whole /points request: `write` false for GET, true for PUT with `body`; `valueName` and
/// `swapped` are the query's values (nullopt when absent).
PointAnswer HandlePointRequest(const MethodRegistry& methods, bool write, std::string_view unitText,
                               std::string_view refText, const std::optional<std::string>& valueName,
                               const std::optional<std::string>& swapped, std::string_view body);

}  // namespace web
