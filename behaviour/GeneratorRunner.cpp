#include "behaviour/GeneratorRunner.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>
#include <map>

namespace behaviour {

namespace {

constexpr std::int64_t kNsPerMs = 1'000'000;
// Words written under one hold of a document's lock: long enough to save the locking, short
// enough that a master's read waits a few microseconds at most.
constexpr int kWritesPerHold = 64;
// Updates between two readings of the clock for the lateness figures.
constexpr std::uint64_t kUpdatesPerLatenessSample = 256;

std::uint32_t DriveKey(int unit, int type, std::uint32_t address)
{
    return static_cast<std::uint32_t>(unit & 0xFF) << 20 | static_cast<std::uint32_t>(type & 0x7) << 17
         | ((address - 1) & 0x1FFFF);
}

std::string PointText(const GeneratorSpec& g)
{
    const int words = WordsOf(g.value);
    std::string s = "unit " + std::to_string(g.unit) + " type " + std::to_string(g.type) + " address "
                  + std::to_string(g.address);
    if (words > 1)
        s += "-" + std::to_string(g.address + static_cast<std::uint32_t>(words) - 1);
    return s;
}

} // namespace

std::int64_t SystemClock::SteadyNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

std::int64_t SystemClock::WallMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch()).count();
}

std::int64_t RunnerStats::LatenessQuantileNs(double share) const
{
    std::uint64_t total = 0;
    for (std::uint64_t n : lateness)
        total += n;
    if (total == 0)
        return 0;
    const auto wanted = static_cast<std::uint64_t>(std::ceil(share * static_cast<double>(total)));
    std::uint64_t seen = 0;
    for (int i = 0; i < kBuckets; ++i) {
        seen += lateness[static_cast<std::size_t>(i)];
        if (seen >= wanted)
            return i == kBuckets - 1 ? maxLatenessNs : static_cast<std::int64_t>(i + 1) * 100'000;
    }
    return maxLatenessNs;
}

struct GeneratorRunner::Running {
    Generator gen;
    PointTarget target;
    std::uint64_t id = 0;
    std::uint64_t updates = 0;
    int words = 1;
    Words last;
    // The words of update stagedK, made after the pass before, so that a pass only stores words
    // and the last of a large list is not late by the time it takes to work out the first.
    Words staged;
    std::uint64_t stagedK = std::numeric_limits<std::uint64_t>::max();
};

struct GeneratorRunner::Group {
    std::int64_t t0Ns = 0;                // the grid's start: when the list, or the one added, came
    std::int64_t updateNs = 0;
    std::uint64_t k = 0;                  // the next grid point
    std::vector<std::size_t> members;     // by document, so that one lock covers a run of them
    bool stage = false;                   // written this pass: its next words are to be made
};

struct GeneratorRunner::List {
    std::vector<Running> gens;
    std::vector<Group> groups;
};

GeneratorRunner::GeneratorRunner(RunnerClock& clock) : clock_(clock) {}

GeneratorRunner::~GeneratorRunner() { Stop(); }

