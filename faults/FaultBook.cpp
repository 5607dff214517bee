#include "faults/FaultBook.h"

#include "engine/ProtocolEngine.h"
#include "faults/FaultScenario.h"

#include <algorithm>

#ifdef __GLIBC__
#include <malloc.h>
#endif

namespace faults {

using pomrel::FaultRule;

std::vector<FaultBook::Entry> FaultBook::List() const
{
    std::vector<Entry> list;
    list.reserve(rules_.size());
    Visit([&list](const FaultRule& rule, std::uint64_t matched, std::uint64_t fired) {
        list.push_back(Entry{rule, matched, fired});
    });
    return list;
}

void FaultBook::Visit(const std::function<void(const FaultRule&, std::uint64_t, std::uint64_t)>& each) const
{
    const auto set = engine_.FaultRulesInForce();
    for (const FaultRule& rule : rules_) {
        const std::size_t i = set ? set->IndexOf(rule.id) : pomrel::FaultSet::kNotFound;
        if (i != pomrel::FaultSet::kNotFound)
            each(rule, set->Matched(i), set->Fired(i));
        else
            each(rule, 0, 0);
    }
}

bool FaultBook::Full() const
{
    return rules_.size() >= kMaxFaultRules;
}

void FaultBook::Replace(std::vector<FaultRule> rules)
{
    const std::size_t had = rules_.size();
    rules_ = std::move(rules);
    for (FaultRule& r : rules_)
        r.id = nextId_++;
    Install(true);
    GiveBack(had);
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
    const std::size_t had = rules_.size();
    std::vector<FaultRule>().swap(rules_);
    Install(true);
    GiveBack(had);
}

void FaultBook::GiveBack(std::size_t freed)
{
    // Thousands of rules, and the lists and answers made of them, leave the heap in pieces the
    // allocator keeps for itself (tens of MB for 10 000 rules listed once); after such a clear
    // the whole pages among them go back to the system.
#ifdef __GLIBC__
    if (freed >= kGiveBackRules)
        ::malloc_trim(0);
#else
    (void)freed;
#endif
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
