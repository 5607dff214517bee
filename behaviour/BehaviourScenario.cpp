#include "behaviour/BehaviourScenario.h"

#include "document/JsonFields.h"

#include <nlohmann/json.hpp>

#include <charconv>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>
#include <map>
#include <sstream>

namespace behaviour {

using nlohmann::json;

namespace {

struct EncodingNaming {
    Encoding encoding;
    const char* name;
    int words;
    double low;
    double high;
};
// 64-bit ranges are the doubles at their ends: -2^63 and 2^63 (2^64 for uint64), clamped again
// when a value is made into words.
constexpr EncodingNaming kEncodings[] = {
    {Encoding::Bit, "bit", 1, 0.0, 1.0},
    {Encoding::Int16, "int16", 1, -32768.0, 32767.0},
    {Encoding::Uint16, "uint16", 1, 0.0, 65535.0},
    {Encoding::Int32, "int32", 2, -2147483648.0, 2147483647.0},
    {Encoding::Uint32, "uint32", 2, 0.0, 4294967295.0},
    {Encoding::Int64, "int64", 4, -9223372036854775808.0, 9223372036854775808.0},
    {Encoding::Uint64, "uint64", 4, 0.0, 18446744073709551616.0},
    {Encoding::Float32, "float32", 2, -static_cast<double>(std::numeric_limits<float>::max()),
     static_cast<double>(std::numeric_limits<float>::max())},
    {Encoding::Float64, "float64", 4, -std::numeric_limits<double>::max(), std::numeric_limits<double>::max()},
};

const EncodingNaming& Naming(Encoding e) { return kEncodings[static_cast<int>(e)]; }

struct KindNaming {
    Kind kind;
    const char* name;
};
constexpr KindNaming kKinds[] = {
    {Kind::Sine, "sine"},       {Kind::Triangle, "triangle"}, {Kind::Ramp, "ramp"},
    {Kind::Square, "square"},   {Kind::Random, "random"},     {Kind::RandomWalk, "random-walk"},
    {Kind::Counter, "counter"}, {Kind::Steps, "steps"},       {Kind::Clock, "clock"},
    {Kind::Csv, "csv"},
};

constexpr const char* kFields[] = {"name", "unit",  "type",   "address", "value", "swapped",      "kind",
                                   "min",  "max",   "period_ms", "phase", "step", "seed",         "values",
                                   "durations_ms", "file", "loop", "update_ms", "enabled"};

bool Periodic(Kind k) { return k == Kind::Sine || k == Kind::Triangle || k == Kind::Ramp || k == Kind::Square; }
bool Seeded(Kind k) { return k == Kind::Random || k == Kind::RandomWalk; }
bool Stepped(Kind k) { return k == Kind::Counter || k == Kind::RandomWalk; }
bool Ranged(Kind k) { return Periodic(k) || Seeded(k) || k == Kind::Counter; }
bool Looped(Kind k) { return k == Kind::Steps || k == Kind::Csv; }

bool IsWhole(double d) { return std::isfinite(d) && std::floor(d) == d; }

std::string NumberText(double d)
{
    std::ostringstream s;
    s.precision(17);
    s << d;
    return s.str();
}

std::string GeneratorLabel(std::size_t index, const json& g)
{
    std::string label = "generator " + std::to_string(index + 1);
    if (g.is_object()) {
        const auto it = g.find("name");
        if (it != g.end() && it->is_string())
            label += " (\"" + it->get<std::string>() + "\")";
    }
    return label;
}

// Whole numbers as integers, so that a file reads as it was written and saves the same.
json NumberJson(double d)
{
    if (IsWhole(d) && d >= -9223372036854775808.0 && d < 9223372036854775808.0)
        return static_cast<std::int64_t>(d);
    if (IsWhole(d) && d >= 0.0 && d < 18446744073709551616.0)
        return static_cast<std::uint64_t>(d);
    return d;
}

std::string_view Trim(std::string_view s)
{
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
        s.remove_suffix(1);
    return s;
}

template <typename T>
bool ParseAll(std::string_view s, T& out)
{
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), out);
    return ec == std::errc() && end == s.data() + s.size();
}

} // namespace