bool GeneratorRunner::PutInForce(std::vector<GeneratorSpec> list, PointSource& points, std::string& error)
{
    auto next = std::make_unique<List>();
    next->gens.reserve(list.size());
    for (std::size_t i = 0; i < list.size(); ++i) {
        const GeneratorSpec& g = list[i];
        const int words = WordsOf(g.value);
        const auto target = points.Resolve(g.unit, g.type, g.address, words);
        if (!target || !target->words || !target->lock) {
            error = "generator " + std::to_string(i + 1) + (g.name.empty() ? "" : " (\"" + g.name + "\")") + ": "
                  + PointText(g) + " is not served by an open data window";
            return false;
        }
        next->gens.push_back(Running{Generator(std::move(list[i])), *target, 0, 0, words, {}, {}, std::numeric_limits<std::uint64_t>::max()});
    }
    std::map<std::uint32_t, std::size_t> byPeriod;
    for (std::size_t i = 0; i < next->gens.size(); ++i) {
        const std::uint32_t ms = next->gens[i].gen.Spec().updateMs;
        auto [it, added] = byPeriod.try_emplace(ms, next->groups.size());
        if (added)
            next->groups.push_back(Group{0, static_cast<std::int64_t>(ms) * kNsPerMs, 0, {}, false});
        next->groups[it->second].members.push_back(i);
    }
    for (Group& group : next->groups)
        std::stable_sort(group.members.begin(), group.members.end(), [&](std::size_t a, std::size_t b) {
            return std::less<const std::mutex*>()(next->gens[a].target.lock, next->gens[b].target.lock);
        });
    const std::int64_t wallMs = clock_.WallMs();
    std::unique_ptr<List> old;
    {
        std::lock_guard lock(mutex_);
        const std::int64_t t0 = clock_.SteadyNs();
        for (Group& group : next->groups)
            group.t0Ns = t0;
        for (Running& r : next->gens) {
            r.id = nextId_++;
            // Clocks count from the wall time the grid starts at.
            if (r.gen.Spec().kind == Kind::Clock)
                r.gen = Generator(r.gen.Spec(), wallMs);
        }
        old = std::move(list_);
        list_ = std::move(next);
        PublishDrives();
    }
    {
        std::lock_guard lock(wakeMutex_);
        changed_ = true;
    }
    wake_.notify_all();
    return true;
}

std::optional<std::uint64_t> GeneratorRunner::Add(GeneratorSpec spec, PointSource& points, std::string& error,
                                                  std::uint64_t id)
{
    const int words = WordsOf(spec.value);
    const auto target = points.Resolve(spec.unit, spec.type, spec.address, words);
    if (!target || !target->words || !target->lock) {
        error = "generator " + std::to_string(Size() + 1) + (spec.name.empty() ? "" : " (\"" + spec.name + "\")") +
                ": " + PointText(spec) + " is not served by an open data window";
        return std::nullopt;
    }
    const std::int64_t wallMs = clock_.WallMs();
    const std::int64_t updateNs = static_cast<std::int64_t>(Generator(spec).Spec().updateMs) * kNsPerMs;
    {
        std::lock_guard lock(mutex_);
        if (!list_)
            list_ = std::make_unique<List>();
        if (id == 0)
            id = nextId_++;
        Generator gen(std::move(spec), wallMs);
        list_->gens.push_back(Running{std::move(gen), *target, id, 0, words, {}, {}, std::numeric_limits<std::uint64_t>::max()});
        // A grid of its own from now: the others go on on theirs.
        list_->groups.push_back(Group{clock_.SteadyNs(), updateNs, 0, {list_->gens.size() - 1}, false});
        PublishDrives();
    }
    {
        std::lock_guard lock(wakeMutex_);
        changed_ = true;
    }
    wake_.notify_all();
    return id;
}

bool GeneratorRunner::Replace(std::uint64_t id, GeneratorSpec spec, PointSource& points, std::string& error)
{
    const int words = WordsOf(spec.value);
    const auto target = points.Resolve(spec.unit, spec.type, spec.address, words);
    const std::int64_t wallMs = clock_.WallMs();
    const std::int64_t updateNs = static_cast<std::int64_t>(Generator(spec).Spec().updateMs) * kNsPerMs;
    std::lock_guard lock(mutex_);
    if (!list_)
        return false;
    auto& gens = list_->gens;
    const auto it = std::find_if(gens.begin(), gens.end(), [&](const Running& r) { return r.id == id; });
    if (it == gens.end()) {
        error = "no generator " + std::to_string(id);
        return false;
    }
    const auto at = static_cast<std::size_t>(it - gens.begin());
    if (!target || !target->words || !target->lock) {
        error = "generator " + std::to_string(at + 1) + (spec.name.empty() ? "" : " (\"" + spec.name + "\")") + ": " +
                PointText(spec) + " is not served by an open data window";
        return false;
    }
    // In its place in the list, on a grid of its own from now.
    *it = Running{Generator(std::move(spec), wallMs), *target, id, 0, words, {}, {}, std::numeric_limits<std::uint64_t>::max()};
    for (Group& group : list_->groups)
        std::erase(group.members, at);
    std::erase_if(list_->groups, [](const Group& g) { return g.members.empty(); });
    list_->groups.push_back(Group{clock_.SteadyNs(), updateNs, 0, {at}, false});
    PublishDrives();
    {
        std::lock_guard wakeLock(wakeMutex_);   // never taken the other way round
        changed_ = true;
    }
    wake_.notify_all();
    return true;
}

