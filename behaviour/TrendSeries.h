// What the trend window plots: for each chosen point the samples of the last minute, at most
// 20 a second, and the CSV text of them. Plain: the window samples on its timer and draws.
#pragma once

#include "behaviour/Generator.h"
#include "behaviour/GeneratorRunner.h"

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

namespace behaviour {

/// A point and how its words form a value, as a generator writes it.
struct TrendPoint {
    int unit = 1;
    int type = 3;
    std::uint32_t address = 1;
    Encoding value = Encoding::Uint16;
    bool swapped = false;
    bool operator==(const TrendPoint&) const = default;
    /// "unit 1 holding 100 float32".
    std::string Label() const;
};

struct TrendSample {
    std::int64_t ms = 0;   // ms since 1970 UTC
    double value = 0.0;
};

class TrendSeries {
public:
    static constexpr std::int64_t kWindowMs = 60'000;
    static constexpr std::int64_t kMinSpacingMs = 50;   // 20 samples a second
    static constexpr std::size_t kCapacity = kWindowMs / kMinSpacingMs + 1;

    explicit TrendSeries(TrendPoint point) : point_(point) {}
    const TrendPoint& Point() const { return point_; }

    /// Keeps the sample unless it comes sooner than kMinSpacingMs after the last one (or before
    /// it); drops the samples older than kWindowMs before it. Returns whether it was kept.
    bool Add(std::int64_t ms, double value);
    const std::deque<TrendSample>& Samples() const { return samples_; }
    void Clear() { samples_.clear(); }

private:
    TrendPoint point_;
    std::deque<TrendSample> samples_;
};

/// The value `words` hold (the first `WordsOf(value)` of them, first register first).
double ValueOfWords(const Words& words, Encoding value, bool swapped);
/// Reads the point's words under its document's value lock, so a value of several words is never
/// half of one; nullopt when no open data window serves every word.
std::optional<double> SamplePoint(PointSource& points, const TrendPoint& point);

/// "time,<label>,<label>..." then one row per sample time of any series, oldest first, the time
/// as UTC ("2026-12-11T07:30:00.050Z"), an empty cell where a series has no sample then.
std::string TrendCsv(const std::vector<const TrendSeries*>& series);

} // namespace behaviour