int WordsOf(Encoding e) { return Naming(e).words; }
double LowestOf(Encoding e) { return Naming(e).low; }
double HighestOf(Encoding e) { return Naming(e).high; }
bool IsInteger(Encoding e) { return e != Encoding::Float32 && e != Encoding::Float64; }

double GeneratorSpec::Low() const { return min.value_or(LowestOf(value)); }
double GeneratorSpec::High() const { return max.value_or(HighestOf(value)); }

const char* EncodingName(Encoding e) { return Naming(e).name; }

std::optional<Encoding> EncodingFromName(const std::string& name)
{
    for (const auto& n : kEncodings)
        if (name == n.name)
            return n.encoding;
    return std::nullopt;
}

const char* KindName(Kind k) { return kKinds[static_cast<int>(k)].name; }

std::optional<Kind> KindFromName(const std::string& name)
{
    for (const auto& n : kKinds)
        if (name == n.name)
            return n.kind;
    return std::nullopt;
}

std::optional<std::vector<CsvRow>> ReadCsvRows(const std::string& path, const std::string& shownName, double low,
                                               double high, std::string& error)
{
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::file_status status = fs::status(path, ec);
    if (ec || !fs::exists(status)) {
        error = shownName + ": no such file";
        return std::nullopt;
    }
    if (!fs::is_regular_file(status)) {
        error = shownName + ": not a regular file";
        return std::nullopt;
    }
    const std::uintmax_t size = fs::file_size(path, ec);
    if (ec || size > kMaxCsvBytes) {
        error = shownName + ": larger than " + std::to_string(kMaxCsvBytes) + " bytes";
        return std::nullopt;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = shownName + ": cannot be read";
        return std::nullopt;
    }
    std::vector<CsvRow> rows;
    std::string line;
    std::size_t lineNo = 0;
    bool first = true;
    // Reads no further than the size checked above, should the file grow meanwhile.
    std::uintmax_t read = 0;
    while (read <= kMaxCsvBytes && std::getline(in, line)) {
        ++lineNo;
        read += line.size() + 1;
        const auto fail = [&](const std::string& why) {
            error = shownName + ":" + std::to_string(lineNo) + ": " + why;
            return std::nullopt;
        };
        const std::string_view text = Trim(line);
        const bool wasFirst = first;
        if (text.empty() || text.front() == '#')
            continue;
        first = false;
        const auto comma = text.find(',');
        if (comma == std::string_view::npos) {
            if (wasFirst && std::isalpha(static_cast<unsigned char>(text.front())))
                continue;
            return fail("expected ms,value");
        }
        const std::string_view msText = Trim(text.substr(0, comma));
        const std::string_view valueText = Trim(text.substr(comma + 1));
        std::int64_t ms = 0;
        double value = 0.0;
        if (!ParseAll(msText, ms)) {
            if (wasFirst && !msText.empty() && std::isalpha(static_cast<unsigned char>(msText.front())))
                continue;   // column names
            return fail("time \"" + std::string(msText) + "\" is not a whole number of ms");
        }
        if (ms < 0 || ms > std::int64_t{1} << 53)
            return fail("time " + std::to_string(ms) + " out of range");
        if (!rows.empty() && ms <= rows.back().ms)
            return fail("time " + std::to_string(ms) + " not after the row before");
        if (!ParseAll(valueText, value) || !std::isfinite(value))
            return fail("value \"" + std::string(valueText) + "\" is not a number");
        if (value < low || value > high)
            return fail("value " + NumberText(value) + " outside " + NumberText(low) + " to " + NumberText(high));
        if (rows.size() >= kMaxCsvRows)
            return fail("more than " + std::to_string(kMaxCsvRows) + " rows");
        rows.push_back({ms, value});
    }
    if (rows.empty()) {
        error = shownName + ": no rows";
        return std::nullopt;
    }
    return rows;
}

