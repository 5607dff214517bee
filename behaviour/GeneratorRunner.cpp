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
};

// One write of a pass, made ready after the pass before: a pass then walks a dense array and only
// stores words, so the last of a large list is not late by the time it takes to work out the
// first, nor by cache misses into every generator's state.
struct PlannedStore {
    pomrel::RegisterWord* words = nullptr;
    std::mutex* lock = nullptr;
    std::array<std::uint16_t, 4> word{};
    std::uint32_t member = 0;                // index into the list's generators
    std::uint8_t count = 1;
};

struct GeneratorRunner::Group {
    Group(std::int64_t start, std::int64_t period, std::vector<std::size_t> first)
        : t0Ns(start), updateNs(period), members(std::move(first))
    {
    }

    std::int64_t t0Ns = 0;                // the grid's start: when the list, or the one added, came
    std::int64_t updateNs = 0;
    std::uint64_t k = 0;                  // the next grid point
    std::vector<std::size_t> members;     // by document, so that one lock covers a run of them
    bool stage = false;                   // written this pass: its next words are to be made
    bool fromPlan = false;                // this pass wrote the plan: its bookkeeping follows
    std::vector<PlannedStore> plan;       // the writes of grid point planK
    std::uint64_t planK = kNoPlan;

    static constexpr std::uint64_t kNoPlan = std::numeric_limits<std::uint64_t>::max();
    /// After any change to the list: the next pass works its words out afresh, and no pointer
    /// into a document stays behind.
    void DropPlan()
    {
        plan.clear();
        planK = kNoPlan;
    }
};

struct GeneratorRunner::List {
    std::vector<Running> gens;
    std::vector<Group> groups;

    void DropPlans()
    {
        for (Group& group : groups)
            group.DropPlan();
    }
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
        next->gens.push_back(Running{Generator(std::move(list[i])), *target, 0, 0, words, {}});
    }
    std::map<std::uint32_t, std::size_t> byPeriod;
    for (std::size_t i = 0; i < next->gens.size(); ++i) {
        const std::uint32_t ms = next->gens[i].gen.Spec().updateMs;
        auto [it, added] = byPeriod.try_emplace(ms, next->groups.size());
        if (added)
            next->groups.emplace_back(0, static_cast<std::int64_t>(ms) * kNsPerMs, std::vector<std::size_t>{});
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
        list_->gens.push_back(Running{std::move(gen), *target, id, 0, words, {}});
        // A grid of its own from now: the others go on on theirs.
        list_->groups.emplace_back(clock_.SteadyNs(), updateNs, std::vector<std::size_t>{list_->gens.size() - 1});
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
    *it = Running{Generator(std::move(spec), wallMs), *target, id, 0, words, {}};
    list_->DropPlans();
    for (Group& group : list_->groups)
        std::erase(group.members, at);
    std::erase_if(list_->groups, [](const Group& g) { return g.members.empty(); });
    list_->groups.emplace_back(clock_.SteadyNs(), updateNs, std::vector<std::size_t>{at});
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
    list_->DropPlans();
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
    list_->DropPlans();
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
            list_->DropPlans();
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

std::vector<GeneratorProgress> GeneratorRunner::Progress() const
{
    // The room is made and touched before the runner is held, so that a pass never waits on the
    // allocator or on page faults.
    std::vector<GeneratorProgress> out(Size());
    std::lock_guard lock(mutex_);
    if (!list_)
        return {};
    out.resize(list_->gens.size());
    for (std::size_t i = 0; i < out.size(); ++i) {
        const Running& r = list_->gens[i];
        const GeneratorSpec& spec = r.gen.Spec();
        out[i] = GeneratorProgress{r.id, r.updates, r.last, spec.value, spec.swapped, spec.enabled};
    }
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
        const auto store = [&](pomrel::RegisterWord* words, std::mutex* lock, const std::uint16_t* word, int count) {
            if (count > 1) {
                if (held != lock || inHold >= kWritesPerHold) {
                    if (held)
                        held->unlock();
                    held = lock;
                    held->lock();
                    inHold = 0;
                }
                ++inHold;
            }
            for (int i = 0; i < count; ++i)
                words[i].store(word[i], std::memory_order_relaxed);
            if (++unrecorded == kUpdatesPerLatenessSample)
                record();
        };
        group.fromPlan = group.planK == k;
        if (group.fromPlan) {
            for (const PlannedStore& p : group.plan)
                store(p.words, p.lock, p.word.data(), p.count);
        } else {
            for (std::size_t index : group.members) {
                Running& r = list.gens[index];
                if (!r.target.words || !r.gen.Spec().enabled)
                    continue;
                const Words w = r.gen.WordsAt(k);
                store(r.target.words, r.target.lock, w.word.data(), w.count);
                r.last = w;
                ++r.updates;
            }
        }
        if (held)
            held->unlock();
        record();
        ++stats_.passes;
        ++group.k;
        group.stage = true;
        nextDue = std::min(nextDue, group.t0Ns + static_cast<std::int64_t>(group.k) * group.updateNs);
    }
    // Every group due has been written: now what the generators keep of it, and the plan of their
    // next points.
    for (Group& group : list.groups) {
        if (!group.stage)
            continue;
        group.stage = false;
        if (group.fromPlan) {
            for (const PlannedStore& p : group.plan) {
                Running& r = list.gens[p.member];
                r.last = Words{p.word, p.count};
                ++r.updates;
            }
        }
        group.plan.clear();
        for (std::size_t index : group.members) {
            Running& r = list.gens[index];
            if (!r.target.words || !r.gen.Spec().enabled)
                continue;
            const Words w = r.gen.WordsAt(group.k);
            group.plan.push_back(PlannedStore{r.target.words, r.target.lock, w.word, static_cast<std::uint32_t>(index),
                                              static_cast<std::uint8_t>(w.count)});
        }
        group.planK = group.k;
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
