// What the once-a-second refresh costs one view in plain code: format every item of a
// 1000-point block and compare it with the item cache, as CKelvaro32View::RefreshItems does.
//   BM_Refresh/<format>/0  nothing changed since the last refresh (the common case)
//   BM_Refresh/<format>/1  every register changed (a master rewrote the whole block)
// Formats 0-8 are the user's; 9 and 10 run an ENRON block (500 points, EnronMode set).
#include "document/AliasTable.h"
#include "document/CKelvaro32Doc.h"
#include "view/ValueFormat.h"

#include <benchmark/benchmark.h>

#include <array>
#include <string>

namespace {

void BM_Refresh(benchmark::State& state)
{
    const int format0 = static_cast<int>(state.range(0));
    const bool changing = state.range(1) != 0;
    const bool enron = format0 == kEnronFloat || format0 == kEnronLong;
    CKelvaro32Doc doc{DocumentContext{}};
    doc.pointType = 3;
    doc.startAddress = enron ? (format0 == kEnronLong ? 5001 : 7001) : 1;
    doc.length = enron ? 500 : 1000;
    for (int k = 0; k < 1000; ++k)
        doc.SetWord(k, static_cast<std::uint16_t>(k * 2654435761u >> 7));
    AliasTable aliases;
    std::array<std::string, 1000> cache;
    std::string scratch;
    int format = format0;
    for (int k = 0; k < doc.length; ++k)
        valuefmt::FormatItem(cache[static_cast<std::size_t>(k)], doc, k, format, enron, aliases);

    std::uint16_t tick = 1;
    for (auto _ : state) {
        if (changing) {
            state.PauseTiming();
            for (int k = 0; k < 1000; ++k)
                doc.SetWord(k, static_cast<std::uint16_t>(doc.Word(k) + tick));
            ++tick;
            state.ResumeTiming();
        }
        int changed = 0;
        for (int k = 0; k < doc.length; ++k) {
            valuefmt::FormatItem(scratch, doc, k, format, enron, aliases);
            auto& cached = cache[static_cast<std::size_t>(k)];
            if (scratch != cached) {
                cached.swap(scratch);
                ++changed;
            }
        }
        benchmark::DoNotOptimize(changed);
    }
    state.SetItemsProcessed(state.iterations() * doc.length);
}

void Formats(benchmark::internal::Benchmark* b)
{
    for (int f = 0; f <= 10; ++f)
        for (int changing : {0, 1})
            b->Args({f, changing});
}

} // namespace

BENCHMARK(BM_Refresh)->Apply(Formats)->Unit(benchmark::kMicrosecond);
BENCHMARK_MAIN();
