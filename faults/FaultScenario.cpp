#include "faults/FaultScenario.h"

#include "document/JsonFields.h"
#include "document/StrictJson.h"

#include <nlohmann/json.hpp>

#include <cmath>
#include <limits>
#include <sstream>

namespace faults {

using nlohmann::json;
using pomrel::FaultAction;
using pomrel::FaultRule;

namespace {

struct ActionNaming {
    FaultAction action;
    const char* name;
};
constexpr ActionNaming kActions[] = {
    {FaultAction::Delay, "delay"},         {FaultAction::NoReply, "no-reply"},
    {FaultAction::Exception, "exception"}, {FaultAction::BadChecksum, "bad-checksum"},
    {FaultAction::WrongUnit, "wrong-unit"},{FaultAction::Truncate, "truncate"},
    {FaultAction::Split, "split"},         {FaultAction::Junk, "junk"},
    {FaultAction::Close, "close"},
};

constexpr const char* kFields[] = {"name",  "link",  "unit",  "functions",   "type",        "first", "last",
                                   "action", "code", "after", "every",       "times",       "probability",
                                   "seed",  "from_s", "until_s", "delay_ms", "bytes",       "gap_ms", "enabled"};

std::string RuleLabel(std::size_t index, const json& rule)
{
    std::string label = "rule " + std::to_string(index + 1);
    const auto it = rule.find("name");
    if (it != rule.end() && it->is_string())
        label += " (\"" + it->get<std::string>() + "\")";
    return label;
}

} // namespace

const char* ActionName(FaultAction action)
{
    for (const auto& a : kActions)
        if (a.action == action)
            return a.name;
    return "delay";
}

std::optional<FaultAction> ActionFromName(const std::string& name)
{
    for (const auto& a : kActions)
        if (name == a.name)
            return a.action;
    return std::nullopt;
}

std::optional<FaultRule> ParseFaultRule(const json& j, std::string& error)
{
    error = FieldNamesError(j, kFields);
    if (!error.empty())
        return std::nullopt;
    // Six digits, as this reader's range messages have always been written ("0 to 1e+09").
    JsonFieldReader in(j, error, 6);
    FaultRule r;
    in.Require("action", "delay, no-reply, exception, bad-checksum, wrong-unit, truncate, split, junk or close");
    if (const auto action = in.Text("action")) {
        const auto known = ActionFromName(*action);
        if (!known)
            in.Fail("action", "unknown action \"" + *action + "\"");
        else
            r.action = *known;
    }
    if (auto v = in.Text("name")) r.name = *v;
    if (auto v = in.Text("link")) r.link = *v;
    if (auto v = in.Integer("unit", 0, 255)) r.unit = static_cast<int>(*v);
    if (!in.Failed() && j.contains("functions")) {
        const json& list = j["functions"];
        if (!list.is_array() || list.empty()) {
            in.Fail("functions", "must be a list of function codes 1 to 255");
        } else {
            for (const json& f : list) {
                if (!f.is_number_integer() || f.get<std::int64_t>() < 1 || f.get<std::int64_t>() > 255) {
                    in.Fail("functions", "must be a list of function codes 1 to 255");
                    break;
                }
                r.functions.push_back(static_cast<std::uint8_t>(f.get<int>()));
            }
        }
    }
    if (auto v = in.Integer("type", 1, 4)) r.pointType = static_cast<int>(*v);
    const auto first = in.Integer("first", 1, 65536);
    const auto last = in.Integer("last", 1, 65536);
    if (first || last) {
        r.first = static_cast<std::uint32_t>(first.value_or(1));
        r.last = static_cast<std::uint32_t>(last.value_or(65536));
    }
    if (auto v = in.Integer("code", 1, 255)) r.exceptionCode = static_cast<std::uint8_t>(*v);
    if (auto v = in.Integer("after", 0, std::numeric_limits<std::uint32_t>::max())) r.after = static_cast<std::uint32_t>(*v);
    if (auto v = in.Integer("every", 1, std::numeric_limits<std::uint32_t>::max())) r.every = static_cast<std::uint32_t>(*v);
    if (auto v = in.Integer("times", 0, std::numeric_limits<std::uint32_t>::max())) r.times = static_cast<std::uint32_t>(*v);
    if (auto v = in.Number("probability", 0.0, 1.0)) r.probability = *v;
    if (auto v = in.Integer("seed", 0, std::numeric_limits<std::int64_t>::max())) r.seed = static_cast<std::uint64_t>(*v);
    if (auto v = in.Number("from_s", 0.0, 1e9)) r.fromS = *v;
    if (auto v = in.Number("until_s", 0.0, 1e9)) r.untilS = *v;
    if (auto v = in.Integer("delay_ms", 0, 600000)) r.delayMs = static_cast<std::uint32_t>(*v);
    if (auto v = in.Integer("bytes", 1, 512)) r.bytes = static_cast<std::uint32_t>(*v);
    if (auto v = in.Integer("gap_ms", 1, 60000)) r.gapMs = static_cast<std::uint32_t>(*v);
    if (auto v = in.Flag("enabled")) r.enabled = *v;
    in.OnlyWith("code", r.action == FaultAction::Exception, "action \"exception\"");
    in.OnlyWith("bytes", r.action == FaultAction::Truncate || r.action == FaultAction::Junk,
                "action \"truncate\" or \"junk\"");
    in.OnlyWith("gap_ms", r.action == FaultAction::Split, "action \"split\"");
    if (in.Failed())
        return std::nullopt;
    // The rules across fields, as the engine states them ("code: must be ...").
    const std::string why = pomrel::CheckFaultRule(r);
    if (!why.empty()) {
        const auto colon = why.find(':');
        error = "field \"" + why.substr(0, colon) + "\"" + why.substr(colon);
        return std::nullopt;
    }
    return r;
}

std::optional<FaultRule> ParseFaultRuleText(const std::string& text, std::string& error)
{
    std::optional<JsonDuplicate> duplicate;
    const json j = ParseJsonNoDuplicates(text, duplicate);
    if (j.is_discarded()) {
        error = "not JSON";
        return std::nullopt;
    }
    if (duplicate) {
        error = duplicate->where.empty() ? "duplicate field \"" + duplicate->key + "\""
                                         : duplicate->Path() + ": duplicate key";
        return std::nullopt;
    }
    return ParseFaultRule(j, error);
}

std::string DuplicateFieldError(const json& list, std::size_t index, const std::string& key)
{
    return RuleLabel(index, list[index]) + ": duplicate field \"" + key + "\"";
}

std::optional<std::vector<FaultRule>> ParseFaultList(const json& list, std::string& error)
{
    if (!list.is_array()) {
        error = "\"faults\" must be a list of rules";
        return std::nullopt;
    }
    if (list.size() > kMaxFaultRules) {
        error = "at most " + std::to_string(kMaxFaultRules) + " rules (this list has " + std::to_string(list.size()) + ")";
        return std::nullopt;
    }
    std::vector<FaultRule> rules;
    rules.reserve(list.size());
    for (std::size_t i = 0; i < list.size(); ++i) {
        std::string why;
        auto rule = ParseFaultRule(list[i], why);
        if (!rule) {
            error = RuleLabel(i, list[i]) + ": " + why;
            return std::nullopt;
        }
        rules.push_back(std::move(*rule));
    }
    return rules;
}

json FaultRuleToJson(const FaultRule& r)
{
    const FaultRule d;
    json j = json::object();
    if (!r.name.empty()) j["name"] = r.name;
    if (r.link != d.link) j["link"] = r.link;
    if (r.unit >= 0) j["unit"] = r.unit;
    if (!r.functions.empty()) {
        json list = json::array();
        for (std::uint8_t f : r.functions)
            list.push_back(int(f));
        j["functions"] = list;
    }
    if (r.pointType != 0) j["type"] = r.pointType;
    if (r.first != 0) {
        j["first"] = r.first;
        j["last"] = r.last;
    }
    j["action"] = ActionName(r.action);
    if (r.action == FaultAction::Exception) j["code"] = r.exceptionCode;
    if (r.delayMs != 0) j["delay_ms"] = r.delayMs;
    if (r.action == FaultAction::Truncate || r.action == FaultAction::Junk) j["bytes"] = r.bytes;
    if (r.action == FaultAction::Split) j["gap_ms"] = r.gapMs;
    if (r.after != d.after) j["after"] = r.after;
    if (r.every != d.every) j["every"] = r.every;
    if (r.times != d.times) j["times"] = r.times;
    if (r.probability != d.probability) j["probability"] = r.probability;
    if (r.seed != d.seed) j["seed"] = r.seed;
    if (r.fromS != d.fromS) j["from_s"] = r.fromS;
    if (r.untilS >= 0.0) j["until_s"] = r.untilS;
    if (!r.enabled) j["enabled"] = false;
    return j;
}

json FaultListToJson(const std::vector<FaultRule>& rules)
{
    json list = json::array();
    for (const FaultRule& r : rules)
        list.push_back(FaultRuleToJson(r));
    return list;
}

std::string FunctionsText(const FaultRule& r)
{
    if (r.functions.empty())
        return "any";
    std::string s;
    for (std::uint8_t f : r.functions)
        s += (s.empty() ? "" : ", ") + std::to_string(f);
    return s;
}

std::string AddressesText(const FaultRule& r)
{
    std::string s = r.pointType == 0 ? std::string() : "type " + std::to_string(r.pointType) + " ";
    if (r.first == 0)
        return s + "any";
    return s + (r.first == r.last ? std::to_string(r.first) : std::to_string(r.first) + "-" + std::to_string(r.last));
}

std::string TriggerText(const FaultRule& r)
{
    std::ostringstream s;
    const char* sep = "";
    if (r.after) { s << "after " << r.after; sep = ", "; }
    if (r.every != 1) { s << sep << "every " << r.every; sep = ", "; }
    if (r.times) { s << sep << r.times << (r.times == 1 ? " time" : " times"); sep = ", "; }
    if (r.probability != 1.0) { s << sep << "p " << r.probability << " seed " << r.seed; sep = ", "; }
    if (r.fromS != 0.0 || r.untilS >= 0.0) {
        s << sep << r.fromS << "-";
        if (r.untilS >= 0.0)
            s << r.untilS;
        s << " s";
        sep = ", ";
    }
    const std::string text = s.str();
    return text.empty() ? "always" : text;
}

} // namespace faults
