// The fault-injection methods of automation: LoadScenario, AddFault, RemoveFault, EnableFault,
// ListFaults, ClearFaults. Plain code over the program's fault list; RegisterFaultMethods puts
// them in the method registry (result {status, value}; a refused call: status -1 and a message).
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <functional>
#include <string>

class MethodRegistry;
namespace faults { class FaultBook; }

struct FaultCallResult {
    int status = 0;              // 0 or -1
    nlohmann::json value;        // null: none
    std::string message;         // why a call was refused
};

class FaultAutomation {
public:
    /// `loadScenario` reads a scenario (set-up extras) file into the program: its fault rules
    /// replace those in force; false with the reason when the file is refused.
    FaultAutomation(faults::FaultBook& book, std::function<bool(const std::string& path, std::string& error)> loadScenario)
        : book_(book), loadScenario_(std::move(loadScenario)) {}

    FaultCallResult LoadScenario(const std::string& path);
    /// value: the new rule's id.
    FaultCallResult AddFault(const nlohmann::json& rule);
    FaultCallResult RemoveFault(std::int64_t id);
    FaultCallResult EnableFault(std::int64_t id, bool on);
    /// value: every rule as the scenario file has it, with "id", "matched" and "fired" added.
    FaultCallResult ListFaults() const;
    FaultCallResult ClearFaults();

private:
    faults::FaultBook& book_;
    std::function<bool(const std::string&, std::string&)> loadScenario_;
};

/// Adds LoadScenario, AddFault, RemoveFault, EnableFault, ListFaults and ClearFaults on `methods`
/// to the registry, as the "faults" family.
void RegisterFaultMethods(MethodRegistry& registry, FaultAutomation& methods);