namespace {

// The rows of each csv file a list names, read once however many generators share the file.
using CsvCache = std::map<std::string, std::shared_ptr<const std::vector<CsvRow>>>;

std::optional<GeneratorSpec> Parse(const json& j, const std::string& baseDir, CsvCache& cache, std::string& error)
{
    error = FieldNamesError(j, kFields);
    if (!error.empty())
        return std::nullopt;
    JsonFieldReader in(j, error);
    GeneratorSpec g;
    if (auto v = in.Text("name")) g.name = *v;
    in.Require("unit", "1 to 255");
    if (auto v = in.Integer("unit", 1, 255)) g.unit = static_cast<int>(*v);
    in.Require("type", "1 coils, 2 inputs, 3 holding registers, 4 input registers");
    if (auto v = in.Integer("type", 1, 4)) g.type = static_cast<int>(*v);
    in.Require("address", "1 to 65536");
    if (auto v = in.Integer("address", 1, 65536)) g.address = static_cast<std::uint32_t>(*v);
    const bool bits = g.type == 1 || g.type == 2;
    g.value = bits ? Encoding::Bit : Encoding::Uint16;
    if (auto v = in.Text("value")) {
        const auto e = EncodingFromName(*v);
        if (!e)
            in.Fail("value", "unknown value \"" + *v + "\" (bit, int16, uint16, int32, uint32, int64, uint64, float32 or float64)");
        else if (bits && *e != Encoding::Bit)
            in.Fail("value", "coils and inputs take only \"bit\"");
        else if (!bits && *e == Encoding::Bit)
            in.Fail("value", "\"bit\" only for coils and inputs (type 1 or 2)");
        else
            g.value = *e;
    }
    if (auto v = in.Flag("swapped")) g.swapped = *v;
    in.OnlyWith("swapped", WordsOf(g.value) > 1, "a value of several words");
    if (!in.Failed() && WordsOf(g.value) > 1 && g.address + static_cast<std::uint32_t>(WordsOf(g.value)) - 1 > 65536)
        in.Fail("address", "the value's words run past 65536");
    in.Require("kind", "sine, triangle, ramp, square, random, random-walk, counter, steps, clock or csv");
    if (auto v = in.Text("kind")) {
        const auto k = KindFromName(*v);
        if (!k)
            in.Fail("kind", "unknown kind \"" + *v + "\"");
        else
            g.kind = *k;
    }
    if (in.Failed())
        return std::nullopt;

    const Kind k = g.kind;
    in.OnlyWith("min", Ranged(k), "kind sine, triangle, ramp, square, random, random-walk or counter");
    in.OnlyWith("max", Ranged(k), "kind sine, triangle, ramp, square, random, random-walk or counter");
    in.OnlyWith("period_ms", Periodic(k), "kind sine, triangle, ramp or square");
    in.OnlyWith("phase", Periodic(k), "kind sine, triangle, ramp or square");
    in.OnlyWith("seed", Seeded(k), "kind random or random-walk");
    in.OnlyWith("step", Stepped(k), "kind counter or random-walk");
    in.OnlyWith("values", k == Kind::Steps, "kind steps");
    in.OnlyWith("durations_ms", k == Kind::Steps, "kind steps");
    in.OnlyWith("file", k == Kind::Csv, "kind csv");
    in.OnlyWith("loop", Looped(k), "kind steps or csv");

    const double lowest = LowestOf(g.value);
    const double highest = HighestOf(g.value);
    if (auto v = in.Number("min", lowest, highest)) g.min = *v;
    if (auto v = in.Number("max", lowest, highest)) g.max = *v;
    if (!in.Failed() && g.Low() > g.High())
        in.Fail("max", "must not be below min");
    if (Periodic(k))
        in.Require("period_ms", "1 to " + std::to_string(kMaxPeriodMs));
    if (auto v = in.Integer("period_ms", 1, kMaxPeriodMs)) g.periodMs = static_cast<std::uint32_t>(*v);
    if (auto v = in.Number("phase", 0.0, 1.0)) g.phase = *v;
    if (auto v = in.Integer("seed", 0, std::numeric_limits<std::int64_t>::max())) g.seed = static_cast<std::uint64_t>(*v);
    if (auto v = in.Number("step", 0.0, highest)) {
        if (*v <= 0.0)
            in.Fail("step", "must be above 0");
        else if (k == Kind::Counter && IsInteger(g.value) && !IsWhole(*v))
            in.Fail("step", "must be a whole number for an integer value");
        else
            g.step = *v;
    }
    if (k == Kind::Steps) {
        in.Require("values", "a list of numbers");
        in.Require("durations_ms", "a list of times, one for each value");
        if (!in.Failed()) {
            const json& values = j["values"];
            const json& durations = j["durations_ms"];
            if (!values.is_array() || values.empty() || values.size() > kMaxSteps) {
                in.Fail("values", "must be a list of 1 to " + std::to_string(kMaxSteps) + " numbers");
            } else {
                for (const json& v : values) {
                    if (!v.is_number() || !(v.get<double>() >= lowest && v.get<double>() <= highest)) {
                        in.Fail("values", "must be numbers " + NumberText(lowest) + " to " + NumberText(highest));
                        break;
                    }
                    g.values.push_back(v.get<double>());
                }
            }
            if (!in.Failed() && (!durations.is_array() || durations.size() != values.size())) {
                in.Fail("durations_ms", "must be a list of one time for each value");
            } else if (!in.Failed()) {
                for (const json& d : durations) {
                    if (!d.is_number_integer() || d.get<std::int64_t>() < 1 || d.get<std::int64_t>() > kMaxPeriodMs) {
                        in.Fail("durations_ms", "must be whole numbers 1 to " + std::to_string(kMaxPeriodMs));
                        break;
                    }
                    g.durationsMs.push_back(static_cast<std::uint32_t>(d.get<std::int64_t>()));
                }
            }
        }
    }
    if (k == Kind::Csv)
        in.Require("file", "a csv file of rows ms,value");
    if (auto v = in.Text("file")) {
        if (v->empty()) {
            in.Fail("file", "must not be empty");
        } else {
            g.file = *v;
            std::filesystem::path path(*v);
            if (path.is_relative() && !baseDir.empty())
                path = std::filesystem::path(baseDir) / path;
            const std::string key = path.string() + '\n' + EncodingName(g.value);
            if (const auto it = cache.find(key); it != cache.end()) {
                g.rows = it->second;
            } else {
                std::string why;
                auto rows = ReadCsvRows(path.string(), *v, lowest, highest, why);
                if (!rows) {
                    in.Fail("file", why);
                } else {
                    g.rows = std::make_shared<const std::vector<CsvRow>>(std::move(*rows));
                    cache.emplace(key, g.rows);
                }
            }
        }
    }
    if (auto v = in.Flag("loop")) g.loop = *v;
    if (auto v = in.Integer("update_ms", kMinUpdateMs, kMaxUpdateMs)) g.updateMs = static_cast<std::uint32_t>(*v);
    if (auto v = in.Flag("enabled")) g.enabled = *v;
    if (in.Failed())
        return std::nullopt;
    return g;
}

} // namespace

