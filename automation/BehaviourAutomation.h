// The behaviour methods of automation: ListBehaviour, AddGenerator, RemoveGenerator,
// EnableGenerator, AddReaction, RemoveReaction, ReloadScripts, ClearBehaviour. Plain code over the
// program's behaviour book; each returns the whole result object ({"status": 0, ...}, or
// {"status": -1, "message"} naming the generator, reaction or script and its field).
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>

class MethodRegistry;
namespace behaviour { class BehaviourBook; }

class BehaviourAutomation {
public:
    explicit BehaviourAutomation(behaviour::BehaviourBook& book) : book_(book) {}

    /// {"generators": [...], "reactions": [...], "scripts": [...]}: each as the extras file keeps
    /// it, with "id" and its counters ("updates", "enabled", "attached"; "fired"; "state",
    /// "calls", "error").
    nlohmann::json ListBehaviour() const;
    /// {"status": 0, "id"}.
    nlohmann::json AddGenerator(const nlohmann::json& generator);
    nlohmann::json RemoveGenerator(std::int64_t id);
    nlohmann::json EnableGenerator(std::int64_t id, bool on);
    /// {"status": 0, "id"}.
    nlohmann::json AddReaction(const nlohmann::json& reaction);
    nlohmann::json RemoveReaction(std::int64_t id);
    nlohmann::json ReloadScripts();
    nlohmann::json ClearBehaviour();

private:
    behaviour::BehaviourBook& book_;
};

/// Adds the eight methods on `methods` to the registry, as the "behaviour" family.
void RegisterBehaviourMethods(MethodRegistry& registry, BehaviourAutomation& methods);
