#include "behaviour/BehaviourBook.h"

#include <algorithm>

namespace behaviour {

BehaviourBook::BehaviourBook(pomrel::ProtocolEngine& engine, PointSource& points)
    : engine_(engine), points_(points), runner_(clock_)
{
    runner_.Start();
}

BehaviourBook::~BehaviourBook() { runner_.Stop(); }

bool BehaviourBook::PutInForce(Behaviour behaviour, std::string& error)
{
    return runner_.PutInForce(std::move(behaviour.generators), points_, error);
}

Behaviour BehaviourBook::InForce() const
{
    Behaviour b;
    for (auto& g : runner_.Status()) b.generators.push_back(g.spec);
    return b;
}

void BehaviourBook::Clear() { runner_.Clear(); }

std::optional<std::uint64_t> BehaviourBook::AddGenerator(GeneratorSpec spec, std::string& error)
{
    std::vector<GeneratorSpec> list;
    for (auto& g : runner_.Status()) list.push_back(g.spec);
    list.push_back(std::move(spec));
    if (!runner_.PutInForce(std::move(list), points_, error)) return std::nullopt;
    auto now = runner_.Status();
    return now.empty() ? std::nullopt : std::optional<std::uint64_t>(now.back().id);
}

bool BehaviourBook::ReplaceGenerator(std::uint64_t id, GeneratorSpec spec, std::string& error)
{
    std::vector<GeneratorSpec> list;
    bool found = false;
    for (auto& g : runner_.Status()) {
        if (g.id == id) {
            list.push_back(spec);
            found = true;
        } else {
            list.push_back(g.spec);
        }
    }
    if (!found) {
        error = "no generator " + std::to_string(id);
        return false;
    }
    return runner_.PutInForce(std::move(list), points_, error);
}

bool BehaviourBook::RemoveGenerator(std::uint64_t id)
{
    std::vector<GeneratorSpec> list;
    bool found = false;
    for (auto& g : runner_.Status()) {
        if (g.id == id) found = true;
        else list.push_back(g.spec);
    }
    std::string error;
    return found && runner_.PutInForce(std::move(list), points_, error);
}

bool BehaviourBook::EnableGenerator(std::uint64_t id, bool on) { return runner_.SetEnabled(id, on); }

std::optional<std::uint64_t> BehaviourBook::AddReaction(ReactionSpec, std::string& error)
{
    error = "reactions are not available yet";
    return std::nullopt;
}

bool BehaviourBook::RemoveReaction(std::uint64_t) { return false; }

bool BehaviourBook::ReloadScripts(std::string&) { return true; }

std::vector<GeneratorStatus> BehaviourBook::Generators() const { return runner_.Status(); }
std::vector<ReactionStatus> BehaviourBook::Reactions() const { return {}; }
std::vector<ScriptStatus> BehaviourBook::Scripts() const { return {}; }
std::vector<BehaviourLogLine> BehaviourBook::LogSince(std::uint64_t) const { return {}; }
std::uint64_t BehaviourBook::DroppedWrites() const { return 0; }

bool BehaviourBook::Drives(int unit, int type, std::uint32_t address) const
{
    return runner_.Drives(unit, type, address);
}

void BehaviourBook::ForgetOwner(const void* document) { runner_.ForgetOwner(document); }

} // namespace behaviour
