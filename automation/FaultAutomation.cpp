#include "automation/FaultAutomation.h"

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
    nlohmann::json list = nlohmann::json::array();
    for (const auto& e : book_.List()) {
        nlohmann::json j = faults::FaultRuleToJson(e.rule);
        j["id"] = e.rule.id;
        j["enabled"] = e.rule.enabled;
        j["matched"] = e.matched;
        j["fired"] = e.fired;
        list.push_back(std::move(j));
    }
    return {0, std::move(list), {}};
}

FaultCallResult FaultAutomation::ClearFaults()
{
    book_.Clear();
    return {};
}