std::optional<GeneratorSpec> ParseGenerator(const json& j, const std::string& baseDir, std::string& error)
{
    CsvCache cache;
    return Parse(j, baseDir, cache, error);
}

std::optional<std::vector<GeneratorSpec>> ParseGeneratorList(const json& list, const std::string& baseDir,
                                                             std::string& error)
{
    if (!list.is_array()) {
        error = "\"generators\" must be a list of generators";
        return std::nullopt;
    }
    std::vector<GeneratorSpec> out;
    out.reserve(list.size());
    CsvCache cache;
    for (std::size_t i = 0; i < list.size(); ++i) {
        std::string why;
        auto g = Parse(list[i], baseDir, cache, why);
        if (!g) {
            error = GeneratorLabel(i, list[i]) + ": " + why;
            return std::nullopt;
        }
        out.push_back(std::move(*g));
    }
    return out;
}

namespace {

constexpr const char* kReactionFields[] = {"name", "unit", "type", "address", "equals", "action", "target",
                                           "value", "width", "swapped", "after_ms", "enabled"};
constexpr const char* kScriptFields[] = {"name", "file", "tick_ms"};
constexpr const char* kTargetFields[] = {"unit", "type", "address"};

struct ActionNaming {
    ReactionAction action;
    const char* name;
};
constexpr ActionNaming kActions[] = {{ReactionAction::Copy, "copy"},
                                     {ReactionAction::Set, "set"},
                                     {ReactionAction::Add, "add"},
                                     {ReactionAction::Toggle, "toggle"},
                                     {ReactionAction::Clear, "clear"}};

bool TakesNumber(ReactionAction a) { return a == ReactionAction::Set || a == ReactionAction::Add; }

std::string ItemLabel(const char* what, std::size_t index, const json& item)
{
    std::string label = std::string(what) + " " + std::to_string(index + 1);
    if (item.is_object()) {
        const auto it = item.find("name");
        if (it != item.end() && it->is_string())
            label += " (\"" + it->get<std::string>() + "\")";
    }
    return label;
}

std::optional<Encoding> WidthFrom(JsonFieldReader& in, const char* field, const std::string& name)
{
    const auto e = EncodingFromName(name);
    if (!e)
        in.Fail(field, "unknown width \"" + name + "\" (bit, int16, uint16, int32, uint32, int64, uint64, float32 or float64)");
    return e;
}

// A point's words must lie inside the address space.
void CheckPointWords(JsonFieldReader& in, const char* field, const PointRef& p, Encoding e)
{
    const bool bits = p.type == 1 || p.type == 2;
    if (!in.Failed() && !bits && p.address + static_cast<std::uint32_t>(WordsOf(e)) - 1 > 65536)
        in.Fail(field, "the value's words run past 65536");
}

} // namespace

