#include "behaviour/GeneratorForm.h"

#include <nlohmann/json.hpp>

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <sstream>

namespace behaviour {

namespace {

using nlohmann::json;

struct FieldInfo {
    const char* name;
    const char* label;
    const char* hint;
    const char* help;
};

// clang-format off
constexpr FieldInfo kFields[GeneratorForm::kFieldCount] = {
    {"name",         "Name",             "shown in lists and refusals",
     "The generator's name, shown in the Behaviour window and in refusals."},
    {"unit",         "Unit",             "1-255",
     "The unit (device id) of the data window that serves the point."},
    {"type",         "Point type",       "1 coils, 2 inputs, 3 holding, 4 input registers",
     "The point type of that window: coils, inputs, holding registers or input registers."},
    {"address",      "Address",          "1-65536, as the data windows count",
     "The point's address, counted from 1 as the data windows count; a value of several words takes the registers from here on."},
    {"value",        "Value",            "bit, int16, uint16, ..., float64",
     "How the number becomes words: a bit for coils and inputs, a 16-, 32- or 64-bit integer or a float for registers."},
    {"swapped",      "High word first",  "",
     "Puts the high word first. Unchecked is the word order the Float, Long and Double formats show."},
    {"kind",         "Kind",             "sine, ramp, counter, steps, ...",
     "What the value does over time: a wave (sine, triangle, ramp, square), random values, a counter, steps, the clock or the rows of a csv file."},
    {"min",          "Min",              "empty: the value's lowest",
     "The lowest value written; empty: the lowest the value can hold."},
    {"max",          "Max",              "empty: the value's highest",
     "The highest value written; empty: the highest the value can hold. A counter goes back to min after it."},
    {"period_ms",    "Period (ms)",      "1-86400000",
     "How long one wave takes, in milliseconds."},
    {"phase",        "Phase",            "0-1 of a period; empty: 0",
     "Where in its period the wave starts, 0 to 1."},
    {"step",         "Step",             "above 0; empty: 1",
     "What a counter adds at each update, or how far a random walk may move at each update."},
    {"seed",         "Seed",             "the same seed, the same sequence; empty: 0",
     "The start of the random sequence: the same seed gives the same values on every run."},
    {"values",       "Values",           "numbers, separated by commas",
     "The values of the steps, in order, separated by commas."},
    {"durations_ms", "Durations (ms)",   "one time for each value",
     "How long each step's value stays, in milliseconds, one for each value."},
    {"file",         "File",             "rows ms,value; relative to the extras file",
     "A csv file of rows ms,value: each value holds from its time until the next row's."},
    {"loop",         "Loop",             "",
     "Starts the steps or the file again after the last one; unchecked, the last value stays."},
    {"update_ms",    "Update every (ms)", "10-3600000; empty: 1000",
     "How often the value is written, in milliseconds; the updates keep to a fixed grid from when the generator was put in force."},
    {"enabled",      "Enabled",          "",
     "A generator that is not enabled is kept in the list but writes nothing; its point is left to Auto Simulation and masters."},
};
// clang-format on

bool Ranged(Kind k) { return k != Kind::Steps && k != Kind::Clock && k != Kind::Csv; }
bool Periodic(Kind k) { return k == Kind::Sine || k == Kind::Triangle || k == Kind::Ramp || k == Kind::Square; }
bool Seeded(Kind k) { return k == Kind::Random || k == Kind::RandomWalk; }
bool Stepped(Kind k) { return k == Kind::Counter || k == Kind::RandomWalk; }
bool Looped(Kind k) { return k == Kind::Steps || k == Kind::Csv; }

std::string Trim(const std::string& s)
{
    const auto first = s.find_first_not_of(" \t");
    if (first == std::string::npos)
        return {};
    return s.substr(first, s.find_last_not_of(" \t") - first + 1);
}

// A field's text as JSON: a whole number, a number, or the text itself (which the reader then
// refuses in its own words, "must be a number").
json NumberOrText(const std::string& raw)
{
    const std::string s = Trim(raw);
    std::int64_t whole = 0;
    const char* end = s.data() + s.size();
    if (auto [p, ec] = std::from_chars(s.data(), end, whole); ec == std::errc() && p == end && !s.empty())
        return whole;
    double number = 0.0;
    if (auto [p, ec] = std::from_chars(s.data(), end, number); ec == std::errc() && p == end && !s.empty()
                                                                 && std::isfinite(number))
        return number;
    return s;
}

json ListOf(const std::string& text)
{
    json list = json::array();
    std::string item;
    std::istringstream in(text);
    while (std::getline(in, item, ',')) {
        // Spaces also separate: "1 0" reads as two values.
        std::istringstream words(item);
        std::string word;
        while (words >> word)
            list.push_back(NumberOrText(word));
    }
    return list;
}

std::string NumberText(double v)
{
    char buf[64];
    auto [p, ec] = std::to_chars(buf, buf + sizeof buf, v);
    return ec == std::errc() ? std::string(buf, p) : std::string();
}

template <class List>
std::string ListText(const List& list)
{
    std::string out;
    for (const auto& v : list) {
        if (!out.empty())
            out += ", ";
        out += NumberText(static_cast<double>(v));
    }
    return out;
}

} // namespace

const char* GeneratorForm::FieldName(int field) { return kFields[field].name; }
const char* GeneratorForm::FieldLabel(int field) { return kFields[field].label; }
const char* GeneratorForm::FieldHint(int field) { return kFields[field].hint; }
const char* GeneratorForm::FieldHelp(int field) { return kFields[field].help; }

int GeneratorForm::FieldOf(const std::string& name)
{
    for (int i = 0; i < kFieldCount; ++i)
        if (name == kFields[i].name)
            return i;
    return -1;
}

bool GeneratorForm::FieldUsed(int field, const std::string& kind, const std::string& value)
{
    const auto k = KindFromName(kind);
    const auto e = EncodingFromName(value);
    switch (field) {
    case kSwapped: return !e || WordsOf(*e) > 1;
    case kMin:
    case kMax: return !k || Ranged(*k);
    case kPeriodMs:
    case kPhase: return !k || Periodic(*k);
    case kStep: return !k || Stepped(*k);
    case kSeed: return !k || Seeded(*k);
    case kValues:
    case kDurationsMs: return !k || *k == Kind::Steps;
    case kFile: return !k || *k == Kind::Csv;
    case kLoop: return !k || Looped(*k);
    default: return true;
    }
}

GeneratorForm FormFromSpec(const GeneratorSpec& g)
{
    GeneratorForm f;
    f.text[GeneratorForm::kName] = g.name;
    f.text[GeneratorForm::kUnit] = std::to_string(g.unit);
    f.text[GeneratorForm::kType] = std::to_string(g.type);
    f.text[GeneratorForm::kAddress] = std::to_string(g.address);
    f.text[GeneratorForm::kValue] = EncodingName(g.value);
    f.text[GeneratorForm::kKind] = KindName(g.kind);
    if (g.min)
        f.text[GeneratorForm::kMin] = NumberText(*g.min);
    if (g.max)
        f.text[GeneratorForm::kMax] = NumberText(*g.max);
    if (g.periodMs)
        f.text[GeneratorForm::kPeriodMs] = std::to_string(g.periodMs);
    if (g.phase != 0.0)
        f.text[GeneratorForm::kPhase] = NumberText(g.phase);
    if (g.step != 1.0)
        f.text[GeneratorForm::kStep] = NumberText(g.step);
    if (g.seed)
        f.text[GeneratorForm::kSeed] = std::to_string(g.seed);
    f.text[GeneratorForm::kValues] = ListText(g.values);
    f.text[GeneratorForm::kDurationsMs] = ListText(g.durationsMs);
    f.text[GeneratorForm::kFile] = g.file;
    f.text[GeneratorForm::kUpdateMs] = std::to_string(g.updateMs);
    f.swapped = g.swapped;
    f.loop = g.loop;
    f.enabled = g.enabled;
    return f;
}

GeneratorForm FormForPoint(int unit, int type, std::uint32_t address, Encoding value, bool swapped)
{
    GeneratorSpec g;
    g.unit = unit;
    g.type = type;
    g.address = address;
    const bool bits = type == 1 || type == 2;
    g.value = bits ? Encoding::Bit : (value == Encoding::Bit ? Encoding::Uint16 : value);
    g.swapped = WordsOf(g.value) > 1 && swapped;
    g.kind = bits ? Kind::Square : Kind::Sine;
    g.periodMs = 10000;
    if (!bits) {
        g.min = 0.0;
        g.max = 100.0;
    }
    g.name = PointText(unit, type, address);
    return FormFromSpec(g);
}

std::optional<GeneratorSpec> SpecFromForm(const GeneratorForm& form, const std::string& baseDir, std::string& error,
                                          int* errorField)
{
    using F = GeneratorForm;
    if (errorField)
        *errorField = -1;
    const std::string kind = Trim(form.text[F::kKind]);
    const std::string value = Trim(form.text[F::kValue]);
    json j = json::object();
    for (int i = 0; i < F::kFieldCount; ++i) {
        if (!F::FieldUsed(i, kind, value))
            continue;
        const std::string text = Trim(form.text[static_cast<std::size_t>(i)]);
        switch (i) {
        case F::kSwapped:
            if (form.swapped)
                j["swapped"] = true;
            break;
        case F::kLoop:
            if (!form.loop)
                j["loop"] = false;
            break;
        case F::kEnabled:
            if (!form.enabled)
                j["enabled"] = false;
            break;
        case F::kName:
        case F::kFile:
            if (!text.empty())
                j[F::FieldName(i)] = text;
            break;
        case F::kValue:
        case F::kKind:
            if (!text.empty())
                j[F::FieldName(i)] = text;
            break;
        case F::kValues:
        case F::kDurationsMs:
            if (!text.empty())
                j[F::FieldName(i)] = ListOf(text);
            break;
        default:
            if (!text.empty())
                j[F::FieldName(i)] = NumberOrText(text);
            break;
        }
    }
    std::string why;
    auto spec = ParseGenerator(j, baseDir, why);
    if (spec)
        return spec;
    // The reader names the field as the file does ("field \"max\": ..."); say it as the editor does.
    int field = -1;
    std::string rest = why;
    const std::string prefix = "field \"";
    if (why.rfind(prefix, 0) == 0) {
        const auto close = why.find('"', prefix.size());
        if (close != std::string::npos) {
            field = F::FieldOf(why.substr(prefix.size(), close - prefix.size()));
            rest = why.substr(close + 1);
            if (rest.rfind(": ", 0) == 0)
                rest = rest.substr(2);
        }
    }
    error = field >= 0 ? std::string(F::FieldLabel(field)) + ": " + rest : why;
    if (errorField)
        *errorField = field;
    return std::nullopt;
}

std::string PointText(int unit, int type, std::uint32_t address)
{
    static const char* const kTypes[] = {"coil", "input", "holding", "input register"};
    const char* name = type >= 1 && type <= 4 ? kTypes[type - 1] : "type ?";
    return "unit " + std::to_string(unit) + " " + name + " " + std::to_string(address);
}

} // namespace behaviour
