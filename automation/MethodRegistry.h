// The one table of automation methods. Each capability adds its own methods from its own file
// (RegisterDocumentMethods, RegisterFaultMethods, ...); every way in (the JSON-RPC line server
// and any other door) calls them through Call, which needs no server at all. Plain code.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace rpc {
inline constexpr int kParseError = -32700;
inline constexpr int kInvalidRequest = -32600;
inline constexpr int kMethodNotFound = -32601;
inline constexpr int kInvalidParams = -32602;
inline constexpr int kServerBusy = -32000;     // too many connections
inline constexpr int kOtherUser = -32001;      // a connection of another local user
inline constexpr int kIdleClosed = -32002;     // closed after being idle (for too long, or for a new client)
}  // namespace rpc

/// What one call gives back: its result, or a JSON-RPC error (code not 0) and why.
struct MethodOutcome {
    nlohmann::json result;
    int errorCode = 0;
    std::string errorMessage;

    bool Failed() const { return errorCode != 0; }
    static MethodOutcome Done(nlohmann::json result) { return {std::move(result), 0, {}}; }
    static MethodOutcome Error(int code, std::string message) { return {nullptr, code, std::move(message)}; }
    /// A parameter of the wrong type or out of range.
    static MethodOutcome Invalid(std::string message) { return Error(rpc::kInvalidParams, std::move(message)); }
};

/// One parameter as the help shows it: its name and what JSON it takes.
struct ParamShape {
    std::string name;
    std::string shape;
};

struct AutomationMethod {
    std::string name;
    /// Who provides it: "document", "faults", "behaviour", "servers", "capture".
    std::string family;
    std::vector<ParamShape> params;
    /// Called with a JSON array of exactly params.size() values.
    std::function<MethodOutcome(const nlohmann::json& params)> handler;
};

class MethodRegistry {
public:
    /// A later method of the same name replaces the earlier one.
    void Add(AutomationMethod method);
    const AutomationMethod* Find(const std::string& name) const;
    /// In the order they were added.
    const std::vector<AutomationMethod>& Methods() const { return methods_; }
    /// Looks the method up, checks that `params` is an array of its parameters (nullopt: none
    /// were sent, which only a method without parameters accepts) and calls it.
    MethodOutcome Call(const std::string& name, const std::optional<nlohmann::json>& params) const;

private:
    std::vector<AutomationMethod> methods_;
};

/// Reads the parameters of one call in order; the first fault is kept ("value must be ...").
class ParamReader {
public:
    explicit ParamReader(const nlohmann::json& array) : array_(array) {}

    /// 16-bit integer: -32768..65535, keeps the low 16 bits.
    std::uint16_t Word(const char* name);
    std::int16_t Short(const char* name) { return static_cast<std::int16_t>(Word(name)); }
    std::int32_t Long(const char* name);
    /// true/false, or a number (true when not 0).
    bool Bool(const char* name);
    /// A 32-bit float: any JSON number within float range, or "NaN", "Infinity", "-Infinity".
    float Float(const char* name);

    bool Ok() const { return error_.empty(); }
    const std::string& Error() const { return error_; }

private:
    const nlohmann::json& Next();
    double Integer(const char* name, double low, double high);
    void Fail(const char* name, const std::string& wanted);

    const nlohmann::json& array_;
    std::size_t index_ = 0;
    std::string error_;
};

/// A JSON number that is a whole number within 2^53 (ids and ports; their range is the method's
/// to judge).
bool WholeNumber(const nlohmann::json& value, std::int64_t& number);

/// The result of a method that may refuse: {"status"}, with "value" when not null and
/// "message" when not empty.
nlohmann::json StatusResult(int status, const nlohmann::json& value, const std::string& message);
