#include "http/PointValues.h"

#include "automation/MethodRegistry.h"
#include "document/StrictJson.h"

#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <limits>

namespace web {

namespace {

struct NameInfo {
    const char* text;
    ValueName name;
    int words;
};
constexpr std::array<NameInfo, 9> kNames = {{
    {"bit", ValueName::Bit, 1},
    {"int16", ValueName::Int16, 1},
    {"uint16", ValueName::Uint16, 1},
    {"int32", ValueName::Int32, 2},
    {"uint32", ValueName::Uint32, 2},
    {"int64", ValueName::Int64, 4},
    {"uint64", ValueName::Uint64, 4},
    {"float32", ValueName::Float32, 2},
    {"float64", ValueName::Float64, 4},
}};

constexpr std::uint32_t kLastAddress = 65536;
constexpr std::int64_t kHoldingBase = 40000;  // reference of holding register 0

// The words high-order first, from the order they lie in from the reference.
std::uint64_t Assemble(std::span<const std::uint16_t> words, bool swapped) {
    std::uint64_t bits = 0;
    const std::size_t n = words.size();
    for (std::size_t i = 0; i < n; ++i)
        bits = bits << 16 | words[swapped ? i : n - 1 - i];
    return bits;
}

std::vector<std::uint16_t> Spread(std::uint64_t bits, std::size_t n, bool swapped) {
    std::vector<std::uint16_t> words(n);
    for (std::size_t i = 0; i < n; ++i) {
        const auto word = static_cast<std::uint16_t>(bits >> (16 * i));  // i-th word from the low end
        words[swapped ? n - 1 - i : i] = word;
    }
    return words;
}

nlohmann::json FloatJson(double value) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value > 0 ? "Infinity" : "-Infinity";
    return value;
}

// A float32 as the shortest decimal that reads back to the same float (2.5, not 2.5000000...).
nlohmann::json Float32Json(float value) {
    if (!std::isfinite(value)) return FloatJson(value);
    char text[32];
    const auto [end, ec] = std::to_chars(text, text + sizeof text, value);
    if (ec != std::errc()) return static_cast<double>(value);
    double shortest = 0;
    std::from_chars(text, end, shortest);
    return shortest;
}

std::optional<double> SpecialFloat(const nlohmann::json& value) {
    if (!value.is_string()) return std::nullopt;
    const std::string& s = value.get_ref<const std::string&>();
    if (s == "NaN") return std::numeric_limits<double>::quiet_NaN();
    if (s == "Infinity") return std::numeric_limits<double>::infinity();
    if (s == "-Infinity") return -std::numeric_limits<double>::infinity();
    return std::nullopt;
}

// A whole number of the value's range, from any JSON number that is one (5 and 5.0 alike).
bool WholeIn(const nlohmann::json& value, std::int64_t low, std::uint64_t high, std::uint64_t& bits) {
    if (value.is_number_unsigned()) {
        const auto v = value.get<std::uint64_t>();
        if (v > high) return false;
        bits = v;
        return true;
    }
    if (value.is_number_integer()) {
        const auto v = value.get<std::int64_t>();
        if (v < low || (v >= 0 && static_cast<std::uint64_t>(v) > high)) return false;
        bits = static_cast<std::uint64_t>(v);
        return true;
    }
    if (value.is_number_float()) {
        const double d = value.get<double>();
        // Below 2^63 and 2^64 a whole double converts exactly.
        if (!std::isfinite(d) || std::trunc(d) != d || d < static_cast<double>(low) || d >= 18446744073709551616.0)
            return false;
        if (d < 0) {
            bits = static_cast<std::uint64_t>(static_cast<std::int64_t>(d));
            return true;
        }
        const auto v = d >= 9223372036854775808.0 ? static_cast<std::uint64_t>(d) : static_cast<std::uint64_t>(static_cast<std::int64_t>(d));
        if (v > high) return false;
        bits = v;
        return true;
    }
    return false;
}

std::string Describe(int unit, PointRef ref) {
    static const char* const kTypes[] = {"", "coil", "input", "holding register", "input register"};
    return "unit " + std::to_string(unit) + ", " + kTypes[ref.pointType] + " " + std::to_string(ref.address);
}

PointAnswer NotFound(int unit, PointRef ref, ValueName name) {
    const int words = WordCount(name);
    std::string what = Describe(unit, ref);
    if (words > 1) what += " and the " + std::to_string(words - 1) + " after it";
    return {404, ErrorBody("not_found", "no document serves " + what)};
}

PointAnswer Refused(std::string message) { return {400, ErrorBody("bad_request", message)}; }

// One call of an automation method; its status when it ran (0 done, -1 no such point).
struct Call {
    int status = -1;
    nlohmann::json value;
    std::string error;  // the method refused its parameters
};

Call Run(const MethodRegistry& methods, const char* method, nlohmann::json params) {
    const MethodOutcome out = methods.Call(method, params);
    Call c;
    if (out.Failed()) {
        c.error = std::string(method) + ": " + out.errorMessage;
        return c;
    }
    c.status = out.result.value("status", -1);
    if (out.result.contains("value")) c.value = out.result["value"];
    return c;
}

// A single word: holding registers by reference as kelvaro64-ctl names them (reaching address
// 65536), the other types by type and address.
Call ReadWordAt(const MethodRegistry& m, int unit, int type, std::uint32_t address) {
    if (type == 3) return Run(m, "ReadPoint", {unit, kHoldingBase + address});
    if (address > 65535) return {};
    return Run(m, "ReadPointEx", {unit, type, address});
}

Call WriteWordAt(const MethodRegistry& m, int unit, int type, std::uint32_t address, std::uint16_t word) {
    if (type == 3) return Run(m, "WritePoint", {unit, kHoldingBase + address, word});
    if (address > 65535) return {};
    return Run(m, "WritePointEx", {unit, type, address, word});
}

// A float of two words goes through the float methods: they take the document's value lock, so
// a master never sees half of it.
Call ReadFloatAt(const MethodRegistry& m, int unit, PointRef ref, bool swapped) {
    if (ref.pointType == 3) return Run(m, "ReadFloat", {unit, kHoldingBase + ref.address, swapped});
    if (ref.address + 1 > 65535) return {};
    return Run(m, "ReadFloatEx", {unit, ref.pointType, ref.address, swapped});
}

Call WriteFloatAt(const MethodRegistry& m, int unit, PointRef ref, const nlohmann::json& value, bool swapped) {
    if (ref.pointType == 3) return Run(m, "WriteFloat", {unit, kHoldingBase + ref.address, value, swapped});
    if (ref.address + 1 > 65535) return {};
    return Run(m, "WriteFloatEx", {unit, ref.pointType, ref.address, value, swapped});
}

PointAnswer MethodError(const Call& c) { return {500, ErrorBody("internal", c.error)}; }

// The value's words as they lie from the reference; 404 when one is not served.
std::optional<PointAnswer> ReadWords(const MethodRegistry& m, int unit, PointRef ref, ValueName name,
                                     std::vector<std::uint16_t>& words) {
    const int n = WordCount(name);
    for (int i = 0; i < n; ++i) {
        const Call c = ReadWordAt(m, unit, ref.pointType, ref.address + static_cast<std::uint32_t>(i));
        if (!c.error.empty()) return MethodError(c);
        if (c.status != 0) return NotFound(unit, ref, name);
        words.push_back(c.value.is_number_unsigned() ? c.value.get<std::uint16_t>() : 0);
    }
    return std::nullopt;
}

std::optional<PointAnswer> CheckSpan(PointRef ref, ValueName name) {
    if (ref.address + static_cast<std::uint32_t>(WordCount(name)) - 1 > kLastAddress)
        return Refused("the value's words run past address 65536");
    return std::nullopt;
}

}  // namespace

