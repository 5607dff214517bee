#include "behaviour/BehaviourBook.h"

#include "behaviour/LuaScript.h"
#include "behaviour/Reaction.h"
#include "engine/ProtocolEngine.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>
#include <map>

namespace behaviour {

namespace {

constexpr std::int64_t kNsPerMs = 1'000'000;
constexpr std::int64_t kNever = std::numeric_limits<std::int64_t>::max();
constexpr std::size_t kBatch = 256;
// The behaviour thread's pause after handling writes: bounds the hand-over's delay well inside
// 2 ms while a busy master's writes are taken many at a time.
constexpr std::int64_t kRestNs = 300'000;

std::string Label(const char* what, std::size_t index, const std::string& name)
{
    return std::string(what) + " " + std::to_string(index + 1) + (name.empty() ? "" : " (\"" + name + "\")");
}

std::string PointText(const PointRef& p, int words)
{
    std::string s = "unit " + std::to_string(p.unit) + " type " + std::to_string(p.type) + " address " +
                    std::to_string(p.address);
    if (words > 1)
        s += "-" + std::to_string(p.address + static_cast<std::uint32_t>(words) - 1);
    return s;
}

} // namespace

std::int64_t BehaviourStats::DelayQuantileNs(double share) const
{
    std::uint64_t total = 0;
    for (std::uint64_t n : delay)
        total += n;
    if (total == 0)
        return 0;
    const auto wanted = static_cast<std::uint64_t>(std::ceil(share * static_cast<double>(total)));
    std::uint64_t seen = 0;
    for (std::size_t i = 0; i < delay.size(); ++i) {
        seen += delay[i];
        if (seen >= wanted)
            return static_cast<std::int64_t>(i + 1) * 10'000;
    }
    return static_cast<std::int64_t>(delay.size()) * 10'000;
}

struct BehaviourBook::Reaction {
    std::uint64_t id = 0;
    ReactionSpec spec;
    std::uint64_t fired = 0;
    PointTarget watched;
    PointTarget target;
};

struct BehaviourBook::Script {
    std::uint64_t id = 0;
    ScriptSpec spec;
    std::unique_ptr<LuaScript> lua;
    std::string state = "running";
    std::uint64_t calls = 0;
    std::string error;
    int failuresInRow = 0;
    std::int64_t t0Ns = 0;
    std::uint64_t tick = 1;        // the next tick
    std::size_t waiting = 0;       // kv.after calls waiting
};

struct BehaviourBook::Timer {
    enum class Kind : std::uint8_t { Reaction, Later } kind = Kind::Reaction;
    std::uint64_t reaction = 0;
    long double value = 0;
    LuaScript* script = nullptr;
    int ref = 0;
};

// What scripts reach; the book's lock is held whenever a script runs.
class BehaviourBook::Host final : public ScriptHost {
public:
    Host(BehaviourBook& book, State& state) : book_(book), state_(state) {}
    bool Get(int unit, int type, std::uint32_t address, Encoding e, bool swapped, double& value,
             std::string& error) override;
    bool Set(int unit, int type, std::uint32_t address, double value, Encoding e, bool swapped,
             std::string& error) override;
    bool After(LuaScript& script, std::int64_t ms, int ref) override;
    void Log(LuaScript& script, std::string text) override;

private:
    BehaviourBook& book_;
    State& state_;
};

struct BehaviourBook::State {
    explicit State(BehaviourBook& book) : host(book, *this) {}
    Host host;
    PointMap points;
    std::vector<Reaction> reactions;
    std::vector<std::unique_ptr<Script>> scripts;
    std::map<std::pair<std::int64_t, std::uint64_t>, Timer> timers;   // by due time, then order
    std::uint64_t timerSequence = 0;
    std::uint64_t droppedTold = 0;