bool GeneratorRunner::Remove(std::uint64_t id)
{
    std::lock_guard lock(mutex_);
    if (!list_)
        return false;
    auto& gens = list_->gens;
    const auto it = std::find_if(gens.begin(), gens.end(), [&](const Running& r) { return r.id == id; });
    if (it == gens.end())
        return false;
    const auto gone = static_cast<std::size_t>(it - gens.begin());
    gens.erase(it);
    for (Group& group : list_->groups) {
        std::erase(group.members, gone);
        for (std::size_t& m : group.members)
            if (m > gone)
                --m;
    }
    std::erase_if(list_->groups, [](const Group& g) { return g.members.empty(); });
    PublishDrives();
    return true;
}

void GeneratorRunner::Clear()
{
    std::unique_ptr<List> old;
    std::lock_guard lock(mutex_);
    old = std::move(list_);
    PublishDrives();
}

void GeneratorRunner::ForgetOwner(const void* owner)
{
    std::lock_guard lock(mutex_);
    if (!list_)
        return;
    for (Running& r : list_->gens)
        if (r.target.owner == owner)
            r.target = PointTarget{};
    PublishDrives();
}

bool GeneratorRunner::SetEnabled(std::uint64_t id, bool enabled)
{
    std::lock_guard lock(mutex_);
    if (!list_)
        return false;
    for (Running& r : list_->gens) {
        if (r.id == id) {
            r.gen.SetEnabled(enabled);   // a walk and a clock keep their place
            PublishDrives();
            return true;
        }
    }
    return false;
}

void GeneratorRunner::PublishDrives()
{
    auto set = std::make_shared<std::unordered_set<std::uint32_t>>();
    if (list_) {
        for (const Running& r : list_->gens) {
            if (!r.target.words || !r.gen.Spec().enabled)
                continue;
            const GeneratorSpec& g = r.gen.Spec();
            for (int w = 0; w < r.words; ++w)
                set->insert(DriveKey(g.unit, g.type, g.address + static_cast<std::uint32_t>(w)));
        }
    }
    std::lock_guard lock(drivesMutex_);
    drives_ = std::move(set);
}

bool GeneratorRunner::Drives(int unit, int type, std::uint32_t address) const
{
    std::shared_ptr<const std::unordered_set<std::uint32_t>> set;
    {
        std::lock_guard lock(drivesMutex_);
        set = drives_;
    }
    return set && address >= 1 && address <= 65536 && set->contains(DriveKey(unit, type, address));
}

std::vector<GeneratorStatus> GeneratorRunner::Status() const
{
    std::lock_guard lock(mutex_);
    std::vector<GeneratorStatus> out;
    if (!list_)
        return out;
    out.reserve(list_->gens.size());
    for (const Running& r : list_->gens)
        out.push_back(GeneratorStatus{r.id, r.gen.Spec(), r.updates, r.target.words != nullptr, r.last});
    return out;
}

RunnerStats GeneratorRunner::Stats() const
{
    std::lock_guard lock(mutex_);
    return stats_;
}

std::size_t GeneratorRunner::Size() const
{
    std::lock_guard lock(mutex_);
    return list_ ? list_->gens.size() : 0;
}

