// Fault scenarios as JSON: the "faults" list of a set-up's extras (app/SetupExtras reads and
// writes the files), read into engine rules and written back. Reading is all or nothing: a rule with an unknown field
// or action, a wrong type or a value out of range refuses the whole list, naming the rule (index
// and name) and the field.
#pragma once

#include "engine/FaultRules.h"

#include <nlohmann/json_fwd.hpp>

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace faults {

/// Most rules in force at once: a list of more is refused, and so is adding one beyond it.
inline constexpr std::size_t kMaxFaultRules = 10000;

/// The rules of a "faults" array; nullopt with `error` set when any is refused (a list of more
/// than kMaxFaultRules with its count).
std::optional<std::vector<pomrel::FaultRule>> ParseFaultList(const nlohmann::json& list, std::string& error);
/// One rule given on its own (automation, the command-line tool); `error` names the field.
std::optional<pomrel::FaultRule> ParseFaultRule(const nlohmann::json& rule, std::string& error);
/// A rule as text: not JSON, or a field given twice, is refused as well.
std::optional<pomrel::FaultRule> ParseFaultRuleText(const std::string& text, std::string& error);
/// Why a list is refused whose rule `index` gives `key` twice: `rule 2 ("x"): duplicate field "unit"`.
std::string DuplicateFieldError(const nlohmann::json& list, std::size_t index, const std::string& key);

/// A rule as the file keeps it: only the fields that differ from their defaults, "action" always.
nlohmann::json FaultRuleToJson(const pomrel::FaultRule& rule);
nlohmann::json FaultListToJson(const std::vector<pomrel::FaultRule>& rules);

/// The action's name in files ("no-reply"), and back.
const char* ActionName(pomrel::FaultAction action);
std::optional<pomrel::FaultAction> ActionFromName(const std::string& name);

/// Short texts for tables: "3, 16", "100-110", "after 2, every 3, 5 times, p 0.3".
std::string FunctionsText(const pomrel::FaultRule& rule);
std::string AddressesText(const pomrel::FaultRule& rule);
std::string TriggerText(const pomrel::FaultRule& rule);

} // namespace faults
