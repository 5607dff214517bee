#include "faults/FaultForm.h"

#include "faults/FaultScenario.h"

#include <nlohmann/json.hpp>

#include <cstdlib>

namespace faults {

using nlohmann::json;

namespace {

constexpr const char* kNames[] = {"name", "link", "unit", "functions", "type", "first", "last", "action", "code",
                                  "delay_ms", "bytes", "gap_ms", "after", "every", "times", "probability", "seed",
                                  "from_s", "until_s"};
constexpr const char* kLabels[] = {
    "Name", "Link (any, tcp, udp, rtu-over-tcp, tls, serial, serial:N)", "Unit (0-255, empty: any)", "Functions (e.g. 3, 16; empty: any)",
    "Point type (1-4, empty: any)", "First address (1-65536)", "Last address (1-65536)",
    "Action", "Exception code (1-255)", "Delay (ms)", "Bytes (truncate, junk)", "Gap (ms, split)",
    "Let through first (after)", "Then every n-th (every)", "At most (times, 0: no limit)",
    "Probability (0-1)", "Seed", "From (s after loading)", "Until (s after loading)"};
static_assert(std::size(kNames) == FaultForm::kFieldCount && std::size(kLabels) == FaultForm::kFieldCount);

std::string Trim(const std::string& s)
{
    const auto b = s.find_first_not_of(" \t");
    if (b == std::string::npos)
        return {};
    return s.substr(b, s.find_last_not_of(" \t") - b + 1);
}

// A number as JSON has it, or the text itself (so that the reader says "must be a number").
json Value(const std::string& text)
{
    const json parsed = json::parse(text, nullptr, false);
    if (!parsed.is_discarded() && parsed.is_number())
        return parsed;
    return text;
}

std::string NumberText(double d)
{
    json j = d;
    return j.dump();
}

} // namespace

const char* FaultForm::FieldName(int field) { return kNames[field]; }
const char* FaultForm::FieldLabel(int field) { return kLabels[field]; }

FaultForm FormFromRule(const pomrel::FaultRule& r)
{
    FaultForm f;
    const json j = FaultRuleToJson(r);
    for (int i = 0; i < FaultForm::kFieldCount; ++i) {
        const auto it = j.find(kNames[i]);
        if (it == j.end())
            continue;
        if (it->is_string())
            f.text[static_cast<std::size_t>(i)] = it->get<std::string>();
        else if (it->is_array())
            f.text[static_cast<std::size_t>(i)] = FunctionsText(r);
        else if (it->is_number_float())
            f.text[static_cast<std::size_t>(i)] = NumberText(it->get<double>());
        else
            f.text[static_cast<std::size_t>(i)] = it->dump();
    }
    f.enabled = r.enabled;
    return f;
}

std::optional<pomrel::FaultRule> RuleFromForm(const FaultForm& form, std::string& error)
{
    json j = json::object();
    for (int i = 0; i < FaultForm::kFieldCount; ++i) {
        const std::string text = i == FaultForm::kName ? form.text[static_cast<std::size_t>(i)]
                                                        : Trim(form.text[static_cast<std::size_t>(i)]);
        if (text.empty())
            continue;
        if (i == FaultForm::kName || i == FaultForm::kLink || i == FaultForm::kAction) {
            j[kNames[i]] = text;
        } else if (i == FaultForm::kFunctions) {
            json list = json::array();
            std::size_t at = 0;
            while (at <= text.size()) {
                const auto comma = text.find(',', at);
                const std::string item = Trim(text.substr(at, comma == std::string::npos ? std::string::npos : comma - at));
                list.push_back(Value(item));
                if (comma == std::string::npos)
                    break;
                at = comma + 1;
            }
            j[kNames[i]] = list;
        } else {
            j[kNames[i]] = Value(text);
        }
    }
    if (!form.enabled)
        j["enabled"] = false;
    return ParseFaultRule(j, error);
}

} // namespace faults