const char* ActionName(ReactionAction a) { return kActions[static_cast<int>(a)].name; }

std::optional<ReactionAction> ActionFromName(const std::string& name)
{
    for (const auto& n : kActions)
        if (name == n.name)
            return n.action;
    return std::nullopt;
}

std::optional<ReactionSpec> ParseReaction(const json& j, std::string& error)
{
    error = FieldNamesError(j, kReactionFields);
    if (!error.empty())
        return std::nullopt;
    JsonFieldReader in(j, error);
    ReactionSpec r;
    if (auto v = in.Text("name")) r.name = *v;
    in.Require("unit", "1 to 255");
    if (auto v = in.Integer("unit", 1, 255)) r.point.unit = static_cast<int>(*v);
    in.Require("type", "1 coils or 3 holding registers, the points a master writes");
    if (auto v = in.Integer("type", 1, 4)) {
        r.point.type = static_cast<int>(*v);
        if (r.point.type != 1 && r.point.type != 3)
            in.Fail("type", "a master writes only coils (1) and holding registers (3)");
    }
    in.Require("address", "1 to 65536");
    if (auto v = in.Integer("address", 1, 65536)) r.point.address = static_cast<std::uint32_t>(*v);
    in.Require("action", "copy, set, add, toggle or clear");
    if (auto v = in.Text("action")) {
        const auto a = ActionFromName(*v);
        if (!a)
            in.Fail("action", "unknown action \"" + *v + "\" (copy, set, add, toggle or clear)");
        else
            r.action = *a;
    }
    if (in.Failed())
        return std::nullopt;
    // "value" is the width (a name) or, for set and add, the number; "width" names the width
    // when "value" holds the number.
    bool widthGiven = false;
    if (const auto it = j.find("value"); it != j.end()) {
        if (it->is_string()) {
            if (auto e = WidthFrom(in, "value", it->get<std::string>())) {
                r.encoding = *e;
                widthGiven = true;
            }
        } else if (it->is_number()) {
            if (!TakesNumber(r.action))
                in.Fail("value", "a number only with action set or add (else the width's name)");
            else if (auto v = in.Number("value", -std::numeric_limits<double>::max(), std::numeric_limits<double>::max()))
                r.value = *v;
        } else {
            in.Fail("value", "must be a number (set, add) or a width's name");
        }
    }
    if (auto v = in.Text("width")) {
        if (widthGiven)
            in.Fail("width", "the width is already named by \"value\"");
        else if (auto e = WidthFrom(in, "width", *v))
            r.encoding = *e;
    }
    if (TakesNumber(r.action) && !in.Failed() && !(j.contains("value") && j["value"].is_number()))
        in.Fail("value", "missing (the number to " + std::string(ActionName(r.action)) + ")");
    if (auto v = in.Flag("swapped")) r.swapped = *v;
    if (!in.Failed() && j.contains("swapped") && WordsOf(r.encoding) == 1)
        in.Fail("swapped", "only with a width of several words");
    if (auto v = in.Number("equals", -std::numeric_limits<double>::max(), std::numeric_limits<double>::max()))
        r.equals = *v;
    CheckPointWords(in, "address", r.point, r.encoding);
    if (r.action == ReactionAction::Clear) {
        if (!in.Failed() && in.Has("target"))
            in.Fail("target", "clear acts on the written point itself");
    } else {
        in.Require("target", "{\"unit\", \"type\", \"address\"}");
        if (const auto it = j.find("target"); it != j.end() && !in.Failed()) {
            if (!it->is_object()) {
                in.Fail("target", "must be an object {\"unit\", \"type\", \"address\"}");
            } else {
                if (const std::string why = FieldNamesError(*it, kTargetFields); !why.empty())
                    in.Fail("target", why);
                std::string why;
                JsonFieldReader t(*it, why);
                PointRef p;
                t.Require("unit", "1 to 255");
                if (auto v = t.Integer("unit", 1, 255)) p.unit = static_cast<int>(*v);
                t.Require("type", "1 coils, 2 inputs, 3 holding registers, 4 input registers");
                if (auto v = t.Integer("type", 1, 4)) p.type = static_cast<int>(*v);
                t.Require("address", "1 to 65536");
                if (auto v = t.Integer("address", 1, 65536)) p.address = static_cast<std::uint32_t>(*v);
                CheckPointWords(t, "address", p, r.encoding);
                if (t.Failed())
                    in.Fail("target", why);
                else
                    r.target = p;
            }
        }
    }
    if (auto v = in.Integer("after_ms", 0, kMaxUpdateMs)) r.afterMs = static_cast<std::uint32_t>(*v);
    if (auto v = in.Flag("enabled")) r.enabled = *v;
    if (in.Failed())
        return std::nullopt;
    return r;
}