std::int64_t GeneratorRunner::RunDue(std::int64_t nowNs)
{
    std::lock_guard lock(mutex_);
    if (!list_)
        return std::numeric_limits<std::int64_t>::max();
    List& list = *list_;
    std::int64_t nextDue = std::numeric_limits<std::int64_t>::max();
    for (Group& group : list.groups) {
        const std::int64_t due = group.t0Ns + static_cast<std::int64_t>(group.k) * group.updateNs;
        if (due > nowNs) {
            nextDue = std::min(nextDue, due);
            continue;
        }
        // The grid point now is the one to write; any before it have passed unseen.
        const auto current = static_cast<std::uint64_t>((nowNs - group.t0Ns) / group.updateNs);
        if (current > group.k) {
            stats_.skipped += (current - group.k) * group.members.size();
            ++stats_.latePasses;
            group.k = current;
        }
        const std::uint64_t k = group.k;
        const std::int64_t dueNs = group.t0Ns + static_cast<std::int64_t>(k) * group.updateNs;
        std::mutex* held = nullptr;
        int inHold = 0;
        std::uint64_t unrecorded = 0;
        // The lateness of a batch's last write stands for the batch: an upper bound.
        const auto record = [&] {
            const std::int64_t late = std::max<std::int64_t>(0, clock_.SteadyNs() - dueNs);
            stats_.maxLatenessNs = std::max(stats_.maxLatenessNs, late);
            stats_.lateness[static_cast<std::size_t>(std::min<std::int64_t>(late / 100'000, RunnerStats::kBuckets - 1))] += unrecorded;
            stats_.updates += unrecorded;
            unrecorded = 0;
        };
        for (std::size_t index : group.members) {
            Running& r = list.gens[index];
            if (!r.target.words || !r.gen.Spec().enabled)
                continue;
            const Words w = r.stagedK == k ? r.staged : r.gen.WordsAt(k);
            if (w.count > 1) {
                if (held != r.target.lock || inHold >= kWritesPerHold) {
                    if (held)
                        held->unlock();
                    held = r.target.lock;
                    held->lock();
                    inHold = 0;
                }
                ++inHold;
            }
            for (int i = 0; i < w.count; ++i)
                r.target.words[i].store(w.word[static_cast<std::size_t>(i)], std::memory_order_relaxed);
            r.last = w;
            ++r.updates;
            if (++unrecorded == kUpdatesPerLatenessSample)
                record();
        }
        if (held)
            held->unlock();
        record();
        ++stats_.passes;
        ++group.k;
        group.stage = true;
        nextDue = std::min(nextDue, group.t0Ns + static_cast<std::int64_t>(group.k) * group.updateNs);
    }
    // Every group due has been written: now the words of their next points.
    for (Group& group : list.groups) {
        if (!group.stage)
            continue;
        group.stage = false;
        for (std::size_t index : group.members) {
            Running& r = list.gens[index];
            if (!r.target.words || !r.gen.Spec().enabled)
                continue;
            r.staged = r.gen.WordsAt(group.k);
            r.stagedK = group.k;
        }
    }
    return nextDue;
}

void GeneratorRunner::Start()
{
    if (thread_.joinable())
        return;
    {
        std::lock_guard lock(wakeMutex_);
        stop_ = false;
    }
    thread_ = std::thread([this] { Loop(); });
}

void GeneratorRunner::Stop()
{
    {
        std::lock_guard lock(wakeMutex_);
        stop_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable())
        thread_.join();
}

void GeneratorRunner::Loop()
{
    std::unique_lock lock(wakeMutex_);
    while (!stop_) {
        changed_ = false;
        lock.unlock();
        const std::int64_t next = RunDue(clock_.SteadyNs());
        lock.lock();
        if (stop_ || changed_)
            continue;
        if (next == std::numeric_limits<std::int64_t>::max()) {
            wake_.wait(lock, [&] { return stop_ || changed_; });
        } else {
            const std::int64_t wait = next - clock_.SteadyNs();
            if (wait > 0)
                wake_.wait_for(lock, std::chrono::nanoseconds(wait), [&] { return stop_ || changed_; });
        }
    }
}

} // namespace behaviour
