#include "automation/MethodRegistry.h"

#include <cmath>
#include <limits>

void MethodRegistry::Add(AutomationMethod method) {
    for (AutomationMethod& m : methods_)
        if (m.name == method.name) {
            m = std::move(method);
            return;
        }
    methods_.push_back(std::move(method));
}

const AutomationMethod* MethodRegistry::Find(const std::string& name) const {
    for (const AutomationMethod& m : methods_)
        if (m.name == name)
            return &m;
    return nullptr;
}

MethodOutcome MethodRegistry::Call(const std::string& name, const std::optional<nlohmann::json>& params) const {
    const AutomationMethod* method = Find(name);
    if (!method)
        return MethodOutcome::Error(rpc::kMethodNotFound, "Method not found: " + name);
    const std::size_t count = method->params.size();
    if (!(params ? params->is_array() : count == 0))
        return MethodOutcome::Invalid("params must be an array of " + std::to_string(count) + " values");
    static const nlohmann::json none = nlohmann::json::array();
    const nlohmann::json& array = params ? *params : none;
    if (array.size() != count)
        return MethodOutcome::Invalid(name + " takes " + std::to_string(count) + " parameters, " +
                                      std::to_string(array.size()) + " given");
    return method->handler(array);
}

// ---- Parameters ---------------------------------------------------------------------------------

std::uint16_t ParamReader::Word(const char* name) {
    const double v = Integer(name, -32768.0, 65535.0);
    return static_cast<std::uint16_t>(static_cast<std::int32_t>(v) & 0xFFFF);
}

std::int32_t ParamReader::Long(const char* name) {
    return static_cast<std::int32_t>(
        Integer(name, std::numeric_limits<std::int32_t>::min(), std::numeric_limits<std::int32_t>::max()));
}

bool ParamReader::Bool(const char* name) {
    const nlohmann::json& v = Next();
    if (v.is_boolean()) return v.get<bool>();
    if (v.is_number()) return v.get<double>() != 0.0;
    Fail(name, "a boolean");
    return false;
}

float ParamReader::Float(const char* name) {
    const nlohmann::json& v = Next();
    if (v.is_number()) {
        const double d = v.get<double>();
        const float f = static_cast<float>(d);
        if (std::isfinite(d) && std::isfinite(f)) return f;
        Fail(name, "a number within the range of a 32-bit float");
        return 0.0f;
    }
    if (v.is_string()) {
        const std::string& s = v.get_ref<const std::string&>();
        if (s == "NaN") return std::numeric_limits<float>::quiet_NaN();
        if (s == "Infinity") return std::numeric_limits<float>::infinity();
        if (s == "-Infinity") return -std::numeric_limits<float>::infinity();
    }
    Fail(name, "a number");
    return 0.0f;
}

const nlohmann::json& ParamReader::Next() {
    static const nlohmann::json missing;
    return index_ < array_.size() ? array_[index_++] : missing;
}

double ParamReader::Integer(const char* name, double low, double high) {
    const nlohmann::json& v = Next();
    const double d = v.is_number() ? v.get<double>() : std::nan("");
    if (!(d >= low && d <= high) || std::trunc(d) != d) {
        Fail(name, "an integer from " + std::to_string(static_cast<long long>(low)) + " to " +
                       std::to_string(static_cast<long long>(high)));
        return 0.0;
    }
    return d;
}

void ParamReader::Fail(const char* name, const std::string& wanted) {
    if (error_.empty())
        error_ = std::string(name) + " must be " + wanted;
}

bool WholeNumber(const nlohmann::json& value, std::int64_t& number) {
    if (!value.is_number())
        return false;
    const double d = value.get<double>();
    if (d != std::floor(d) || std::abs(d) > 9007199254740992.0)
        return false;
    number = static_cast<std::int64_t>(d);
    return true;
}

nlohmann::json StatusResult(int status, const nlohmann::json& value, const std::string& message) {
    nlohmann::json result{{"status", status}};
    if (!value.is_null()) result["value"] = value;
    if (!message.empty()) result["message"] = message;
    return result;
}
