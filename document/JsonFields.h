// Typed fields of one JSON object, read as fault rules, generators, reactions and scripts give
// them: the first field that is wrong ends the reading, with a message that names it
// ("field \"unit\": must be 1 to 255").
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <span>
#include <string>

/// Empty when `object` is an object whose every key is one of `known`; else why not:
/// "must be an object", or "unknown field \"colour\"" for the first other key.
std::string FieldNamesError(const nlohmann::json& object, std::span<const char* const> known);

/// Reads fields of `object`. An absent field reads as nullopt; a wrong one leaves its message in
/// `error`, and from then on every read is nullopt and every further failure is dropped.
class JsonFieldReader {
public:
    /// `rangeDigits`: significant digits of the bounds a number's message gives.
    JsonFieldReader(const nlohmann::json& object, std::string& error, int rangeDigits = 17)
        : object_(object), error_(error), rangeDigits_(rangeDigits)
    {
    }

    bool Failed() const { return !error_.empty(); }
    bool Has(const char* name) const { return object_.contains(name); }

    /// A whole number (2.0 counts as one) from `low` to `high`.
    std::optional<std::int64_t> Integer(const char* name, std::int64_t low, std::int64_t high);
    /// Any number from `low` to `high`.
    std::optional<double> Number(const char* name, double low, double high);
    std::optional<std::string> Text(const char* name);
    std::optional<bool> Flag(const char* name);

    /// "field \"<field>\": <why>", unless an earlier failure stands.
    void Fail(const std::string& field, const std::string& why);
    /// An absent field: "missing (<what>)".
    void Require(const char* name, const std::string& what);
    /// A field present where it does not belong: "only with <what>". It says the object is not
    /// what its writer thinks.
    void OnlyWith(const char* name, bool allowed, const std::string& what);

private:
    const nlohmann::json& object_;
    std::string& error_;
    int rangeDigits_;
};