    Script* Find(const LuaScript& lua)
    {
        for (auto& s : scripts)
            if (s->lua.get() == &lua)
                return s.get();
        return nullptr;
    }
    void AddTimer(std::int64_t dueNs, Timer t) { timers.emplace(std::make_pair(dueNs, timerSequence++), t); }
    void DropTimersOf(const LuaScript* lua)
    {
        std::erase_if(timers, [&](const auto& t) { return t.second.kind == Timer::Kind::Later && t.second.script == lua; });
    }
};

namespace {

std::string NotServed(int unit, int type, std::uint32_t address, int words)
{
    return PointText(PointRef{unit, type, address}, words) + " is not served by an open data window";
}

} // namespace

bool BehaviourBook::Host::Get(int unit, int type, std::uint32_t address, Encoding e, bool swapped, double& value,
                              std::string& error)
{
    const int words = PointWords(type, e);
    const auto p = state_.points.Find(unit, type, address, words);
    if (!p) {
        error = NotServed(unit, type, address, words);
        return false;
    }
    value = static_cast<double>(ReadPoint(*p, type, e, swapped));
    return true;
}

bool BehaviourBook::Host::Set(int unit, int type, std::uint32_t address, double value, Encoding e, bool swapped,
                              std::string& error)
{
    const int words = PointWords(type, e);
    const auto p = state_.points.Find(unit, type, address, words);
    if (!p) {
        error = NotServed(unit, type, address, words);
        return false;
    }
    WritePoint(*p, type, e, swapped, value);
    return true;
}

bool BehaviourBook::Host::After(LuaScript& script, std::int64_t ms, int ref)
{
    // While a script loads it is not listed yet: its calls wait all the same.
    Script* s = state_.Find(script);
    if (s != nullptr) {
        if (s->waiting >= kMaxPendingAfter)
            return false;
        ++s->waiting;
    } else {
        std::size_t waiting = 0;
        for (const auto& [key, t] : state_.timers)
            if (t.kind == Timer::Kind::Later && t.script == &script && ++waiting >= kMaxPendingAfter)
                return false;
    }
    Timer t;
    t.kind = Timer::Kind::Later;
    t.script = &script;
    t.ref = ref;
    state_.AddTimer(book_.clock_.SteadyNs() + ms * kNsPerMs, t);
    return true;
}

void BehaviourBook::Host::Log(LuaScript& script, std::string text)
{
    const ScriptSpec& spec = script.Spec();
    book_.Told(spec.name.empty() ? spec.file : spec.name, std::move(text));
}

BehaviourBook::BehaviourBook(pomrel::ProtocolEngine& engine, PointSource& points)
    : engine_(engine), points_(points), clock_(systemClock_), runner_(clock_), state_(std::make_unique<State>(*this)),
      batch_(kBatch)
{
    runner_.Start();
    Start();
}

BehaviourBook::BehaviourBook(pomrel::ProtocolEngine& engine, PointSource& points, RunnerClock& clock, Manual)
    : engine_(engine), points_(points), clock_(clock), runner_(clock_), state_(std::make_unique<State>(*this)),
      batch_(kBatch)
{
}

BehaviourBook::~BehaviourBook()
{
    engine_.EnableWriteFeed(false);
    stop_.store(true);
    engine_.WakeWriteFeed();
    if (thread_.joinable())
        thread_.join();
    runner_.Stop();
}

void BehaviourBook::Start()
{
    thread_ = std::thread([this] { Loop(); });
}

void BehaviourBook::Loop()
{
    while (!stop_.load()) {
        const std::int64_t next = Step();
        if (stop_.load())
            break;
        std::int64_t wait = -1;
        if (next != kNever)
            wait = std::max<std::int64_t>(0, next - clock_.SteadyNs());
        if (taken_ > 0) {
            // Busy: let writes gather for a moment rather than waking at each one, which would
            // cost the engine a wake-up call and the machine a switch per write.
            std::this_thread::sleep_for(std::chrono::nanoseconds(wait < 0 ? kRestNs : std::min(wait, kRestNs)));
            continue;
        }
        engine_.WaitForWrites(wait);
    }
}

bool BehaviourBook::Install(Behaviour behaviour, std::string& error)
{
    auto next = std::make_unique<State>(*this);
    next->points.Assign(points_.Blocks());
    for (std::size_t i = 0; i < behaviour.reactions.size(); ++i) {
        ReactionSpec& spec = behaviour.reactions[i];
        Reaction r;
        const int words = PointWords(spec.point.type, spec.encoding);
        const auto watched = points_.Resolve(spec.point.unit, spec.point.type, spec.point.address, words);
        if (!watched) {
            error = Label("reaction", i, spec.name) + ": " + PointText(spec.point, words) +
                    " is not served by an open data window";
            return false;
        }
        r.watched = *watched;
        if (spec.target) {
            const int targetWords = PointWords(spec.target->type, spec.encoding);
            const auto target = points_.Resolve(spec.target->unit, spec.target->type, spec.target->address, targetWords);
            if (!target) {
                error = Label("reaction", i, spec.name) + ": target " + PointText(*spec.target, targetWords) +
                        " is not served by an open data window";
                return false;
            }
            r.target = *target;
        }
        r.spec = std::move(spec);
        next->reactions.push_back(std::move(r));
    }
    {
        // Scripts run their top level as they load, reaching points as they will later.
        std::lock_guard lock(mutex_);
        const std::int64_t now = clock_.SteadyNs();
        for (std::size_t i = 0; i < behaviour.scripts.size(); ++i) {
            auto s = std::make_unique<Script>();
            s->spec = behaviour.scripts[i];
            std::string why;
            s->lua = LuaScript::Load(s->spec, next->host, why);
            if (!s->lua) {
                error = Label("script", i, s->spec.name) + ": " + why;
                return false;
            }
            s->t0Ns = now;
            next->scripts.push_back(std::move(s));
        }
    }
    if (!runner_.PutInForce(std::move(behaviour.generators), points_, error))
        return false;
    std::unique_ptr<State> old;
    {
        std::lock_guard lock(mutex_);
        for (Reaction& r : next->reactions)
            r.id = nextId_++;
        for (auto& s : next->scripts) {
            s->id = nextId_++;
            for (const auto& [key, t] : next->timers)
                if (t.script == s->lua.get())
                    ++s->waiting;
        }
        next->droppedTold = state_->droppedTold;
        old = std::move(state_);
        state_ = std::move(next);
    }
    UpdateFeed();
    return true;
}

void BehaviourBook::UpdateFeed()
{
    bool listening = false;
    {
        std::lock_guard lock(mutex_);
        listening = !state_->reactions.empty() || !state_->scripts.empty();
    }
    engine_.EnableWriteFeed(listening);
    engine_.WakeWriteFeed();
}

bool BehaviourBook::PutInForce(Behaviour behaviour, std::string& error)
{
    return Install(std::move(behaviour), error);
}

Behaviour BehaviourBook::InForce() const
{
    Behaviour b;
    for (auto& g : runner_.Status())
        b.generators.push_back(g.spec);
    std::lock_guard lock(mutex_);
    for (const Reaction& r : state_->reactions)
        b.reactions.push_back(r.spec);
    for (const auto& s : state_->scripts)
        b.scripts.push_back(s->spec);
    return b;
}

void BehaviourBook::Clear()
{
    runner_.Clear();
    std::unique_ptr<State> old;
    {
        std::lock_guard lock(mutex_);
        auto next = std::make_unique<State>(*this);
        next->droppedTold = state_->droppedTold;
        old = std::move(state_);
        state_ = std::move(next);
    }
    UpdateFeed();
}

std::optional<std::uint64_t> BehaviourBook::AddGenerator(GeneratorSpec spec, std::string& error)
{
    return runner_.Add(std::move(spec), points_, error);
}

bool BehaviourBook::ReplaceGenerator(std::uint64_t id, GeneratorSpec spec, std::string& error)
{
    return runner_.Replace(id, std::move(spec), points_, error);
}

bool BehaviourBook::RemoveGenerator(std::uint64_t id) { return runner_.Remove(id); }

bool BehaviourBook::EnableGenerator(std::uint64_t id, bool on) { return runner_.SetEnabled(id, on); }

std::optional<std::uint64_t> BehaviourBook::AddReaction(ReactionSpec spec, std::string& error)
{
    Reaction r;
    const int words = PointWords(spec.point.type, spec.encoding);
    const auto watched = points_.Resolve(spec.point.unit, spec.point.type, spec.point.address, words);
    if (!watched) {
        error = PointText(spec.point, words) + " is not served by an open data window";
        return std::nullopt;
    }
    r.watched = *watched;
    if (spec.target) {
        const int targetWords = PointWords(spec.target->type, spec.encoding);
        const auto target = points_.Resolve(spec.target->unit, spec.target->type, spec.target->address, targetWords);
        if (!target) {
            error = "target " + PointText(*spec.target, targetWords) + " is not served by an open data window";
            return std::nullopt;
        }
        r.target = *target;
    } else if (spec.action != ReactionAction::Clear) {
        error = "field \"target\": missing";
        return std::nullopt;
    }
    r.spec = std::move(spec);
    std::uint64_t id = 0;
    {
        std::lock_guard lock(mutex_);
        id = r.id = nextId_++;
        state_->reactions.push_back(std::move(r));
    }
    UpdateFeed();
    return id;
}

bool BehaviourBook::RemoveReaction(std::uint64_t id)
{
    bool found = false;
    {
        std::lock_guard lock(mutex_);
        found = std::erase_if(state_->reactions, [&](const Reaction& r) { return r.id == id; }) > 0;
        // A later action of a reaction gone does not happen.
        std::erase_if(state_->timers, [&](const auto& t) {
            return t.second.kind == Timer::Kind::Reaction && t.second.reaction == id;
        });
    }
    UpdateFeed();
    return found;
}

bool BehaviourBook::ReloadScripts(std::string& error)
{
    std::vector<std::unique_ptr<Script>> old;
    {
        std::lock_guard lock(mutex_);
        State& state = *state_;
        state.points.Assign(points_.Blocks());
        std::vector<std::unique_ptr<Script>> fresh;
        const std::int64_t now = clock_.SteadyNs();
        for (std::size_t i = 0; i < state.scripts.size(); ++i) {
            auto s = std::make_unique<Script>();
            s->spec = state.scripts[i]->spec;
            std::string why;
            s->lua = LuaScript::Load(s->spec, state.host, why);
            if (!s->lua) {
                error = Label("script", i, s->spec.name) + ": " + why;
                for (auto& f : fresh)
                    state.DropTimersOf(f->lua.get());
                return false;
            }
            s->t0Ns = now;
            fresh.push_back(std::move(s));
        }
        for (auto& s : state.scripts)
            state.DropTimersOf(s->lua.get());
        for (std::size_t i = 0; i < fresh.size(); ++i) {
            fresh[i]->id = state.scripts[i]->id;   // the same script, read again
            for (const auto& [key, t] : state.timers)
                if (t.script == fresh[i]->lua.get())
                    ++fresh[i]->waiting;
        }
        old.swap(state.scripts);
        state.scripts = std::move(fresh);
    }
    engine_.WakeWriteFeed();
    return true;
}

std::vector<GeneratorStatus> BehaviourBook::Generators() const { return runner_.Status(); }
std::vector<GeneratorProgress> BehaviourBook::GeneratorProgressNow() const { return runner_.Progress(); }

std::vector<ReactionStatus> BehaviourBook::Reactions() const
{
    std::lock_guard lock(mutex_);
    std::vector<ReactionStatus> out;
    for (const Reaction& r : state_->reactions)
        out.push_back(ReactionStatus{r.id, r.spec, r.fired});
    return out;
}

std::vector<ScriptStatus> BehaviourBook::Scripts() const
{
    std::lock_guard lock(mutex_);
    std::vector<ScriptStatus> out;
    for (const auto& s : state_->scripts)
        out.push_back(ScriptStatus{s->id, s->spec, s->state, s->calls, s->error});
    return out;
}

std::vector<BehaviourLogLine> BehaviourBook::LogSince(std::uint64_t after) const
{
    std::lock_guard lock(logMutex_);
    std::vector<BehaviourLogLine> out;
    for (const BehaviourLogLine& line : log_)
        if (line.sequence > after)
            out.push_back(line);
    return out;
}

std::uint64_t BehaviourBook::DroppedWrites() const { return engine_.DroppedWrites(); }

bool BehaviourBook::Drives(int unit, int type, std::uint32_t address) const
{
    return runner_.Drives(unit, type, address);
}

void BehaviourBook::ForgetOwner(const void* document)
{
    runner_.ForgetOwner(document);
    std::lock_guard lock(mutex_);
    state_->points.Forget(document);
    for (Reaction& r : state_->reactions) {
        if (r.watched.owner == document)
            r.watched = PointTarget{};
        if (r.target.owner == document)
            r.target = PointTarget{};
    }
}

void BehaviourBook::RefreshPoints()
{
    {
        // Only scripts search the blocks; with none in force a new window costs nothing here.
        std::lock_guard lock(mutex_);
        if (state_->scripts.empty())
            return;
    }
    auto blocks = points_.Blocks();
    std::lock_guard lock(mutex_);
    state_->points.Assign(std::move(blocks));
}

BehaviourStats BehaviourBook::Stats() const
{
    std::lock_guard lock(mutex_);
    return stats_;
}

void BehaviourBook::Told(const std::string& source, std::string text)
{
    std::lock_guard lock(logMutex_);
    BehaviourLogLine line;
    line.sequence = ++logSequence_;
    line.wallMs = clock_.WallMs();
    line.source = source;
    line.text = std::move(text);
    log_.push_back(std::move(line));
    while (log_.size() > kLogLines)
        log_.pop_front();
}

void BehaviourBook::Failed(Script& s, const std::string& error)
{
    s.error = error;
    const std::string name = s.spec.name.empty() ? s.spec.file : s.spec.name;
    Told(name, error);
    if (++s.failuresInRow >= kFailuresToStop) {
        s.state = "stopped";
        Told(name, "stopped: " + std::to_string(kFailuresToStop) + " failing calls in a row");
        state_->DropTimersOf(s.lua.get());
        s.waiting = 0;
    }
}

void BehaviourBook::Act(Reaction& r, long double written, std::int64_t)
{
    const ReactionSpec& spec = r.spec;
    const Encoding e = spec.encoding;
    switch (spec.action) {
    case ReactionAction::Copy:
        WritePoint(r.target, spec.target->type, e, spec.swapped, written);
        break;
    case ReactionAction::Set:
        WritePoint(r.target, spec.target->type, e, spec.swapped, spec.value);
        break;
    case ReactionAction::Add:
        AddToPoint(r.target, spec.target->type, e, spec.swapped, spec.value);
        break;
    case ReactionAction::Toggle:
        WritePoint(r.target, spec.target->type, e, spec.swapped,
                   ReadPoint(r.target, spec.target->type, e, spec.swapped) == 0 ? 1 : 0);
        break;
    case ReactionAction::Clear:
        WritePoint(r.watched, spec.point.type, e, spec.swapped, 0);
        break;
    }
}

void BehaviourBook::Handle(const pomrel::WriteRecord& w, std::int64_t nowNs)
{
    State& state = *state_;
    for (Reaction& r : state.reactions) {
        if (!r.spec.enabled || r.watched.words == nullptr)
            continue;
        const auto written = WrittenValue(w, r.spec.point, r.watched, r.spec.encoding, r.spec.swapped);
        if (!written || (r.spec.equals && static_cast<double>(*written) != *r.spec.equals))
            continue;
        ++r.fired;
        if (r.spec.afterMs == 0) {
            Act(r, *written, nowNs);
        } else {
            Timer t;
            t.kind = Timer::Kind::Reaction;
            t.reaction = r.id;
            t.value = *written;
            state.AddTimer(nowNs + static_cast<std::int64_t>(r.spec.afterMs) * kNsPerMs, t);
        }
    }
    for (auto& s : state.scripts) {
        if (s->state != "running" || !s->lua->HasOnWrite())
            continue;
        ++s->calls;
        std::string error;
        if (s->lua->OnWrite(w, error))
            s->failuresInRow = 0;
        else
            Failed(*s, error);
    }
}

void BehaviourBook::RunTimers(std::int64_t nowNs)
{
    State& state = *state_;
    // Only what was waiting when this began: a kv.after(0) that schedules itself waits a turn.
    const std::uint64_t before = state.timerSequence;
    for (auto it = state.timers.begin(); it != state.timers.end() && it->first.first <= nowNs;) {
        if (it->first.second >= before) {
            ++it;
            continue;
        }
        const Timer t = it->second;
        it = state.timers.erase(it);
        if (t.kind == Timer::Kind::Reaction) {
            for (Reaction& r : state.reactions)
                if (r.id == t.reaction && r.watched.words != nullptr)
                    Act(r, t.value, nowNs);
        } else if (Script* s = state.Find(*t.script)) {
            if (s->waiting > 0)
                --s->waiting;
            if (s->state != "running") {
                s->lua->Drop(t.ref);
                continue;
            }
            ++s->calls;
            std::string error;
            if (s->lua->RunLater(t.ref, error))
                s->failuresInRow = 0;
            else
                Failed(*s, error);
        }
        // A script may have added or dropped timers: start again from the earliest.
        it = state.timers.begin();
    }
    for (auto& s : state.scripts) {
        if (s->state != "running" || s->spec.tickMs == 0 || !s->lua->HasOnTick())
            continue;
        const std::int64_t tickNs = static_cast<std::int64_t>(s->spec.tickMs) * kNsPerMs;
        if (s->t0Ns + static_cast<std::int64_t>(s->tick) * tickNs > nowNs)
            continue;
        // A late tick is the current one; those passed over are not called.
        const auto current = static_cast<std::uint64_t>((nowNs - s->t0Ns) / tickNs);
        s->tick = current + 1;
        ++s->calls;
        std::string error;
        if (s->lua->OnTick(static_cast<std::int64_t>(current) * s->spec.tickMs, error))
            s->failuresInRow = 0;
        else
            Failed(*s, error);
    }
}

std::int64_t BehaviourBook::Step()
{
    const std::size_t n = engine_.TakeWrites(batch_);
    taken_ = n;
    std::lock_guard lock(mutex_);
    State& state = *state_;
    const std::int64_t now = clock_.SteadyNs();
    for (std::size_t i = 0; i < n; ++i) {
        Handle(batch_[i], now);
        const std::int64_t delay = systemClock_.SteadyNs() - batch_[i].answeredNs;
        ++stats_.writes;
        ++stats_.delay[static_cast<std::size_t>(std::clamp<std::int64_t>(delay / 10'000, 0, 999))];
    }
    RunTimers(clock_.SteadyNs());
    const std::uint64_t dropped = engine_.DroppedWrites();
    if (dropped != state.droppedTold) {
        Told("", std::to_string(dropped - state.droppedTold) +
                     " masters' writes were not handed over: the behaviour thread fell behind");
        state.droppedTold = dropped;
    }
    if (n == batch_.size())
        return clock_.SteadyNs();   // more are waiting
    std::int64_t next = state.timers.empty() ? kNever : state.timers.begin()->first.first;
    for (auto& s : state.scripts)
        if (s->state == "running" && s->spec.tickMs != 0 && s->lua->HasOnTick())
            next = std::min(next, s->t0Ns + static_cast<std::int64_t>(s->tick) * static_cast<std::int64_t>(s->spec.tickMs) * kNsPerMs);
    return next;
}

} // namespace behaviour
