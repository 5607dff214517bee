// Runs a list of generators on a thread of its own, on a fixed time grid from when the list was
// put in force: update k of a generator falls at t0 + k * update_ms, so an hour at 100 ms is
// 36 000 updates whatever the load. A late pass writes the current grid point and counts the
// ones it passed over. Values of several words are written under the document's value lock, as
// the engine reads them, so a master never sees half of one. The words of the next grid point are
// worked out right after a pass, so that a pass of a large list only stores them.
//
// Documents closing: before a document goes, its owner calls ForgetOwner(doc); that waits for a
// pass that is writing and leaves no pointer into the document behind (as RemoveDataBlock waits
// for the engine).
#pragma once

#include "behaviour/Generator.h"
#include "engine/ProtocolEngine.h"

#include <array>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

namespace behaviour {

/// `count` consecutive words of one open data window.
struct PointTarget {
    pomrel::RegisterWord* words = nullptr;   // the first
    std::mutex* lock = nullptr;              // the document's value lock
    const void* owner = nullptr;             // the document, for ForgetOwner
};

/// One open data window's block of points.
struct PointBlock {
    int unit = 0;
    int type = 0;
    std::uint32_t start = 1;                 // the first address, 1..65536
    std::uint32_t length = 0;
    pomrel::RegisterWord* words = nullptr;
    std::mutex* lock = nullptr;
    const void* owner = nullptr;
};

/// Where generators find their points; the application answers from its open data windows.
class PointSource {
public:
    virtual ~PointSource() = default;
    /// `words` words from `address` (1..65536) of unit/type, all in one open data window.
    virtual std::optional<PointTarget> Resolve(int unit, int type, std::uint32_t address, int words) = 0;
    /// Every block served now, in the order Resolve searches them (scripts reach any point).
    virtual std::vector<PointBlock> Blocks() { return {}; }
};

/// The runner's time: steady nanoseconds for the grid, wall ms for clocks. Tests drive their own.
class RunnerClock {
public:
    virtual ~RunnerClock() = default;
    virtual std::int64_t SteadyNs() = 0;
    virtual std::int64_t WallMs() = 0;
};

class SystemClock final : public RunnerClock {
public:
    std::int64_t SteadyNs() override;
    std::int64_t WallMs() override;
};

struct GeneratorStatus {
    std::uint64_t id = 0;
    GeneratorSpec spec;
    std::uint64_t updates = 0;   // values written
    bool attached = true;        // false once its document has gone
    Words last;                  // the words written last
};

/// What changes as a generator runs: cheap to take for every generator many times a second.
struct GeneratorProgress {
    std::uint64_t id = 0;
    std::uint64_t updates = 0;
    Words last;
    Encoding value = Encoding::Uint16;   // how `last` reads as a number
    bool swapped = false;
    bool enabled = true;
};

struct RunnerStats {
    static constexpr int kBuckets = 1000;   // lateness in 0.1 ms steps; the last holds the rest
    std::uint64_t updates = 0;
    std::uint64_t passes = 0;        // a group's grid point written
    std::uint64_t latePasses = 0;    // passes that skipped grid points
    std::uint64_t skipped = 0;       // updates passed over
    std::int64_t maxLatenessNs = 0;
    std::array<std::uint64_t, kBuckets> lateness{};   // updates by lateness (0.1 ms buckets)
    /// The lateness (ns) that `share` (0..1) of the updates did not pass.
    std::int64_t LatenessQuantileNs(double share) const;
};

class GeneratorRunner {
public:
    explicit GeneratorRunner(RunnerClock& clock);
    ~GeneratorRunner();
    GeneratorRunner(const GeneratorRunner&) = delete;
    GeneratorRunner& operator=(const GeneratorRunner&) = delete;

    /// Resolves every generator's point, then replaces the list in force with `list` at once,
    /// starting its grid now. All or nothing: on a point not served, `error` names the generator
    /// and the point and the list in force stays.
    bool PutInForce(std::vector<GeneratorSpec> list, PointSource& points, std::string& error);
    /// Adds one generator beside those running (with `id`, or a new one when 0); its grid starts
    /// now and theirs go on. Nothing, with `error` naming the point, when it is not served.
    std::optional<std::uint64_t> Add(GeneratorSpec spec, PointSource& points, std::string& error, std::uint64_t id = 0);
    /// A generator's new description in its place, keeping its id; its grid starts now.
    bool Replace(std::uint64_t id, GeneratorSpec spec, PointSource& points, std::string& error);
    /// Takes one generator away; the others go on on their grids.
    bool Remove(std::uint64_t id);
    void Clear();
    /// No generator touches `owner`'s words once this returns.
    void ForgetOwner(const void* owner);
    bool SetEnabled(std::uint64_t id, bool enabled);

    /// True when an enabled generator writes this word (Auto Simulation leaves it alone).
    bool Drives(int unit, int type, std::uint32_t address) const;
    std::vector<GeneratorStatus> Status() const;
    /// Status without the descriptions, in the same order: a refresh holds the runner for less.
    std::vector<GeneratorProgress> Progress() const;
    RunnerStats Stats() const;
    std::size_t Size() const;

    /// Writes every grid point due by `nowNs`; returns when the next one is due (INT64_MAX: none).
    /// The thread calls it; tests call it with a clock of their own instead of starting one.
    std::int64_t RunDue(std::int64_t nowNs);

    void Start();
    void Stop();

private:
    struct Running;
    struct Group;
    struct List;

    void PublishDrives();
    void Loop();

    RunnerClock& clock_;
    mutable std::mutex mutex_;              // the list and the stats; held while a pass writes
    std::unique_ptr<List> list_;
    RunnerStats stats_;
    std::uint64_t nextId_ = 1;

    mutable std::mutex drivesMutex_;
    std::shared_ptr<const std::unordered_set<std::uint32_t>> drives_;

    std::mutex wakeMutex_;
    std::condition_variable wake_;
    bool stop_ = false;
    bool changed_ = false;
    std::thread thread_;
};

} // namespace behaviour
