#include "behaviour/Reaction.h"

#include "behaviour/Generator.h"
#include "engine/WriteFeed.h"

#include <array>
#include <bit>
#include <cmath>
#include <mutex>

namespace behaviour {

namespace {

bool IsBitType(int type) { return type == 1 || type == 2; }

std::uint64_t Joined(const std::uint16_t* words, int count, bool swapped)
{
    std::uint64_t bits = 0;
    for (int i = 0; i < count; ++i) {
        const int shift = 16 * (swapped ? count - 1 - i : i);
        bits |= static_cast<std::uint64_t>(words[i]) << shift;
    }
    return bits;
}

Words Split(std::uint64_t bits, int count, bool swapped)
{
    Words w;
    w.count = count;
    for (int i = 0; i < count; ++i) {
        const int shift = 16 * (swapped ? count - 1 - i : i);
        w.word[static_cast<std::size_t>(i)] = static_cast<std::uint16_t>(bits >> shift);
    }
    return w;
}

// One encoder per width and word order: a counter generator over the whole range does the
// rounding and clamping the generators do.
const Generator& Encoder(Encoding e, bool swapped)
{
    static const std::array<std::array<Generator, 2>, 9> encoders = [] {
        auto make = [](int i, bool s) {
            GeneratorSpec g;
            g.kind = Kind::Counter;
            g.value = static_cast<Encoding>(i);
            g.swapped = s;
            return Generator(g);
        };
        return std::array<std::array<Generator, 2>, 9>{{
            {make(0, false), make(0, true)}, {make(1, false), make(1, true)}, {make(2, false), make(2, true)},
            {make(3, false), make(3, true)}, {make(4, false), make(4, true)}, {make(5, false), make(5, true)},
            {make(6, false), make(6, true)}, {make(7, false), make(7, true)}, {make(8, false), make(8, true)},
        }};
    }();
    return encoders[static_cast<std::size_t>(e)][swapped ? 1 : 0];
}

// Reads or writes a point's words whole.
template <class F>
void Whole(const PointTarget& p, int words, F&& f)
{
    if (words > 1 && p.lock != nullptr) {
        std::lock_guard lock(*p.lock);
        f();
    } else {
        f();
    }
}

} // namespace

int PointWords(int type, Encoding e) { return IsBitType(type) ? 1 : WordsOf(e); }

long double DecodeWords(const std::uint16_t* words, int count, Encoding e, bool swapped)
{
    const std::uint64_t bits = Joined(words, count, swapped);
    switch (e) {
    case Encoding::Bit: return words[0] != 0 ? 1 : 0;
    case Encoding::Int16: return static_cast<std::int16_t>(bits);
    case Encoding::Uint16: return static_cast<std::uint16_t>(bits);
    case Encoding::Int32: return static_cast<std::int32_t>(bits);
    case Encoding::Uint32: return static_cast<std::uint32_t>(bits);
    case Encoding::Int64: return static_cast<long double>(static_cast<std::int64_t>(bits));
    case Encoding::Uint64: return static_cast<long double>(bits);
    case Encoding::Float32: return std::bit_cast<float>(static_cast<std::uint32_t>(bits));
    case Encoding::Float64: return std::bit_cast<double>(bits);
    }
    return 0;
}

Words EncodeValue(long double value, Encoding e, bool swapped) { return Encoder(e, swapped).Encode(value); }

long double ReadPoint(const PointTarget& p, int type, Encoding e, bool swapped)
{
    if (p.words == nullptr)
        return 0;
    if (IsBitType(type))
        return p.words[0].load(std::memory_order_relaxed) != 0 ? 1 : 0;
    const int n = WordsOf(e);
    std::array<std::uint16_t, 4> words{};
    Whole(p, n, [&] {
        for (int i = 0; i < n; ++i)
            words[static_cast<std::size_t>(i)] = p.words[i].load(std::memory_order_relaxed);
    });
    return DecodeWords(words.data(), n, e, swapped);
}

void WritePoint(const PointTarget& p, int type, Encoding e, bool swapped, long double value)
{
    if (p.words == nullptr)
        return;
    if (IsBitType(type)) {
        p.words[0].store(value != 0 && !std::isnan(value) ? 1 : 0, std::memory_order_relaxed);
        return;
    }
    const Words w = EncodeValue(value, e, swapped);
    Whole(p, w.count, [&] {
        for (int i = 0; i < w.count; ++i)
            p.words[i].store(w.word[static_cast<std::size_t>(i)], std::memory_order_relaxed);
    });
}

void AddToPoint(const PointTarget& p, int type, Encoding e, bool swapped, long double value)
{
    if (p.words == nullptr)
        return;
    if (IsBitType(type) || !IsInteger(e) || e == Encoding::Bit) {
        // A float adds as a float; a bit keeps 0 or 1.
        Whole(p, PointWords(type, e), [&] {
            const PointTarget unlocked{p.words, nullptr, p.owner};
            WritePoint(unlocked, type, e, swapped, ReadPoint(unlocked, type, e, swapped) + value);
        });
        return;
    }
    const int n = WordsOf(e);
    const auto step = static_cast<std::uint64_t>(static_cast<std::int64_t>(std::llround(static_cast<double>(value))));
    Whole(p, n, [&] {
        std::array<std::uint16_t, 4> words{};
        for (int i = 0; i < n; ++i)
            words[static_cast<std::size_t>(i)] = p.words[i].load(std::memory_order_relaxed);
        const Words w = Split(Joined(words.data(), n, swapped) + step, n, swapped);
        for (int i = 0; i < n; ++i)
            p.words[i].store(w.word[static_cast<std::size_t>(i)], std::memory_order_relaxed);
    });
}

std::optional<long double> WrittenValue(const pomrel::WriteRecord& w, const PointRef& point, const PointTarget& p,
                                        Encoding e, bool swapped)
{
    if (w.unit != point.unit || w.type != point.type || point.address < w.address ||
        point.address - w.address >= w.count)
        return std::nullopt;
    const std::uint32_t offset = point.address - w.address;
    if (IsBitType(point.type))
        return w.Value(offset) != 0 ? 1 : 0;
    const int n = WordsOf(e);
    if (!w.enron && offset + static_cast<std::uint32_t>(n) <= w.count)
        return DecodeWords(w.data.data() + offset, n, e, swapped);
    return ReadPoint(p, point.type, e, swapped);
}

std::optional<PointTarget> PointMap::Find(int unit, int type, std::uint32_t address, int words) const
{
    for (const PointBlock& b : blocks_) {
        if (b.unit != unit || b.type != type || b.words == nullptr)
            continue;
        if (address < b.start || address - b.start + static_cast<std::uint32_t>(words) > b.length)
            continue;
        return PointTarget{b.words + (address - b.start), b.lock, b.owner};
    }
    return std::nullopt;
}

void PointMap::Forget(const void* owner)
{
    std::erase_if(blocks_, [&](const PointBlock& b) { return b.owner == owner; });
}

} // namespace behaviour
