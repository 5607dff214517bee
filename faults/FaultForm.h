// The rule editor's fields as texts, to and from a rule. An empty field means "not given"; the
// rule is checked by the scenario reader, so the editor refuses exactly what a file would.
#pragma once

#include "engine/FaultRules.h"

#include <array>
#include <optional>
#include <string>

namespace faults {

struct FaultForm {
    // In the order of the editor's rows; each is the JSON field of the same name.
    enum Field {
        kName, kLink, kUnit, kFunctions, kType, kFirst, kLast, kAction, kCode, kDelayMs, kBytes, kGapMs,
        kAfter, kEvery, kTimes, kProbability, kSeed, kFromS, kUntilS, kFieldCount
    };
    std::array<std::string, kFieldCount> text;
    bool enabled = true;

    static const char* FieldName(int field);
    /// The editor's labels ("Unit (0-255, empty: any)").
    static const char* FieldLabel(int field);
};

FaultForm FormFromRule(const pomrel::FaultRule& rule);
/// The rule the form describes; nullopt with `error` (naming the field) when it is refused.
std::optional<pomrel::FaultRule> RuleFromForm(const FaultForm& form, std::string& error);

} // namespace faults
