// 100 000 generators at update_ms 100 (a million updates a second) on the behaviour thread:
// the share of one core the process spends and the lateness of the updates.
//   kelvaro_behaviour_bench [seconds=20] [generators=100000] [kind=sine] [status_every_ms=0]
// With status_every_ms, another thread asks for every generator's status that often meanwhile,
// as ListBehaviour does, to show what that costs the passes.
#include "behaviour/DocumentPoints.h"
#include "behaviour/GeneratorRunner.h"
#include "document/CKelvaro32Doc.h"
#include "document/OpenDocuments.h"

#include <nlohmann/json.hpp>

#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

double CpuSeconds()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

} // namespace

int main(int argc, char** argv)
{
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 20;
    const int count = argc > 2 ? std::atoi(argv[2]) : 100'000;
    const std::string kind = argc > 3 ? argv[3] : "sine";
    const int statusEveryMs = argc > 4 ? std::atoi(argv[4]) : 0;
    constexpr int kPerDocument = 500;   // float32: two words each, 1000 words a block

    OpenDocuments open;
    std::vector<std::unique_ptr<CKelvaro32Doc>> docs;
    nlohmann::json list = nlohmann::json::array();
    for (int i = 0; i < count; ++i) {
        const int d = i / kPerDocument;
        if (d >= static_cast<int>(docs.size())) {
            auto doc = std::make_unique<CKelvaro32Doc>(DocumentContext{&open, "", nullptr});
            doc->deviceId = static_cast<std::uint8_t>(1 + d % 255);
            doc->pointType = static_cast<std::uint8_t>(d / 255 % 2 == 0 ? 3 : 4);
            doc->startAddress = 1;
            doc->length = 1000;
            docs.push_back(std::move(doc));
        }
        nlohmann::json g = {{"unit", 1 + d % 255}, {"type", d / 255 % 2 == 0 ? 3 : 4}, {"address", 1 + 2 * (i % kPerDocument)},
                            {"value", "float32"}, {"kind", kind}, {"update_ms", 100}};
        if (kind == "sine" || kind == "triangle" || kind == "ramp" || kind == "square")
            g["period_ms"] = 10'000 + i % 1000;
        if (kind == "random" || kind == "random-walk")
            g["seed"] = i;
        list.push_back(g);
    }
    std::string error;
    auto specs = behaviour::ParseGeneratorList(list, "", error);
    if (!specs) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    behaviour::SystemClock clock;
    behaviour::GeneratorRunner runner(clock);
    behaviour::DocumentPoints points(open);
    if (!runner.PutInForce(std::move(*specs), points, error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    // The first second warms caches and is left out of the figures.
    runner.Start();
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const behaviour::RunnerStats before = runner.Stats();
    const double cpu0 = CpuSeconds();
    const auto wall0 = std::chrono::steady_clock::now();
    std::atomic<bool> done{false};
    std::thread asker;
    if (statusEveryMs > 0)
        asker = std::thread([&] {
            while (!done) {
                std::this_thread::sleep_for(std::chrono::milliseconds(statusEveryMs));
                (void)runner.Status();
            }
        });
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    done = true;
    if (asker.joinable())
        asker.join();
    const double cpu = CpuSeconds() - cpu0;
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall0).count();
    behaviour::RunnerStats after = runner.Stats();
    // What a window's refresh or ListBehaviour holds the runner for.
    const auto s0 = std::chrono::steady_clock::now();
    const std::size_t listed = runner.Status().size();
    const double statusMs = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - s0).count();
    double progressMs = 1e9;   // the best of five: the machine is shared
    std::size_t progressed = 0;
    for (int i = 0; i < 5; ++i) {
        const auto p0 = std::chrono::steady_clock::now();
        progressed = runner.Progress().size();
        progressMs = std::min(progressMs, std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - p0).count());
    }
    runner.Stop();

    for (int i = 0; i < behaviour::RunnerStats::kBuckets; ++i)
        after.lateness[static_cast<std::size_t>(i)] -= before.lateness[static_cast<std::size_t>(i)];
    const std::uint64_t updates = after.updates - before.updates;
    double load[3] = {};
    getloadavg(load, 3);   // the lateness is the scheduler's as much as ours: say how busy it was
    std::printf("generators %d kind %s update_ms 100, %.1f s, load average %.2f%s\n", count, kind.c_str(), wall, load[0],
                statusEveryMs > 0 ? (", every status asked each " + std::to_string(statusEveryMs) + " ms").c_str() : "");
    std::printf("updates %llu (%.0f a second; the grid asks %d), skipped %llu\n",
                static_cast<unsigned long long>(updates), updates / wall, count * 10,
                static_cast<unsigned long long>(after.skipped - before.skipped));
    std::printf("cpu %.3f s = %.1f %% of one core\n", cpu, 100.0 * cpu / wall);
    std::printf("lateness p50 %.2f ms, p99 %.2f ms, max %.2f ms (whole run)\n", after.LatenessQuantileNs(0.5) / 1e6,
                after.LatenessQuantileNs(0.99) / 1e6, after.maxLatenessNs / 1e6);
    std::printf("Status() of %zu generators %.2f ms, Progress() of %zu %.2f ms\n", listed, statusMs, progressed, progressMs);
    return 0;
}
