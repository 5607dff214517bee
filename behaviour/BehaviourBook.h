// The program's behaviour: its generators, reactions and scripts, with ids, counters and the
// thread that runs them. Everything that drives behaviour (set-up extras, scenarios, automation,
// the Behaviour window) goes through here; the application owns one.
#pragma once

#include "behaviour/BehaviourScenario.h"
#include "behaviour/GeneratorRunner.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace pomrel { class ProtocolEngine; }

namespace behaviour {

struct ReactionStatus {
    std::uint64_t id = 0;
    ReactionSpec spec;
    std::uint64_t fired = 0;
};

struct ScriptStatus {
    std::uint64_t id = 0;
    ScriptSpec spec;
    std::string state;          // "running", "stopped" (ten failing calls in a row), "failed" (did not load)
    std::uint64_t calls = 0;
    std::string error;          // the last error, "file:line: message"; empty: none
};

/// A line a script logged (kv.log) or the behaviour core told (a stopped call, an overflow).
struct BehaviourLogLine {
    std::uint64_t sequence = 0;  // rises by one per line
    std::int64_t wallMs = 0;     // ms since 1970 UTC
    std::string source;          // the script's name; empty: the behaviour core
    std::string text;
};

class BehaviourBook {
public:
    /// `points` resolves points in the open data windows; `engine` hands over masters' writes.
    BehaviourBook(pomrel::ProtocolEngine& engine, PointSource& points);
    ~BehaviourBook();
    BehaviourBook(const BehaviourBook&) = delete;
    BehaviourBook& operator=(const BehaviourBook&) = delete;

    /// Replaces everything in force at once (generators, reactions, scripts). All or nothing: on
    /// a refusal `error` names the item and the field (or file:line) and what was in force stays.
    bool PutInForce(Behaviour behaviour, std::string& error);
    /// What is in force, as the extras keep it.
    Behaviour InForce() const;
    void Clear();

    std::optional<std::uint64_t> AddGenerator(GeneratorSpec spec, std::string& error);
    /// Replaces a generator's description, keeping its id.
    bool ReplaceGenerator(std::uint64_t id, GeneratorSpec spec, std::string& error);
    bool RemoveGenerator(std::uint64_t id);
    bool EnableGenerator(std::uint64_t id, bool on);
    std::optional<std::uint64_t> AddReaction(ReactionSpec spec, std::string& error);
    bool RemoveReaction(std::uint64_t id);
    /// Loads every script again from its file (all or nothing, as PutInForce).
    bool ReloadScripts(std::string& error);

    std::vector<GeneratorStatus> Generators() const;
    std::vector<ReactionStatus> Reactions() const;
    std::vector<ScriptStatus> Scripts() const;
    /// Lines with a sequence above `after`, oldest first (the last 1000 are kept).
    std::vector<BehaviourLogLine> LogSince(std::uint64_t after) const;
    /// Master writes dropped because the behaviour thread was behind (the hand-over is bounded).
    std::uint64_t DroppedWrites() const;

    /// True when an enabled generator writes this word (Auto Simulation leaves it alone).
    bool Drives(int unit, int type, std::uint32_t address) const;
    /// No generator, reaction or script touches `document`'s words once this returns.
    void ForgetOwner(const void* document);

    GeneratorRunner& Runner() { return runner_; }

private:
    [[maybe_unused]] pomrel::ProtocolEngine& engine_;
    PointSource& points_;
    SystemClock clock_;
    GeneratorRunner runner_;
};

} // namespace behaviour
