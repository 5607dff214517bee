// The rule editor's fields as texts, to and from a rule. An empty field means "not given"; the
// rule is checked by the scenario reader, so the editor refuses exactly what a file would, in
// the words of the editor's labels.
#pragma once

#include "engine/FaultRules.h"

#include <array>
#include <optional>
#include <string>
#include <vector>

namespace faults {

struct FaultForm {
    // In the order of the editor's rows; each is the JSON field of the same name.
    enum Field {
        kName, kLink, kUnit, kFunctions, kType, kFirst, kLast, kAction, kCode, kDelayMs, kBytes, kGapMs,
        kAfter, kEvery, kTimes, kProbability, kSeed, kFromS, kUntilS, kFieldCount
    };
    std::array<std::string, kFieldCount> text;
    bool enabled = true;

    /// The JSON key ("delay_ms").
    static const char* FieldName(int field);
    /// The editor's label ("Delay (ms)"); refusals name the field by it.
    static const char* FieldLabel(int field);
    /// What the field takes, shown in an empty field ("0-255; empty: any").
    static const char* FieldHint(int field);
    /// What the field does (the editor's What's This text).
    static const char* FieldHelp(int field);
    /// Whether `field` means anything for the action named `action` (code only for "exception",
    /// delay only for an action that answers, ...). The editor enables only these, and a form
    /// leaves the others out of its rule. An unknown action uses every field.
    static bool FieldUsed(int field, const std::string& action);
};

/// A named choice of a field: the text the field holds and the text shown for it.
struct FormChoice {
    std::string value;   // "1"
    std::string shown;   // "01 Illegal Function"
};
/// Any link, then each link named in `openLinks` ("tcp", "serial:3").
std::vector<FormChoice> LinkChoices(const std::vector<std::string>& openLinks);
/// Any, Coils, Inputs, Holding registers, Input registers.
std::vector<FormChoice> PointTypeChoices();
/// The exception codes the protocol names, 01 Illegal Function to 0B Gateway Target Device
/// Failed to Respond.
std::vector<FormChoice> ExceptionChoices();
/// The field text for what a choice box shows: a choice's value when `shown` is one of them
/// (shown or value), otherwise `shown` as typed.
std::string ChoiceValue(const std::vector<FormChoice>& choices, const std::string& shown);

FaultForm FormFromRule(const pomrel::FaultRule& rule);
/// The rule the form describes (fields its action does not use left out); nullopt with `error`
/// ("Delay (ms): must be 0 to 600000") and `errorField` (the field it names, or -1) when refused.
std::optional<pomrel::FaultRule> RuleFromForm(const FaultForm& form, std::string& error, int* errorField = nullptr);

} // namespace faults
