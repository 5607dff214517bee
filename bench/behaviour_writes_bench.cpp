// Masters' writes handled by a Lua script's on_write, on a real engine over loopback Modbus/TCP.
//   kelvaro_behaviour_writes_bench [seconds=5] [rate=10000] [masters=4] [rounds=3]
// 1. Paced: `masters` connections together write `rate` single registers a second; the script
//    copies each value to an input register. Per write: the answer's arrival to the copy being
//    visible in the register memory (p50, p99, max), and the book's own answer-to-handled figure.
// 2. Throughput: the same masters lock-step as fast as they can, without any behaviour and with
//    the script, in alternating rounds; requests a second and the ratio of the medians.
#include "behaviour/BehaviourBook.h"
#include "behaviour/DocumentPoints.h"
#include "document/CKelvaro32Doc.h"
#include "document/OpenDocuments.h"
#include "engine/ProtocolEngine.h"

#include "TestIo.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using pomrel::test::TcpMaster;

std::vector<std::uint8_t> WriteFrame(std::uint16_t tid, int address, std::uint16_t value)
{
    return {static_cast<std::uint8_t>(tid >> 8), static_cast<std::uint8_t>(tid), 0, 0, 0, 6, 1, 6,
            static_cast<std::uint8_t>((address - 1) >> 8), static_cast<std::uint8_t>(address - 1),
            static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value)};
}

double Quantile(std::vector<double> v, double q)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<std::size_t>(q * static_cast<double>(v.size())))];
}

} // namespace

int main(int argc, char** argv)
{
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 5;
    const int rate = argc > 2 ? std::atoi(argv[2]) : 10'000;
    const int masters = argc > 3 ? std::atoi(argv[3]) : 4;
    const int rounds = argc > 4 ? std::atoi(argv[4]) : 3;

    OpenDocuments open;
    std::vector<std::unique_ptr<CKelvaro32Doc>> docs;
    pomrel::ProtocolEngine engine;
    for (int type : {3, 4}) {
        auto doc = std::make_unique<CKelvaro32Doc>(DocumentContext{&open, "", nullptr});
        doc->deviceId = 1;
        doc->pointType = static_cast<std::uint8_t>(type);
        doc->startAddress = 1;
        doc->length = 1000;
        engine.DefineDataBlock(1, type, 1, 1000, doc->memory.data(), &doc->valueLock);
        docs.push_back(std::move(doc));
    }
    CKelvaro32Doc& inputs = *docs[1];
    engine.SetTCPServicePort(0);
    const std::uint16_t port = engine.BoundTcpPort(engine.OpenTCPConnection(nullptr, 0));

    const std::string script = "/tmp/kelvaro-writes-bench.lua";
    std::ofstream(script) << "function on_write(w) kv.set(1, 4, w.address, w.values[1]) end\n";
    behaviour::DocumentPoints points(open);
    behaviour::BehaviourBook book(engine, points);
    behaviour::Behaviour withScript;
    withScript.scripts.push_back(behaviour::ScriptSpec{"copy", "copy.lua", script, 0});
    std::string error;

    // 1. Paced writes, each followed until its copy shows.
    if (!book.PutInForce(withScript, error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    std::vector<std::vector<double>> delays(static_cast<std::size_t>(masters));
    std::atomic<bool> failed{false};
    {
        std::vector<std::thread> threads;
        for (int m = 0; m < masters; ++m) {
            threads.emplace_back([&, m] {
                TcpMaster master(port);
                const auto interval = std::chrono::nanoseconds(1'000'000'000LL * masters / rate);
                const auto start = Clock::now();
                const auto end = start + std::chrono::seconds(seconds);
                std::uint16_t value = 0;
                auto next = start;
                for (std::uint16_t tid = 0; Clock::now() < end; ++tid) {
                    std::this_thread::sleep_until(next);
                    next += interval;
                    const int address = 1 + m * 100 + tid % 100;
                    value = static_cast<std::uint16_t>(value % 60000 + 1);
                    if (!master.Send(WriteFrame(tid, address, value)) || master.Receive(12).size() != 12) {
                        failed = true;
                        return;
                    }
                    const auto answered = Clock::now();
                    while (inputs.Word(address - 1) != value) {
                        if (Clock::now() - answered > std::chrono::seconds(1)) {
                            failed = true;
                            return;
                        }
                        std::this_thread::yield();   // the behaviour thread may need this core
                    }
                    delays[static_cast<std::size_t>(m)].push_back(
                        std::chrono::duration<double, std::micro>(Clock::now() - answered).count());
                }
            });
        }
        for (auto& t : threads)
            t.join();
    }
    if (failed) {
        std::fprintf(stderr, "a write was not answered or not copied\n");
        return 1;
    }
    std::vector<double> all;
    for (auto& d : delays)
        all.insert(all.end(), d.begin(), d.end());
    const behaviour::BehaviourStats stats = book.Stats();
    std::printf("paced: %zu writes in %d s (%d masters, %d/s asked): answer to effect p50 %.0f us, p99 %.0f us, max %.0f us; "
                "book answer-to-handled p99 %.0f us; dropped %llu\n",
                all.size(), seconds, masters, rate, Quantile(all, 0.5), Quantile(all, 0.99), Quantile(all, 1.0),
                static_cast<double>(stats.DelayQuantileNs(0.99)) / 1000.0,
                static_cast<unsigned long long>(book.DroppedWrites()));

    // 2. Lock-step throughput, without behaviour and with the script, alternating.
    const auto run = [&] {
        std::atomic<long long> total{0};
        std::vector<std::thread> threads;
        for (int m = 0; m < masters; ++m) {
            threads.emplace_back([&, m] {
                TcpMaster master(port);
                const auto end = Clock::now() + std::chrono::seconds(seconds);
                long long n = 0;
                for (std::uint16_t tid = 0; Clock::now() < end; ++tid, ++n)
                    if (!master.Send(WriteFrame(tid, 1 + m * 100 + tid % 100, tid)) || master.Receive(12).size() != 12)
                        break;
                total += n;
            });
        }
        for (auto& t : threads)
            t.join();
        return static_cast<double>(total.load()) / seconds;
    };
    std::vector<double> without, with;
    for (int r = 0; r < rounds; ++r) {
        book.Clear();
        without.push_back(run());
        if (!book.PutInForce(withScript, error))
            return 1;
        with.push_back(run());
        std::printf("round %d: without %.0f req/s, with the script %.0f req/s\n", r + 1, without.back(), with.back());
    }
    const double a = Quantile(without, 0.5), b = Quantile(with, 0.5);
    std::printf("throughput medians: without %.0f req/s, with %.0f req/s, ratio %.3f; dropped %llu\n", a, b, b / a,
                static_cast<unsigned long long>(book.DroppedWrites()));
    std::remove(script.c_str());
    return 0;
}
