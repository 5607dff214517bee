#include "automation/FaultAutomation.h"

#include "automation/MethodRegistry.h"

#include "faults/FaultBook.h"
#include "faults/FaultScenario.h"

namespace {

FaultCallResult Refused(std::string message) { return {-1, nullptr, std::move(message)}; }

bool ValidId(std::int64_t id) { return id > 0 && id <= 0xFFFFFFFF; }

} // namespace

FaultCallResult FaultAutomation::LoadScenario(const std::string& path)
{
    std::string error;
    if (!loadScenario_(path, error))
        return Refused(error);
    return {};
}

FaultCallResult FaultAutomation::AddFault(const nlohmann::json& rule)
{
    std::string error;
    auto parsed = faults::ParseFaultRule(rule, error);
    if (!parsed)
        return Refused(error);
    if (book_.Full())
        return Refused("at most " + std::to_string(faults::kMaxFaultRules) + " fault rules in force (there are " +
                       std::to_string(book_.Rules().size()) + ")");
    return {0, book_.Add(std::move(*parsed)), {}};
}

FaultCallResult FaultAutomation::RemoveFault(std::int64_t id)
{
    if (!ValidId(id) || !book_.Remove(static_cast<std::uint32_t>(id)))
        return Refused("no fault rule " + std::to_string(id));
    return {};
}

FaultCallResult FaultAutomation::EnableFault(std::int64_t id, bool on)
{
    if (!ValidId(id) || !book_.Enable(static_cast<std::uint32_t>(id), on))
        return Refused("no fault rule " + std::to_string(id));
    return {};
}

FaultCallResult FaultAutomation::ListFaults() const
{
    // Straight from the book into the answer: with thousands of rules every copy is megabytes.
    nlohmann::json list = nlohmann::json::array();
    list.get_ref<nlohmann::json::array_t&>().reserve(book_.Rules().size());
    book_.Visit([&list](const pomrel::FaultRule& rule, std::uint64_t matched, std::uint64_t fired) {
        nlohmann::json j = faults::FaultRuleToJson(rule);
        j["id"] = rule.id;
        j["enabled"] = rule.enabled;
        j["matched"] = matched;
        j["fired"] = fired;
        list.push_back(std::move(j));
    });
    return {0, std::move(list), {}};
}

FaultCallResult FaultAutomation::ClearFaults()
{
    book_.Clear();
    return {};
}

namespace {
// The value moves into the answer rather than being copied (a list of every rule).
MethodOutcome Answer(FaultCallResult r)
{
    nlohmann::json result = StatusResult(r.status, nullptr, r.message);
    if (!r.value.is_null())
        result["value"] = std::move(r.value);
    return MethodOutcome::Done(std::move(result));
}
}  // namespace

void RegisterFaultMethods(MethodRegistry& registry, FaultAutomation& methods)
{
    FaultAutomation* m = &methods;
    // A rule id: a whole number (its range is the methods' to judge: an unknown id is status -1).
    const ParamShape id{"id", "whole number"};
    registry.Add({"LoadScenario", "faults", {{"path", "string"}}, [m](const nlohmann::json& p) {
                      if (!p[0].is_string()) return MethodOutcome::Invalid("path: a string");
                      return Answer(m->LoadScenario(p[0].get<std::string>()));
                  }});
    registry.Add({"AddFault", "faults", {{"rule", "object"}}, [m](const nlohmann::json& p) {
                      if (!p[0].is_object()) return MethodOutcome::Invalid("rule: a JSON object");
                      return Answer(m->AddFault(p[0]));
                  }});
    registry.Add({"RemoveFault", "faults", {id}, [m](const nlohmann::json& p) {
                      std::int64_t rule = 0;
                      if (!WholeNumber(p[0], rule)) return MethodOutcome::Invalid("id: a whole number");
                      return Answer(m->RemoveFault(rule));
                  }});
    registry.Add({"EnableFault", "faults", {id, {"on", "boolean"}}, [m](const nlohmann::json& p) {
                      std::int64_t rule = 0;
                      if (!WholeNumber(p[0], rule)) return MethodOutcome::Invalid("id: a whole number");
                      if (!p[1].is_boolean()) return MethodOutcome::Invalid("on: true or false");
                      return Answer(m->EnableFault(rule, p[1].get<bool>()));
                  }});
    registry.Add({"ListFaults", "faults", {}, [m](const nlohmann::json&) { return Answer(m->ListFaults()); }});
    registry.Add({"ClearFaults", "faults", {}, [m](const nlohmann::json&) { return Answer(m->ClearFaults()); }});
}
