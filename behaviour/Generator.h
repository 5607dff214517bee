// A generator's value as a function of the time since its list was put in force, and the
// register words that value becomes. Plain and single-threaded: the runner owns each one.
//
// Rules a value goes through before it is written:
// - it is kept in [min, max] (their defaults: the value's whole range); a clock wraps instead,
//   keeping the low bits of the seconds in an integer of its width;
// - integers are rounded to the nearest, halves away from zero; float32 rounds to the nearest
//   float; a bit is 1 from 0.5 up;
// - swapped false puts the low word first (the program's Float, Long and Double formats),
//   true the high word first.
#pragma once

#include "behaviour/BehaviourScenario.h"

#include <array>
#include <cstdint>
#include <vector>

namespace behaviour {

/// splitmix64: small, fast, and the same numbers on every library and machine.
std::uint64_t SplitMix64(std::uint64_t x);
/// A number in [0, 1) for update `k` of `seed` (53 random bits).
double Uniform(std::uint64_t seed, std::uint64_t k);

/// The words of one value, first register first; `count` of them are used.
struct Words {
    std::array<std::uint16_t, 4> word{};
    int count = 1;
};

class Generator {
public:
    /// `wallStartMs`: ms since 1970 when the list was put in force (for clocks).
    explicit Generator(GeneratorSpec spec, std::int64_t wallStartMs = 0);

    const GeneratorSpec& Spec() const { return spec_; }
    void SetEnabled(bool on) { spec_.enabled = on; }

    /// The value of update `k`, at k * update_ms after the start. A random walk is cheapest when
    /// k rises; asked for an earlier k it walks again from its start.
    long double ValueAt(std::uint64_t k);
    /// The words `value` becomes, by the rules above.
    Words Encode(long double value) const;
    Words WordsAt(std::uint64_t k) { return Encode(ValueAt(k)); }

private:
    double Periodic(std::int64_t ms) const;

    GeneratorSpec spec_;
    std::int64_t wallStartMs_ = 0;
    double low_ = 0.0;
    double high_ = 0.0;
    std::vector<std::int64_t> stepEnds_;   // steps: the end of each value, from the start
    std::uint64_t walkK_ = 0;              // random walk: the update walkV_ belongs to
    long double walkV_ = 0.0L;
};

} // namespace behaviour