std::optional<std::vector<ReactionSpec>> ParseReactionList(const json& list, std::string& error)
{
    if (!list.is_array()) {
        error = "\"reactions\" must be a list of reactions";
        return std::nullopt;
    }
    std::vector<ReactionSpec> out;
    out.reserve(list.size());
    for (std::size_t i = 0; i < list.size(); ++i) {
        std::string why;
        auto r = ParseReaction(list[i], why);
        if (!r) {
            error = ItemLabel("reaction", i, list[i]) + ": " + why;
            return std::nullopt;
        }
        out.push_back(std::move(*r));
    }
    return out;
}

std::optional<ScriptSpec> ParseScript(const json& j, const std::string& baseDir, std::string& error)
{
    error = FieldNamesError(j, kScriptFields);
    if (!error.empty())
        return std::nullopt;
    JsonFieldReader in(j, error);
    ScriptSpec s;
    if (auto v = in.Text("name")) s.name = *v;
    in.Require("file", "the Lua file, relative to the extras file");
    if (auto v = in.Text("file")) {
        if (v->empty()) {
            in.Fail("file", "must not be empty");
        } else {
            s.file = *v;
            std::filesystem::path path(*v);
            if (path.is_relative() && !baseDir.empty())
                path = std::filesystem::path(baseDir) / path;
            s.path = path.string();
        }
    }
    if (auto v = in.Integer("tick_ms", 0, kMaxUpdateMs)) {
        if (*v != 0 && *v < kMinUpdateMs)
            in.Fail("tick_ms", "must be 0 (no ticks) or " + std::to_string(kMinUpdateMs) + " to " + std::to_string(kMaxUpdateMs));
        else
            s.tickMs = static_cast<std::uint32_t>(*v);
    }
    if (in.Failed())
        return std::nullopt;
    return s;
}

std::optional<std::vector<ScriptSpec>> ParseScriptList(const json& list, const std::string& baseDir, std::string& error)
{
    if (!list.is_array()) {
        error = "\"scripts\" must be a list of scripts";
        return std::nullopt;
    }
    std::vector<ScriptSpec> out;
    for (std::size_t i = 0; i < list.size(); ++i) {
        std::string why;
        auto s = ParseScript(list[i], baseDir, why);
        if (!s) {
            error = ItemLabel("script", i, list[i]) + ": " + why;
            return std::nullopt;
        }
        out.push_back(std::move(*s));
    }
    return out;
}

