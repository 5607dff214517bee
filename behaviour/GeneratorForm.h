// The generator editor's fields as texts, to and from a generator. An empty field means "not
// given"; the generator is checked by the extras reader, so the editor refuses exactly what a
// file would, in the words of the editor's labels.
#pragma once

#include "behaviour/BehaviourScenario.h"

#include <array>
#include <optional>
#include <string>

namespace behaviour {

struct GeneratorForm {
    // In the order of the editor's rows; each is the JSON field of the same name. Swapped, loop
    // and enabled are check boxes (the flags below), listed so refusals can name them.
    enum Field {
        kName, kUnit, kType, kAddress, kValue, kSwapped, kKind, kMin, kMax, kPeriodMs, kPhase, kStep,
        kSeed, kValues, kDurationsMs, kFile, kLoop, kUpdateMs, kEnabled, kFieldCount
    };
    std::array<std::string, kFieldCount> text;
    bool swapped = false;
    bool loop = true;
    bool enabled = true;

    /// The JSON key ("period_ms").
    static const char* FieldName(int field);
    /// The editor's label ("Period (ms)"); refusals name the field by it.
    static const char* FieldLabel(int field);
    /// What the field takes, shown in an empty field.
    static const char* FieldHint(int field);
    /// What the field does (the editor's What's This text).
    static const char* FieldHelp(int field);
    /// Whether `field` means anything for a generator of `kind` writing a `value` ("float32"):
    /// the editor enables only these and a form leaves the others out. Unknown names: every field.
    static bool FieldUsed(int field, const std::string& kind, const std::string& value);
    /// A form's field by its JSON key, or -1.
    static int FieldOf(const std::string& name);
};

GeneratorForm FormFromSpec(const GeneratorSpec& spec);
/// A new generator's fields for a point: a sine of the point's whole value range (0..100 for
/// registers), or a square for coils and inputs.
GeneratorForm FormForPoint(int unit, int type, std::uint32_t address, Encoding value = Encoding::Uint16,
                           bool swapped = false);
/// The generator the form describes; nullopt with `error` ("Max (must not be below min)") and
/// `errorField` (or -1) when refused. A csv file is read relative to `baseDir`.
std::optional<GeneratorSpec> SpecFromForm(const GeneratorForm& form, const std::string& baseDir, std::string& error,
                                          int* errorField = nullptr);

/// The point as the windows show it: "unit 1 holding 100".
std::string PointText(int unit, int type, std::uint32_t address);

} // namespace behaviour
