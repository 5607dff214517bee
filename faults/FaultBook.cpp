#include "faults/FaultBook.h"

#include "engine/ProtocolEngine.h"
#include "faults/FaultScenario.h"

#include <algorithm>

namespace faults {

using pomrel::FaultRule;

std::vector<FaultBook::Entry> FaultBook::List() const
{
    const auto set = engine_.FaultRulesInForce();
    std::vector<Entry> list;
    list.reserve(rules_.size());
    for (const FaultRule& rule : rules_) {
        Entry e{rule, 0, 0};
        const std::size_t i = set ? set->IndexOf(rule.id) : pomrel::FaultSet::kNotFound;
        if (i != pomrel::FaultSet::kNotFound) {
            e.matched = set->Matched(i);
            e.fired = set->Fired(i);
        }
        list.push_back(std::move(e));
    }
    return list;
}

bool FaultBook::Full() const
{
    return rules_.size() >= kMaxFaultRules;
}

void FaultBook::Replace(std::vector<FaultRule> rules)
{
    rules_ = std::move(rules);
    for (FaultRule& r : rules_)
        r.id = nextId_++;
    Install(true);
}

std::uint32_t FaultBook::Add(FaultRule rule)
{
    if (Full())
        return 0;
    rule.id = nextId_++;
    rules_.push_back(std::move(rule));
    Install(rules_.size() == 1);
    return rules_.back().id;
}

bool FaultBook::Update(std::uint32_t id, FaultRule rule)
{
    const auto it = Find(id);
    if (it == rules_.end())
        return false;
    rule.id = id;
    *it = std::move(rule);
    Install(false);
    return true;
}

bool FaultBook::Remove(std::uint32_t id)
{
    const auto it = Find(id);
    if (it == rules_.end())
        return false;
    rules_.erase(it);
    Install(false);
    return true;
}

bool FaultBook::Enable(std::uint32_t id, bool on)
{
    const auto it = Find(id);
    if (it == rules_.end())
        return false;
    it->enabled = on;
    Install(false);
    return true;
}

bool FaultBook::Move(std::uint32_t id, int by)
{
    const auto it = Find(id);
    if (it == rules_.end())
        return false;
    const auto from = it - rules_.begin();
    const auto to = from + by;
    if (to < 0 || to >= static_cast<std::ptrdiff_t>(rules_.size()))
        return false;
    std::swap(rules_[static_cast<std::size_t>(from)], rules_[static_cast<std::size_t>(to)]);
    Install(false);
    return true;
}

void FaultBook::Clear()
{
    rules_.clear();
    Install(true);
}

void FaultBook::Install(bool fresh)
{
    engine_.SetFaultRules(rules_, fresh);
}

std::vector<FaultRule>::iterator FaultBook::Find(std::uint32_t id)
{
    return std::find_if(rules_.begin(), rules_.end(), [id](const FaultRule& r) { return r.id == id; });
}

} // namespace faults