json ReactionToJson(const ReactionSpec& r)
{
    json j = json::object();
    if (!r.name.empty()) j["name"] = r.name;
    j["unit"] = r.point.unit;
    j["type"] = r.point.type;
    j["address"] = r.point.address;
    if (r.equals) j["equals"] = NumberJson(*r.equals);
    j["action"] = ActionName(r.action);
    if (r.target)
        j["target"] = json{{"unit", r.target->unit}, {"type", r.target->type}, {"address", r.target->address}};
    if (TakesNumber(r.action)) {
        j["value"] = NumberJson(r.value);
        if (r.encoding != Encoding::Uint16) j["width"] = EncodingName(r.encoding);
    } else if (r.encoding != Encoding::Uint16) {
        j["value"] = EncodingName(r.encoding);
    }
    if (r.swapped) j["swapped"] = true;
    if (r.afterMs != 0) j["after_ms"] = r.afterMs;
    if (!r.enabled) j["enabled"] = false;
    return j;
}

json ScriptToJson(const ScriptSpec& s)
{
    json j = json::object();
    if (!s.name.empty()) j["name"] = s.name;
    j["file"] = s.file;
    if (s.tickMs != 0) j["tick_ms"] = s.tickMs;
    return j;
}

std::optional<Behaviour> ParseBehaviour(const json& extras, const std::string& baseDir, std::string& error)
{
    Behaviour b;
    if (!extras.is_object()) {
        error = "the extras must be an object";
        return std::nullopt;
    }
    if (const auto it = extras.find("generators"); it != extras.end()) {
        auto list = ParseGeneratorList(*it, baseDir, error);
        if (!list)
            return std::nullopt;
        b.generators = std::move(*list);
    }
    if (const auto it = extras.find("reactions"); it != extras.end()) {
        auto list = ParseReactionList(*it, error);
        if (!list)
            return std::nullopt;
        b.reactions = std::move(*list);
    }
    if (const auto it = extras.find("scripts"); it != extras.end()) {
        auto list = ParseScriptList(*it, baseDir, error);
        if (!list)
            return std::nullopt;
        b.scripts = std::move(*list);
    }
    return b;
}

json GeneratorToJson(const GeneratorSpec& g)
{
    const GeneratorSpec d;
    json j = json::object();
    if (!g.name.empty()) j["name"] = g.name;
    j["unit"] = g.unit;
    j["type"] = g.type;
    j["address"] = g.address;
    const bool bits = g.type == 1 || g.type == 2;
    if (g.value != (bits ? Encoding::Bit : Encoding::Uint16)) j["value"] = EncodingName(g.value);
    if (g.swapped) j["swapped"] = true;
    j["kind"] = KindName(g.kind);
    if (g.min) j["min"] = NumberJson(*g.min);
    if (g.max) j["max"] = NumberJson(*g.max);
    if (Periodic(g.kind)) {
        j["period_ms"] = g.periodMs;
        if (g.phase != d.phase) j["phase"] = NumberJson(g.phase);
    }
    if (Seeded(g.kind) && g.seed != d.seed) j["seed"] = g.seed;
    if (Stepped(g.kind) && g.step != d.step) j["step"] = NumberJson(g.step);
    if (g.kind == Kind::Steps) {
        json values = json::array();
        for (double v : g.values)
            values.push_back(NumberJson(v));
        j["values"] = values;
        j["durations_ms"] = g.durationsMs;
    }
    if (g.kind == Kind::Csv) j["file"] = g.file;
    if (Looped(g.kind) && g.loop != d.loop) j["loop"] = g.loop;
    if (g.updateMs != d.updateMs) j["update_ms"] = g.updateMs;
    if (!g.enabled) j["enabled"] = false;
    return j;
}

json GeneratorListToJson(const std::vector<GeneratorSpec>& list)
{
    json out = json::array();
    for (const GeneratorSpec& g : list)
        out.push_back(GeneratorToJson(g));
    return out;
}

void BehaviourToJson(const Behaviour& b, json& extras)
{
    if (b.generators.empty())
        extras.erase("generators");
    else
        extras["generators"] = GeneratorListToJson(b.generators);
    if (b.reactions.empty()) {
        extras.erase("reactions");
    } else {
        json list = json::array();
        for (const ReactionSpec& r : b.reactions)
            list.push_back(ReactionToJson(r));
        extras["reactions"] = list;
    }
    if (b.scripts.empty()) {
        extras.erase("scripts");
    } else {
        json list = json::array();
        for (const ScriptSpec& sc : b.scripts)
            list.push_back(ScriptToJson(sc));
        extras["scripts"] = list;
    }
}

} // namespace behaviour