nlohmann::json ErrorBody(std::string_view error, std::string_view message) {
    return nlohmann::json{{"error", std::string(error)}, {"message", std::string(message)}};
}

std::optional<ValueName> ParseValueName(std::string_view text) {
    for (const NameInfo& n : kNames)
        if (text == n.text) return n.name;
    return std::nullopt;
}

int WordCount(ValueName name) {
    for (const NameInfo& n : kNames)
        if (n.name == name) return n.words;
    return 1;
}

std::optional<PointRef> ParsePointRef(std::string_view text, std::string& error) {
    error.clear();
    if (text.empty() || text.size() > 6 || text.find_first_not_of("0123456789") != std::string_view::npos) {
        error = "reference: 1 to 6 digits (40001, 400001 past address 9999), not \"" + std::string(text.substr(0, 32)) + "\"";
        return std::nullopt;
    }
    std::uint32_t number = 0;
    std::from_chars(text.data(), text.data() + text.size(), number);
    PointRef ref;
    if (text.size() <= 4) {
        ref = {1, number};
    } else {
        // Five digits: the first says the type and four the address; six: the first and five.
        const std::uint32_t scale = text.size() == 5 ? 10000 : 100000;
        const std::uint32_t kind = number / scale;
        ref.address = number % scale;
        static constexpr int kTypeOfDigit[] = {1, 2, 0, 4, 3};
        ref.pointType = kind < 5 ? kTypeOfDigit[kind] : 0;
        if (ref.pointType == 0) {
            error = "reference " + std::string(text) + ": the first digit must be 0 (coil), 1 (input), 3 (input register) or 4 (holding register)";
            return std::nullopt;
        }
    }
    if (ref.address < 1 || ref.address > kLastAddress) {
        error = "reference " + std::string(text) + ": addresses run from 1 to 65536";
        return std::nullopt;
    }
    return ref;
}

