#include "behaviour/TrendSeries.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <ctime>
#include <map>
#include <mutex>

namespace behaviour {

std::string TrendPoint::Label() const
{
    static const char* const kTypes[] = {"coil", "input", "holding", "input register"};
    const char* name = type >= 1 && type <= 4 ? kTypes[type - 1] : "?";
    std::string label = "unit " + std::to_string(unit) + " " + name + " " + std::to_string(address);
    if (value != Encoding::Bit && value != Encoding::Uint16)
        label += std::string(" ") + EncodingName(value) + (swapped ? " swapped" : "");
    return label;
}

bool TrendSeries::Add(std::int64_t ms, double value)
{
    if (!samples_.empty() && ms < samples_.back().ms + kMinSpacingMs)
        return false;
    while (!samples_.empty() && (samples_.front().ms <= ms - kWindowMs || samples_.size() >= kCapacity))
        samples_.pop_front();
    samples_.push_back({ms, value});
    return true;
}

double ValueOfWords(const Words& w, Encoding e, bool swapped)
{
    const int n = WordsOf(e);
    std::uint64_t bits = 0;
    for (int i = 0; i < n; ++i) {
        // Low word first unless swapped, as the generators write them.
        const int shift = 16 * (swapped ? n - 1 - i : i);
        bits |= std::uint64_t{w.word[static_cast<std::size_t>(i)]} << shift;
    }
    switch (e) {
    case Encoding::Bit: return bits ? 1.0 : 0.0;
    case Encoding::Int16: return static_cast<std::int16_t>(bits);
    case Encoding::Uint16: return static_cast<double>(bits);
    case Encoding::Int32: return static_cast<std::int32_t>(bits);
    case Encoding::Uint32: return static_cast<double>(bits);
    case Encoding::Int64: return static_cast<double>(static_cast<std::int64_t>(bits));
    case Encoding::Uint64: return static_cast<double>(bits);
    case Encoding::Float32: return std::bit_cast<float>(static_cast<std::uint32_t>(bits));
    case Encoding::Float64: return std::bit_cast<double>(bits);
    }
    return 0.0;
}

std::optional<double> SamplePoint(PointSource& points, const TrendPoint& point)
{
    const int n = WordsOf(point.value);
    const auto target = points.Resolve(point.unit, point.type, point.address, n);
    if (!target || !target->words)
        return std::nullopt;
    Words w;
    w.count = n;
    {
        std::unique_lock<std::mutex> lock;
        if (target->lock && n > 1)
            lock = std::unique_lock<std::mutex>(*target->lock);
        for (int i = 0; i < n; ++i)
            w.word[static_cast<std::size_t>(i)] = target->words[i].load(std::memory_order_relaxed);
    }
    return ValueOfWords(w, point.value, point.swapped);
}

namespace {

std::string TimeText(std::int64_t ms)
{
    const std::time_t seconds = static_cast<std::time_t>(ms >= 0 ? ms / 1000 : (ms - 999) / 1000);
    std::tm tm{};
    gmtime_r(&seconds, &tm);
    char buf[40];
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S", &tm);
    char frac[8];
    std::snprintf(frac, sizeof frac, ".%03dZ", static_cast<int>(ms - static_cast<std::int64_t>(seconds) * 1000));
    return std::string(buf) + frac;
}

std::string Cell(const std::string& text)
{
    if (text.find_first_of(",\"\n") == std::string::npos)
        return text;
    std::string out = "\"";
    for (char c : text) {
        if (c == '"')
            out += '"';
        out += c;
    }
    return out + '"';
}

} // namespace

std::string TrendCsv(const std::vector<const TrendSeries*>& series)
{
    std::string out = "time";
    for (const TrendSeries* s : series)
        out += "," + Cell(s->Point().Label());
    out += "\n";
    // Every sample time of any series, each with the value of each series sampled then.
    std::map<std::int64_t, std::vector<std::optional<double>>> rows;
    for (std::size_t i = 0; i < series.size(); ++i) {
        for (const TrendSample& sample : series[i]->Samples()) {
            auto& row = rows[sample.ms];
            row.resize(series.size());
            row[i] = sample.value;
        }
    }
    for (auto& [ms, row] : rows) {
        out += TimeText(ms);
        row.resize(series.size());
        for (const auto& v : row) {
            out += ",";
            if (v) {
                char buf[32];
                auto [p, ec] = std::to_chars(buf, buf + sizeof buf, *v);
                if (ec == std::errc())
                    out.append(buf, p);
            }
        }
        out += "\n";
    }
    return out;
}

} // namespace behaviour
