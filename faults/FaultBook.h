// The fault rules of a running program: what the dialog shows and edits, what automation and the
// headless program load, what a test configuration saves. Each rule has an id for as long as it
// lives; every change installs the whole list in the engine at once.
#pragma once

#include "engine/FaultRules.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace pomrel { class ProtocolEngine; }

namespace faults {

class FaultBook {
public:
    explicit FaultBook(pomrel::ProtocolEngine& engine) : engine_(engine) {}

    /// A rule as listed: its id, the rule, and its counters since the scenario was loaded.
    struct Entry {
        pomrel::FaultRule rule;   // rule.id is the entry's id
        std::uint64_t matched = 0;
        std::uint64_t fired = 0;
    };
    std::vector<Entry> List() const;
    /// Each rule in order with its counters, without copying the list (thousands of rules).
    void Visit(const std::function<void(const pomrel::FaultRule& rule, std::uint64_t matched, std::uint64_t fired)>& each) const;
    const std::vector<pomrel::FaultRule>& Rules() const { return rules_; }
    bool Empty() const { return rules_.empty(); }
    /// As many rules as may be in force (kMaxFaultRules): Add adds no more.
    bool Full() const;

    /// Replaces every rule (a scenario file, a test configuration): counters and time windows
    /// start again. Each rule must pass pomrel::CheckFaultRule.
    void Replace(std::vector<pomrel::FaultRule> rules);
    /// Adds a rule at the end; returns its id, or 0 when the book is full.
    std::uint32_t Add(pomrel::FaultRule rule);
    /// Puts `rule` in the place of rule `id`, keeping its id and counters.
    bool Update(std::uint32_t id, pomrel::FaultRule rule);
    bool Remove(std::uint32_t id);
    bool Enable(std::uint32_t id, bool on);
    /// Moves rule `id` one place up (earlier rules are tried first) or down.
    bool Move(std::uint32_t id, int by);
    void Clear();

private:
    void Install(bool fresh);
    /// After `freed` rules went: returns the heap's free pages to the system when they were many.
    static void GiveBack(std::size_t freed);
    static constexpr std::size_t kGiveBackRules = 1000;
    std::vector<pomrel::FaultRule>::iterator Find(std::uint32_t id);

    pomrel::ProtocolEngine& engine_;
    std::vector<pomrel::FaultRule> rules_;
    std::uint32_t nextId_ = 1;
};

} // namespace faults