nlohmann::json ValueFromWords(ValueName name, std::span<const std::uint16_t> words, bool swapped) {
    const std::uint64_t bits = Assemble(words, swapped);
    switch (name) {
    case ValueName::Bit: return bits != 0 ? 1 : 0;
    case ValueName::Int16: return static_cast<std::int16_t>(bits);
    case ValueName::Uint16: return static_cast<std::uint16_t>(bits);
    case ValueName::Int32: return static_cast<std::int32_t>(bits);
    case ValueName::Uint32: return static_cast<std::uint32_t>(bits);
    case ValueName::Int64: return static_cast<std::int64_t>(bits);
    case ValueName::Uint64: return bits;
    case ValueName::Float32: return Float32Json(std::bit_cast<float>(static_cast<std::uint32_t>(bits)));
    case ValueName::Float64: return FloatJson(std::bit_cast<double>(bits));
    }
    return nullptr;
}

std::optional<std::vector<std::uint16_t>> WordsFromValue(ValueName name, const nlohmann::json& value, bool swapped,
                                                          std::string& error) {
    error.clear();
    const auto n = static_cast<std::size_t>(WordCount(name));
    std::uint64_t bits = 0;
    switch (name) {
    case ValueName::Bit:
        if (value.is_boolean()) bits = value.get<bool>() ? 1 : 0;
        else if (!WholeIn(value, 0, 1, bits)) error = "a bit is 0, 1, true or false";
        break;
    case ValueName::Int16:
        if (WholeIn(value, -32768, 32767, bits)) bits &= 0xFFFF;
        else error = "int16: a whole number from -32768 to 32767";
        break;
    case ValueName::Uint16:
        if (!WholeIn(value, 0, 65535, bits)) error = "uint16: a whole number from 0 to 65535";
        break;
    case ValueName::Int32:
        if (WholeIn(value, std::numeric_limits<std::int32_t>::min(), std::numeric_limits<std::int32_t>::max(), bits))
            bits &= 0xFFFFFFFF;
        else error = "int32: a whole number from -2147483648 to 2147483647";
        break;
    case ValueName::Uint32:
        if (!WholeIn(value, 0, std::numeric_limits<std::uint32_t>::max(), bits)) error = "uint32: a whole number from 0 to 4294967295";
        break;
    case ValueName::Int64:
        if (!WholeIn(value, std::numeric_limits<std::int64_t>::min(), std::numeric_limits<std::int64_t>::max(), bits))
            error = "int64: a whole number from -9223372036854775808 to 9223372036854775807";
        break;
    case ValueName::Uint64:
        if (!WholeIn(value, 0, std::numeric_limits<std::uint64_t>::max(), bits)) error = "uint64: a whole number from 0 to 18446744073709551615";
        break;
    case ValueName::Float32:
    case ValueName::Float64: {
        std::optional<double> d = SpecialFloat(value);
        if (!d && value.is_number()) d = value.get<double>();
        const bool single = name == ValueName::Float32;
        if (!d) {
            error = std::string(single ? "float32" : "float64") + ": a number, \"NaN\", \"Infinity\" or \"-Infinity\"";
        } else if (single && std::isfinite(*d) && std::fabs(*d) > std::numeric_limits<float>::max()) {
            error = "float32: a number within ±3.4028235e38";
        } else {
            bits = single ? std::bit_cast<std::uint32_t>(static_cast<float>(*d)) : std::bit_cast<std::uint64_t>(*d);
        }
        break;
    }
    }
    if (!error.empty()) return std::nullopt;
    return Spread(bits, n, swapped);
}

