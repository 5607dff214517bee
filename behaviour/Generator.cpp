#include "behaviour/Generator.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <numbers>

namespace behaviour {

namespace {

constexpr std::uint64_t kMaxReplay = 1'000'000;

long double Lerp(double lo, double hi, double x)
{
    // Weighted, not lo + x * (hi - lo): the span of a float64's whole range does not fit a double.
    return static_cast<long double>(lo) * (1.0L - x) + static_cast<long double>(hi) * x;
}

// An integer of `bits` from a value already kept in its range.
std::uint64_t Rounded(long double v, bool isSigned, int bits)
{
    const long double r = std::round(v);
    if (isSigned) {
        const long double lo = -std::ldexp(1.0L, bits - 1);
        const long double hi = std::ldexp(1.0L, bits - 1) - 1.0L;
        return static_cast<std::uint64_t>(static_cast<std::int64_t>(std::clamp(r, lo, hi)));
    }
    const long double hi = std::ldexp(1.0L, bits) - 1.0L;
    return static_cast<std::uint64_t>(std::clamp(r, 0.0L, hi));
}

Words Split(std::uint64_t bits, int words, bool lowFirst)
{
    Words w;
    w.count = words;
    for (int i = 0; i < words; ++i) {
        const int shift = 16 * (lowFirst ? i : words - 1 - i);
        w.word[static_cast<std::size_t>(i)] = static_cast<std::uint16_t>(bits >> shift);
    }
    return w;
}

} // namespace

std::uint64_t SplitMix64(std::uint64_t x)
{
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

double Uniform(std::uint64_t seed, std::uint64_t k)
{
    // Each update draws from its own point of the seed's stream, so a value depends only on
    // the seed and the update's number, never on how the runner got there.
    const std::uint64_t r = SplitMix64(SplitMix64(seed) ^ (k * 0xD1B54A32D192ED03ull));
    return static_cast<double>(r >> 11) * 0x1.0p-53;
}

Generator::Generator(GeneratorSpec spec, std::int64_t wallStartMs)
    : spec_(std::move(spec)), wallStartMs_(wallStartMs), low_(spec_.Low()), high_(spec_.High())
{
    // A description made in code rather than read from a file still runs: no zero periods.
    spec_.updateMs = std::clamp(spec_.updateMs, kMinUpdateMs, kMaxUpdateMs);
    spec_.periodMs = std::max<std::uint32_t>(spec_.periodMs, 1);
    spec_.durationsMs.resize(spec_.values.size(), 1);
    std::int64_t end = 0;
    for (std::uint32_t d : spec_.durationsMs) {
        end += d;
        stepEnds_.push_back(end);
    }
    if (IsInteger(spec_.value)) {
        // Integer generators move between whole numbers inside [min, max].
        const double lo = std::ceil(low_);
        const double hi = std::floor(high_);
        if (lo <= hi) {
            low_ = lo;
            high_ = hi;
        }
    }
    walkV_ = spec_.kind == Kind::RandomWalk ? (IsInteger(spec_.value) ? std::floor(Lerp(low_, high_, 0.5))
                                                                    : Lerp(low_, high_, 0.5))
                                            : 0.0L;
}

double Generator::Periodic(std::int64_t ms) const
{
    const std::int64_t period = spec_.periodMs;
    double f = static_cast<double>(ms % period) / static_cast<double>(period) + spec_.phase;
    if (f >= 1.0)
        f -= 1.0;
    return f;
}

long double Generator::ValueAt(std::uint64_t k)
{
    const auto ms = static_cast<std::int64_t>(k * spec_.updateMs);
    switch (spec_.kind) {
    case Kind::Sine: {
        const double mid = low_ / 2 + high_ / 2;
        const double amp = high_ / 2 - low_ / 2;
        return static_cast<long double>(mid) + static_cast<long double>(amp) * std::sin(2.0 * std::numbers::pi * Periodic(ms));
    }
    case Kind::Triangle: {
        const double f = Periodic(ms);
        return Lerp(low_, high_, f < 0.5 ? 2.0 * f : 2.0 - 2.0 * f);
    }
    case Kind::Ramp:
        return Lerp(low_, high_, Periodic(ms));
    case Kind::Square:
        return Periodic(ms) < 0.5 ? high_ : low_;
    case Kind::Random: {
        const double u = Uniform(spec_.seed, k);
        if (!IsInteger(spec_.value))
            return Lerp(low_, high_, u);
        const long double n = static_cast<long double>(high_) - low_ + 1.0L;
        return std::min<long double>(low_ + std::floor(u * n), high_);
    }
    case Kind::RandomWalk: {
        if (k < walkK_) {
            walkK_ = 0;
            walkV_ = IsInteger(spec_.value) ? std::floor(Lerp(low_, high_, 0.5)) : Lerp(low_, high_, 0.5);
        }
        // After a stall of more than a million updates (a suspended machine) the walk takes
        // up again from where it stood rather than replaying them all.
        if (k - walkK_ > kMaxReplay)
            walkK_ = k - 1;
        while (walkK_ < k) {
            ++walkK_;
            long double d = (2.0L * Uniform(spec_.seed, walkK_) - 1.0L) * spec_.step;
            if (IsInteger(spec_.value))
                d = std::round(d);
            walkV_ = std::clamp<long double>(walkV_ + d, low_, high_);
        }
        return walkV_;
    }
    case Kind::Counter: {
        if (!IsInteger(spec_.value)) {
            const double span = high_ - low_;
            if (!(span > 0.0))
                return low_;
            return low_ + std::fmod(static_cast<double>(k) * spec_.step, span + spec_.step);
        }
        // Exact for every 64-bit width: the count wraps from max to min as a register does.
        const auto lo = static_cast<__int128>(static_cast<long double>(low_));
        __int128 hi = static_cast<__int128>(static_cast<long double>(high_));
        // The doubles at the ends of the 64-bit ranges lie one past the last integer.
        if (spec_.value == Encoding::Int64)
            hi = std::min<__int128>(hi, std::numeric_limits<std::int64_t>::max());
        else if (spec_.value == Encoding::Uint64)
            hi = std::min<__int128>(hi, std::numeric_limits<std::uint64_t>::max());
        const __int128 span = hi - lo + 1;
        const auto step = static_cast<unsigned __int128>(static_cast<long double>(spec_.step));
        const auto offset = static_cast<__int128>((static_cast<unsigned __int128>(k) * step) % static_cast<unsigned __int128>(span));
        return static_cast<long double>(lo + offset);
    }
    case Kind::Steps: {
        const std::int64_t total = stepEnds_.empty() ? 0 : stepEnds_.back();
        if (total <= 0)
            return 0.0L;
        const std::int64_t t = spec_.loop ? ms % total : std::min(ms, total - 1);
        const auto it = std::upper_bound(stepEnds_.begin(), stepEnds_.end(), t);
        return spec_.values[static_cast<std::size_t>(it - stepEnds_.begin())];
    }
    case Kind::Clock:
        return std::floor(static_cast<long double>(wallStartMs_ + ms) / 1000.0L);
    case Kind::Csv: {
        if (!spec_.rows || spec_.rows->empty())
            return 0.0L;
        const auto& rows = *spec_.rows;
        const std::int64_t cycle = rows.back().ms;
        const std::int64_t t = spec_.loop && cycle > 0 ? ms % cycle : ms;
        const auto it = std::upper_bound(rows.begin(), rows.end(), t, [](std::int64_t v, const CsvRow& r) { return v < r.ms; });
        return it == rows.begin() ? rows.front().value : std::prev(it)->value;
    }
    }
    return 0.0L;
}

Words Generator::Encode(long double value) const
{
    const Encoding e = spec_.value;
    const bool lowFirst = !spec_.swapped;
    if (spec_.kind == Kind::Clock && IsInteger(e) && e != Encoding::Bit) {
        // The low bits of the seconds, as a register of that width would count them.
        const auto seconds = static_cast<std::uint64_t>(static_cast<std::int64_t>(value));
        return Split(seconds, WordsOf(e), lowFirst);
    }
    if (std::isnan(value))
        value = spec_.Low();
    value = std::clamp<long double>(value, spec_.Low(), spec_.High());
    switch (e) {
    case Encoding::Bit:
        return Split(value >= 0.5L ? 1 : 0, 1, true);
    case Encoding::Int16:
        return Split(Rounded(value, true, 16), 1, true);
    case Encoding::Uint16:
        return Split(Rounded(value, false, 16), 1, true);
    case Encoding::Int32:
        return Split(Rounded(value, true, 32), 2, lowFirst);
    case Encoding::Uint32:
        return Split(Rounded(value, false, 32), 2, lowFirst);
    case Encoding::Int64:
        return Split(Rounded(value, true, 64), 4, lowFirst);
    case Encoding::Uint64:
        return Split(Rounded(value, false, 64), 4, lowFirst);
    case Encoding::Float32:
        return Split(std::bit_cast<std::uint32_t>(static_cast<float>(value)), 2, lowFirst);
    case Encoding::Float64:
        return Split(std::bit_cast<std::uint64_t>(static_cast<double>(value)), 4, lowFirst);
    }
    return {};
}

} // namespace behaviour
