#include "document/JsonFields.h"

#include <cmath>
#include <sstream>

namespace {

bool IsWhole(double d) { return std::isfinite(d) && std::floor(d) == d; }

}  // namespace

std::string FieldNamesError(const nlohmann::json& object, std::span<const char* const> known)
{
    if (!object.is_object())
        return "must be an object";
    for (const auto& [key, value] : object.items()) {
        bool listed = false;
        for (const char* name : known)
            listed = listed || key == name;
        if (!listed)
            return "unknown field \"" + key + "\"";
    }
    return {};
}

std::optional<std::int64_t> JsonFieldReader::Integer(const char* name, std::int64_t low, std::int64_t high)
{
    const auto it = object_.find(name);
    if (it == object_.end() || Failed())
        return std::nullopt;
    if (!it->is_number_integer() && !(it->is_number_float() && IsWhole(it->get<double>()))) {
        Fail(name, "must be a whole number");
        return std::nullopt;
    }
    const double d = it->get<double>();
    if (d < static_cast<double>(low) || d > static_cast<double>(high)) {
        Fail(name, "must be " + std::to_string(low) + " to " + std::to_string(high));
        return std::nullopt;
    }
    // Integers as they are: through the double, one above 2^53 would lose its last digits.
    if (it->is_number_unsigned())
        return static_cast<std::int64_t>(it->get<std::uint64_t>());
    if (it->is_number_integer())
        return it->get<std::int64_t>();
    return static_cast<std::int64_t>(d);
}

std::optional<double> JsonFieldReader::Number(const char* name, double low, double high)
{
    const auto it = object_.find(name);
    if (it == object_.end() || Failed())
        return std::nullopt;
    if (!it->is_number()) {
        Fail(name, "must be a number");
        return std::nullopt;
    }
    const double d = it->get<double>();
    if (!(d >= low && d <= high)) {
        std::ostringstream range;
        range.precision(rangeDigits_);
        range << "must be " << low << " to " << high;
        Fail(name, range.str());
        return std::nullopt;
    }
    return d;
}

std::optional<std::string> JsonFieldReader::Text(const char* name)
{
    const auto it = object_.find(name);
    if (it == object_.end() || Failed())
        return std::nullopt;
    if (!it->is_string()) {
        Fail(name, "must be a text");
        return std::nullopt;
    }
    return it->get<std::string>();
}

std::optional<bool> JsonFieldReader::Flag(const char* name)
{
    const auto it = object_.find(name);
    if (it == object_.end() || Failed())
        return std::nullopt;
    if (!it->is_boolean()) {
        Fail(name, "must be true or false");
        return std::nullopt;
    }
    return it->get<bool>();
}

void JsonFieldReader::Fail(const std::string& field, const std::string& why)
{
    if (error_.empty())
        error_ = "field \"" + field + "\": " + why;
}

void JsonFieldReader::Require(const char* name, const std::string& what)
{
    if (!Failed() && !Has(name))
        Fail(name, "missing (" + what + ")");
}

void JsonFieldReader::OnlyWith(const char* name, bool allowed, const std::string& what)
{
    if (!Failed() && Has(name) && !allowed)
        Fail(name, "only with " + what);
}