PointAnswer ReadPointValue(const MethodRegistry& methods, int unit, PointRef ref, ValueName name, bool swapped) {
    if (auto refused = CheckSpan(ref, name)) return *refused;
    if (name == ValueName::Float32) {
        const Call c = ReadFloatAt(methods, unit, ref, swapped);
        if (!c.error.empty()) return MethodError(c);
        if (c.status != 0) return NotFound(unit, ref, name);
        return {200, nlohmann::json{{"value", c.value}}};
    }
    std::vector<std::uint16_t> words;
    if (auto failed = ReadWords(methods, unit, ref, name, words)) return *failed;
    return {200, nlohmann::json{{"value", ValueFromWords(name, words, swapped)}}};
}

PointAnswer WritePointValue(const MethodRegistry& methods, int unit, PointRef ref, ValueName name, bool swapped,
                            const nlohmann::json& value) {
    if (auto refused = CheckSpan(ref, name)) return *refused;
    std::string error;
    const auto words = WordsFromValue(name, value, swapped, error);
    if (!words) return Refused(error);
    // What was written, as a read gives it back (a float32 rounded, a bit as 0 or 1).
    const nlohmann::json written = ValueFromWords(name, *words, swapped);
    if (name == ValueName::Float32) {
        const Call c = WriteFloatAt(methods, unit, ref, SpecialFloat(value) ? value : nlohmann::json(value.get<double>()), swapped);
        if (!c.error.empty()) return MethodError(c);
        if (c.status != 0) return NotFound(unit, ref, name);
        return {200, nlohmann::json{{"value", written}}};
    }
    // Every word must be served before any is written, as WriteFloat does.
    if (words->size() > 1) {
        std::vector<std::uint16_t> present;
        if (auto failed = ReadWords(methods, unit, ref, name, present)) return *failed;
    }
    for (std::size_t i = 0; i < words->size(); ++i) {
        const Call c = WriteWordAt(methods, unit, ref.pointType, ref.address + static_cast<std::uint32_t>(i), (*words)[i]);
        if (!c.error.empty()) return MethodError(c);
        if (c.status != 0) return NotFound(unit, ref, name);
    }
    return {200, nlohmann::json{{"value", written}}};
}

PointAnswer HandlePointRequest(const MethodRegistry& methods, bool write, std::string_view unitText,
                               std::string_view refText, const std::optional<std::string>& valueName,
                               const std::optional<std::string>& swapped, std::string_view body) {
    int unit = -1;
    const auto [end, ec] = std::from_chars(unitText.data(), unitText.data() + unitText.size(), unit);
    if (unitText.empty() || ec != std::errc() || end != unitText.data() + unitText.size() || unit < 0 || unit > 255)
        return Refused("unit: a whole number from 0 to 255, not \"" + std::string(unitText.substr(0, 32)) + "\"");
    std::string error;
    const auto ref = ParsePointRef(refText, error);
    if (!ref) return Refused(error);
    const auto name = ParseValueName(valueName.value_or("uint16"));
    if (!name) return Refused("value: bit, int16, uint16, int32, uint32, int64, uint64, float32 or float64, not \"" + valueName->substr(0, 32) + "\"");
    bool isSwapped = false;
    if (swapped) {
        if (*swapped == "1" || *swapped == "true") isSwapped = true;
        else if (!(swapped->empty() || *swapped == "0" || *swapped == "false"))
            return Refused("swapped: 1, 0, true or false");
    }
    if (!write) return ReadPointValue(methods, unit, *ref, *name, isSwapped);

    std::optional<JsonDuplicate> duplicate;
    const nlohmann::json request = ParseJsonNoDuplicates(body, duplicate);
    if (request.is_discarded()) return Refused("the body is not JSON");
    if (duplicate) return Refused(duplicate->Path() + ": given twice");
    if (!request.is_object() || !request.contains("value") || request.size() != 1)
        return Refused("the body is {\"value\": ...} and nothing else");
    return WritePointValue(methods, unit, *ref, *name, isSwapped, request["value"]);
}

}  // namespace web
