// The program's behaviour: its generators, reactions and scripts, with ids, counters and the
// thread that runs them. Everything that drives behaviour (set-up extras, scenarios, automation,
// the Behaviour window) goes through here; the application owns one.
#pragma once

#include "behaviour/BehaviourScenario.h"
#include "behaviour/GeneratorRunner.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace pomrel { class ProtocolEngine; struct WriteRecord; }

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

/// Figures of the behaviour thread, for benches.
struct BehaviourStats {
    std::uint64_t writes = 0;                 // masters' writes handled
    std::array<std::uint64_t, 1000> delay{};  // writes by answer-to-handled delay, 10 µs steps; the last holds the rest
    /// The delay (ns) that `share` (0..1) of the writes did not pass.
    std::int64_t DelayQuantileNs(double share) const;
};

class BehaviourBook {
public:
    static constexpr std::size_t kLogLines = 1000;
    static constexpr int kFailuresToStop = 10;
    static constexpr std::size_t kMaxPendingAfter = 10'000;   // kv.after calls waiting, per script

    /// `points` resolves points in the open data windows; `engine` hands over masters' writes.
    BehaviourBook(pomrel::ProtocolEngine& engine, PointSource& points);
    /// For tests: time from `clock`, and no thread of its own (the test calls Step, and the
    /// generator runner's RunDue).
    struct Manual {};
    BehaviourBook(pomrel::ProtocolEngine& engine, PointSource& points, RunnerClock& clock, Manual);
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
    /// Ids, updates and last values only, in the order of Generators(): for a refresh.
    std::vector<GeneratorProgress> GeneratorProgressNow() const;
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

    /// Takes the points scripts reach again from the open data windows (after one opened).
    void RefreshPoints();
    /// Handles the writes handed over and runs whatever is due now (reactions' after_ms, scripts'
    /// ticks and kv.after); returns when the next is due (INT64_MAX: nothing waits). The
    /// behaviour thread calls it; tests call it instead of starting one.
    std::int64_t Step();
    BehaviourStats Stats() const;

private:
    struct Reaction;
    struct Script;
    struct Timer;
    struct TimerLater;
    struct State;
    class Host;

    void Start();
    void Loop();
    bool Install(Behaviour behaviour, std::string& error);
    void Handle(const pomrel::WriteRecord& w, std::int64_t nowNs);
    void Act(Reaction& r, long double written, std::int64_t nowNs);
    void RunTimers(std::int64_t nowNs);
    void Failed(Script& s, const std::string& error);
    void Told(const std::string& source, std::string text);
    void UpdateFeed();

    pomrel::ProtocolEngine& engine_;
    PointSource& points_;
    SystemClock systemClock_;
    RunnerClock& clock_;
    GeneratorRunner runner_;

    mutable std::mutex mutex_;            // all below; the behaviour thread holds it while it works
    std::unique_ptr<State> state_;
    std::uint64_t nextId_ = 1;
    BehaviourStats stats_;

    mutable std::mutex logMutex_;
    std::deque<BehaviourLogLine> log_;
    std::uint64_t logSequence_ = 0;

    std::vector<pomrel::WriteRecord> batch_;   // the behaviour thread's
    std::size_t taken_ = 0;                    // writes the last Step took
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

} // namespace behaviour
