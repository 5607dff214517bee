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
struct FieldText {
    const char* label;
    const char* hint;
    const char* help;
};
constexpr FieldText kTexts[] = {
    {"Name", "", "The rule's name, shown in the table, the Traffic Monitor and the traffic records."},
    {"Link", "", "The link whose requests the rule matches: any link, or one of those open (Modbus/TCP, "
                 "Modbus/UDP, RTU over TCP, TLS, a serial port). Another name, such as serial:5, may be typed."},
    {"Unit", "0-255; empty: any", "The unit id (slave address) of the requests the rule matches; empty: any unit."},
    {"Functions", "e.g. 3, 16; empty: any", "The function codes of the requests the rule matches, separated by "
                                            "commas; empty: any function."},
    {"Point type", "", "The kind of point the request addresses: coils, inputs, holding registers or input "
                       "registers (functions 5 and 15 address coils; 6, 16, 22 and 23 holding registers)."},
    {"First address", "from 1; empty: any", "The first address of the range the rule matches. Addresses count from 1, "
                                            "as the data windows count them. Give both first and last, or neither."},
    {"Last address", "from 1; empty: any", "The last address of the range the rule matches (counting from 1). A "
                                           "request that touches any address of the range matches."},
    {"Action", "", "What the rule does to a request it fires on: delay the answer, send no reply, answer with an "
                   "exception, a bad checksum (serial and RTU over TCP), a wrong unit id, a truncated, split or "
                   "junk-padded answer, or close the connection (connections only)."},
    {"Exception code", "", "The exception code of the answer (action exception): one of the codes the protocol "
                           "names, or another number 1 to 255."},
    {"Delay (ms)", "0-600000", "How long the answer waits before it is sent, in milliseconds (any action that "
                               "sends an answer)."},
    {"Bytes", "1-512", "Truncate: how many bytes of the answer are sent. Junk: how many bytes of junk follow it."},
    {"Gap (ms)", "1-60000", "Split: the pause between the two halves of the answer, in milliseconds."},
    {"Let through first", "0: none", "How many matching requests are answered normally before the rule fires."},
    {"Then every n-th", "1: every one", "After those, the rule fires on every n-th matching request."},
    {"At most (times)", "0: no limit", "The rule fires at most this many times, then lets requests through."},
    {"Probability", "0-1; empty: 1", "The chance that the rule fires on a request it would fire on."},
    {"Seed", "empty: 0", "The seed of the rule's random draws: the same seed fires on the same requests."},
    {"From (s after loading)", "empty: at once", "The rule fires only from this many seconds after the rules were "
                                                 "put in force."},
    {"Until (s after loading)", "empty: for ever", "The rule fires only until this many seconds after the rules "
                                                   "were put in force."}};
static_assert(std::size(kNames) == FaultForm::kFieldCount && std::size(kTexts) == FaultForm::kFieldCount);

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
const char* FaultForm::FieldLabel(int field) { return kTexts[field].label; }
const char* FaultForm::FieldHint(int field) { return kTexts[field].hint; }
const char* FaultForm::FieldHelp(int field) { return kTexts[field].help; }

bool FaultForm::FieldUsed(int field, const std::string& action)
{
    const auto a = ActionFromName(action);
    if (!a)
        return true;
    using pomrel::FaultAction;
    switch (field) {
    case kCode: return *a == FaultAction::Exception;
    case kDelayMs: return *a != FaultAction::NoReply && *a != FaultAction::Close;
    case kBytes: return *a == FaultAction::Truncate || *a == FaultAction::Junk;
    case kGapMs: return *a == FaultAction::Split;
    default: return true;
    }
}

std::vector<FormChoice> LinkChoices(const std::vector<std::string>& openLinks)
{
    std::vector<FormChoice> choices{{"any", "Any link"}};
    for (const std::string& link : openLinks) {
        std::string shown;
        if (link == "tcp")
            shown = "Modbus/TCP";
        else if (link == "udp")
            shown = "Modbus/UDP";
        else if (link == "rtu-over-tcp")
            shown = "RTU over TCP";
        else if (link == "tls")
            shown = "Modbus/TCP Security (TLS)";
        else if (link == "serial")
            shown = "Any serial port";
        else if (link.rfind("serial:", 0) == 0)
            shown = "Serial port " + link.substr(7);
        else
            continue;
        choices.push_back({link, shown + " (" + link + ")"});
    }
    return choices;
}

std::vector<FormChoice> PointTypeChoices()
{
    return {{"", "Any"}, {"1", "Coils"}, {"2", "Inputs"}, {"3", "Holding registers"}, {"4", "Input registers"}};
}

std::vector<FormChoice> ExceptionChoices()
{
    return {{"1", "01 Illegal Function"},
            {"2", "02 Illegal Data Address"},
            {"3", "03 Illegal Data Value"},
            {"4", "04 Server Device Failure"},
            {"5", "05 Acknowledge"},
            {"6", "06 Server Device Busy"},
            {"7", "07 Negative Acknowledge"},
            {"8", "08 Memory Parity Error"},
            {"10", "0A Gateway Path Unavailable"},
            {"11", "0B Gateway Target Device Failed to Respond"}};
}

std::string ChoiceValue(const std::vector<FormChoice>& choices, const std::string& shown)
{
    const std::string text = Trim(shown);
    for (const FormChoice& c : choices)
        if (text == c.shown || text == c.value)
            return c.value;
    return text;
}

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

std::optional<pomrel::FaultRule> RuleFromForm(const FaultForm& form, std::string& error, int* errorField)
{
    if (errorField)
        *errorField = -1;
    const std::string action = Trim(form.text[FaultForm::kAction]);
    json j = json::object();
    for (int i = 0; i < FaultForm::kFieldCount; ++i) {
        if (!FaultForm::FieldUsed(i, action))
            continue;
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
    auto rule = ParseFaultRule(j, error);
    // The reader says 'field "delay_ms": ...'; the editor's user knows the field by its label.
    const std::string prefix = "field \"";
    if (!rule && error.rfind(prefix, 0) == 0) {
        const auto close = error.find('"', prefix.size());
        const std::string key = close == std::string::npos ? std::string() : error.substr(prefix.size(), close - prefix.size());
        for (int i = 0; i < FaultForm::kFieldCount; ++i) {
            if (key == kNames[i]) {
                error = std::string(kTexts[i].label) + error.substr(close + 1);
                if (errorField)
                    *errorField = i;
                break;
            }
        }
    }
    return rule;
}

} // namespace faults
