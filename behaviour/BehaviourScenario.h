// Behaviour as JSON: the "generators", "reactions" and "scripts" lists of a set-up's extras, read
// into plain descriptions and written back. Reading is all or nothing, as for fault rules: an
// unknown field, a wrong type, a value out of range or a field of another kind refuses the whole
// list, naming the item (index and name) and the field.
#pragma once

#include <nlohmann/json_fwd.hpp>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace behaviour {

/// How a generated number becomes register words (or a bit).
enum class Encoding : std::uint8_t { Bit, Int16, Uint16, Int32, Uint32, Int64, Uint64, Float32, Float64 };

enum class Kind : std::uint8_t { Sine, Triangle, Ramp, Square, Random, RandomWalk, Counter, Steps, Clock, Csv };

/// One row of a csv file: from `ms` after the start, `value` until the next row.
struct CsvRow {
    std::int64_t ms = 0;
    double value = 0.0;
};

struct GeneratorSpec {
    std::string name;
    int unit = 1;                 // 1..255
    int type = 3;                 // 1 coils, 2 inputs, 3 holding, 4 input registers
    std::uint32_t address = 1;    // 1..65536, as the documents count them
    Encoding value = Encoding::Uint16;
    bool swapped = false;         // high word first
    Kind kind = Kind::Sine;
    std::optional<double> min;    // absent: the value's range
    std::optional<double> max;
    std::uint32_t periodMs = 0;   // sine, triangle, ramp, square
    double phase = 0.0;           // 0..1 of a period
    double step = 1.0;            // counter, random-walk
    std::uint64_t seed = 0;       // random, random-walk
    std::vector<double> values;   // steps
    std::vector<std::uint32_t> durationsMs;
    std::string file;             // csv, as written (relative to the extras file)
    std::shared_ptr<const std::vector<CsvRow>> rows;   // the file's rows, read when parsed
    bool loop = true;             // steps, csv
    std::uint32_t updateMs = 1000;
    bool enabled = true;

    /// min and max with their defaults filled in.
    double Low() const;
    double High() const;
};

/// A point of a reaction's target.
struct PointRef {
    int unit = 1;
    int type = 3;
    std::uint32_t address = 1;
    bool operator==(const PointRef&) const = default;
};

enum class ReactionAction : std::uint8_t { Copy, Set, Add, Toggle, Clear };

/// What happens when a master's write covers a point.
struct ReactionSpec {
    std::string name;
    PointRef point;                   // the written point watched
    std::optional<double> equals;     // fires only when the written value equals this
    ReactionAction action = ReactionAction::Copy;
    std::optional<PointRef> target;   // copy, set, add, toggle
    double value = 0.0;               // set, add
    Encoding encoding = Encoding::Uint16;   // the "value" width of the watched and target points
    bool swapped = false;
    std::uint32_t afterMs = 0;        // 0..3 600 000
    bool enabled = true;
};

/// A Lua script of the extras.
struct ScriptSpec {
    std::string name;
    std::string file;                 // as written (relative to the extras file)
    std::string path;                 // resolved when parsed
    std::uint32_t tickMs = 0;         // 0: no on_tick
};

/// Everything the behaviour core puts in force at once.
struct Behaviour {
    std::vector<GeneratorSpec> generators;
    std::vector<ReactionSpec> reactions;
    std::vector<ScriptSpec> scripts;
};

// Limits a file may not pass.
inline constexpr std::uint32_t kMinUpdateMs = 10;
inline constexpr std::uint32_t kMaxUpdateMs = 3'600'000;
inline constexpr std::uint32_t kMaxPeriodMs = 86'400'000;   // a day
inline constexpr std::size_t kMaxSteps = 10'000;
inline constexpr std::uintmax_t kMaxCsvBytes = 16u << 20;
inline constexpr std::size_t kMaxCsvRows = 1'000'000;

/// Words one value takes in register memory (a bit: one word holding 0 or 1).
int WordsOf(Encoding e);
/// The value's range as a double (64-bit integers: the nearest doubles inside the range).
double LowestOf(Encoding e);
double HighestOf(Encoding e);
bool IsInteger(Encoding e);

const char* EncodingName(Encoding e);
std::optional<Encoding> EncodingFromName(const std::string& name);
const char* KindName(Kind k);
std::optional<Kind> KindFromName(const std::string& name);

/// One generator; csv files are read relative to `baseDir` (empty: the working folder).
/// `error` names the field ("field \"max\": ...") or the file and line.
std::optional<GeneratorSpec> ParseGenerator(const nlohmann::json& j, const std::string& baseDir, std::string& error);
/// A "generators" array; `error` starts with the generator ("generator 2 (\"pump\"): ...").
std::optional<std::vector<GeneratorSpec>> ParseGeneratorList(const nlohmann::json& list, const std::string& baseDir,
                                                             std::string& error);
/// The behaviour keys of an extras object (absent keys: nothing); other keys are not looked at.
std::optional<Behaviour> ParseBehaviour(const nlohmann::json& extras, const std::string& baseDir, std::string& error);

/// A generator as the file keeps it: the fields that differ from their defaults, and always
/// unit, type, address, kind.
nlohmann::json GeneratorToJson(const GeneratorSpec& g);
nlohmann::json GeneratorListToJson(const std::vector<GeneratorSpec>& list);
/// Writes the behaviour keys into `extras` (a key with nothing to hold is left out).
void BehaviourToJson(const Behaviour& b, nlohmann::json& extras);

const char* ActionName(ReactionAction a);
std::optional<ReactionAction> ActionFromName(const std::string& name);
/// One reaction. Its "value" is the width's name (as a generator's, default "uint16"), or for set
/// and add the number, the width then in "width". Coils and inputs are one bit whatever the width.
std::optional<ReactionSpec> ParseReaction(const nlohmann::json& j, std::string& error);
/// A "reactions" array; `error` starts with the reaction ("reaction 2 (\"ack\"): ...").
std::optional<std::vector<ReactionSpec>> ParseReactionList(const nlohmann::json& list, std::string& error);
nlohmann::json ReactionToJson(const ReactionSpec& r);
/// One script: its file is resolved against `baseDir` into `path` (read when put in force).
std::optional<ScriptSpec> ParseScript(const nlohmann::json& j, const std::string& baseDir, std::string& error);
std::optional<std::vector<ScriptSpec>> ParseScriptList(const nlohmann::json& list, const std::string& baseDir,
                                                       std::string& error);
nlohmann::json ScriptToJson(const ScriptSpec& s);

/// Rows `ms,value` of a csv file: a regular file of at most kMaxCsvBytes, kMaxCsvRows rows whose
/// times rise strictly from 0 or later and whose values lie in [low, high]. Blank lines, lines
/// starting with '#' and a first line of column names are passed over. `error` is
/// "NAME:LINE: why" (or "NAME: why"), NAME being `shownName`.
std::optional<std::vector<CsvRow>> ReadCsvRows(const std::string& path, const std::string& shownName, double low,
                                               double high, std::string& error);

} // namespace behaviour
