#include "automation/BehaviourAutomation.h"

#include "automation/MethodRegistry.h"
#include "behaviour/BehaviourBook.h"

#include <filesystem>

using nlohmann::json;

namespace {

json Done() { return StatusResult(0, nullptr, {}); }
json Refused(const std::string& message) { return StatusResult(-1, nullptr, message); }

json WithId(std::uint64_t id)
{
    json r = Done();
    r["id"] = id;
    return r;
}

bool ValidId(std::int64_t id) { return id > 0; }

// "generator (\"tank\")" or "generator": who a refusal of one object is about.
std::string Label(const char* what, const json& item)
{
    std::string label = what;
    if (const auto it = item.find("name"); it != item.end() && it->is_string())
        label += " (\"" + it->get<std::string>() + "\")";
    return label;
}

// One item of a behaviour list as the extras file keeps it: written through the one writer, so
// the answer never differs from the file.
json ItemJson(behaviour::Behaviour one, const char* key, const std::string& name)
{
    json extras = json::object();
    behaviour::BehaviourToJson(one, extras);
    const auto it = extras.find(key);
    if (it != extras.end() && it->is_array() && it->size() == 1 && (*it)[0].is_object())
        return (*it)[0];
    json j = json::object();
    if (!name.empty())
        j["name"] = name;
    return j;
}

} // namespace

json BehaviourAutomation::ListBehaviour() const
{
    json generators = json::array();
    for (const auto& g : book_.Generators()) {
        json j = behaviour::GeneratorToJson(g.spec);
        j["id"] = g.id;
        j["updates"] = g.updates;
        j["enabled"] = g.spec.enabled;
        j["attached"] = g.attached;
        generators.push_back(std::move(j));
    }
    json reactions = json::array();
    for (const auto& r : book_.Reactions()) {
        behaviour::Behaviour one;
        one.reactions.push_back(r.spec);
        json j = ItemJson(std::move(one), "reactions", r.spec.name);
        j["id"] = r.id;
        j["fired"] = r.fired;
        reactions.push_back(std::move(j));
    }
    json scripts = json::array();
    for (const auto& s : book_.Scripts()) {
        behaviour::Behaviour one;
        one.scripts.push_back(s.spec);
        json j = ItemJson(std::move(one), "scripts", s.spec.name);
        j["id"] = s.id;
        j["state"] = s.state;
        j["calls"] = s.calls;
        j["error"] = s.error;
        scripts.push_back(std::move(j));
    }
    json r = Done();
    r["generators"] = std::move(generators);
    r["reactions"] = std::move(reactions);
    r["scripts"] = std::move(scripts);
    return r;
}

json BehaviourAutomation::AddGenerator(const json& generator)
{
    std::string error;
    auto spec = behaviour::ParseGenerator(generator, {}, error);
    if (!spec)
        return Refused(Label("generator", generator) + ": " + error);
    // A csv file named here is read from the program's folder; kept whole, so that a set-up
    // saved later still finds it.
    if (spec->kind == behaviour::Kind::Csv && std::filesystem::path(spec->file).is_relative())
        spec->file = std::filesystem::absolute(spec->file).lexically_normal().string();
    const auto id = book_.AddGenerator(std::move(*spec), error);
    if (!id)
        return Refused(error);
    return WithId(*id);
}

json BehaviourAutomation::RemoveGenerator(std::int64_t id)
{
    if (!ValidId(id) || !book_.RemoveGenerator(static_cast<std::uint64_t>(id)))
        return Refused("no generator " + std::to_string(id));
    return Done();
}

json BehaviourAutomation::EnableGenerator(std::int64_t id, bool on)
{
    if (!ValidId(id) || !book_.EnableGenerator(static_cast<std::uint64_t>(id), on))
        return Refused("no generator " + std::to_string(id));
    return Done();
}

json BehaviourAutomation::AddReaction(const json& reaction)
{
    // Read as a list of one, by the same reader as the extras file.
    std::string error;
    auto parsed = behaviour::ParseBehaviour(json{{"reactions", json::array({reaction})}}, {}, error);
    if (!parsed)
        return Refused(error);
    if (parsed->reactions.size() != 1)
        return Refused(Label("reaction", reaction) + ": not a reaction this program knows");
    const auto id = book_.AddReaction(std::move(parsed->reactions.front()), error);
    if (!id)
        return Refused(error);
    return WithId(*id);
}

json BehaviourAutomation::RemoveReaction(std::int64_t id)
{
    if (!ValidId(id) || !book_.RemoveReaction(static_cast<std::uint64_t>(id)))
        return Refused("no reaction " + std::to_string(id));
    return Done();
}

json BehaviourAutomation::ReloadScripts()
{
    std::string error;
    if (!book_.ReloadScripts(error))
        return Refused(error);
    return Done();
}

json BehaviourAutomation::ClearBehaviour()
{
    book_.Clear();
    return Done();
}

void RegisterBehaviourMethods(MethodRegistry& registry, BehaviourAutomation& methods)
{
    BehaviourAutomation* m = &methods;
    const ParamShape id{"id", "whole number"};
    const auto done = [](json r) { return MethodOutcome::Done(std::move(r)); };
    const auto withId = [done](const json& p, auto call) {
        std::int64_t n = 0;
        if (!WholeNumber(p[0], n)) return MethodOutcome::Invalid("id: a whole number");
        return done(call(n));
    };
    registry.Add({"ListBehaviour", "behaviour", {}, [m, done](const json&) { return done(m->ListBehaviour()); }});
    registry.Add({"AddGenerator", "behaviour", {{"generator", "object"}}, [m, done](const json& p) {
                      if (!p[0].is_object()) return MethodOutcome::Invalid("generator: a JSON object");
                      return done(m->AddGenerator(p[0]));
                  }});
    registry.Add({"RemoveGenerator", "behaviour", {id}, [m, withId](const json& p) {
                      return withId(p, [m](std::int64_t n) { return m->RemoveGenerator(n); });
                  }});
    registry.Add({"EnableGenerator", "behaviour", {id, {"on", "boolean"}}, [m, withId](const json& p) {
                      if (!p[1].is_boolean()) return MethodOutcome::Invalid("on: true or false");
                      const bool on = p[1].get<bool>();
                      return withId(p, [m, on](std::int64_t n) { return m->EnableGenerator(n, on); });
                  }});
    registry.Add({"AddReaction", "behaviour", {{"reaction", "object"}}, [m, done](const json& p) {
                      if (!p[0].is_object()) return MethodOutcome::Invalid("reaction: a JSON object");
                      return done(m->AddReaction(p[0]));
                  }});
    registry.Add({"RemoveReaction", "behaviour", {id}, [m, withId](const json& p) {
                      return withId(p, [m](std::int64_t n) { return m->RemoveReaction(n); });
                  }});
    registry.Add({"ReloadScripts", "behaviour", {}, [m, done](const json&) { return done(m->ReloadScripts()); }});
    registry.Add({"ClearBehaviour", "behaviour", {}, [m, done](const json&) { return done(m->ClearBehaviour()); }});
}
