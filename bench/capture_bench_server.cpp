// kelvaro_capture_bench_server: the engine as a Modbus/TCP slave, as kelvaro_bench_server, with
// the program's traffic tap and optionally a pcapng capture and/or a JSON Lines log attached.
//
// Usage: kelvaro_capture_bench_server [--port P] [--max-seconds S] [--capture FILE] [--traffic-log FILE]
//                                     [--count-only] [--records-only]
// --count-only: the tap with only a sink that counts (what taking and decoding cost);
// --records-only: the engine's records on and nobody taking them (what recording costs).
// Prints "PORT <n>"; at SIGTERM/SIGINT prints "RECORDS dropped=<n> frames=<m>" and ends.

#include "engine/ProtocolEngine.h"
#include "monitor/CaptureFile.h"
#include "monitor/TrafficJsonLog.h"
#include "monitor/TrafficTap.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>

namespace {
volatile std::sig_atomic_t g_stop = 0;
void onSignal(int) { g_stop = 1; }

constexpr int kBlocks = 10;
constexpr int kBlockLength = 1000;

// Counts what the tap hands on, so a run shows every frame went somewhere.
class CountingSink : public monitor::FrameSink {
public:
    void Take(std::span<const monitor::TappedFrame> frames) override { count += frames.size(); }
    bool NeedsDecoding() const override { return decoding; }
    std::atomic<std::uint64_t> count{0};
    bool decoding = false;  // --count-only: as a sink that reads decoded frames
};
} // namespace

int main(int argc, char** argv)
{
    int port = 0;
    double maxSeconds = 1800;
    std::string capturePath, logPath;
    bool countOnly = false, recordsOnly = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--port" && i + 1 < argc)
            port = std::atoi(argv[++i]);
        else if (a == "--max-seconds" && i + 1 < argc)
            maxSeconds = std::atof(argv[++i]);
        else if (a == "--capture" && i + 1 < argc)
            capturePath = argv[++i];
        else if (a == "--traffic-log" && i + 1 < argc)
            logPath = argv[++i];
        else if (a == "--count-only")
            countOnly = true;
        else if (a == "--records-only")
            recordsOnly = true;
        else {
            std::fprintf(stderr, "usage: kelvaro_capture_bench_server [--port P] [--max-seconds S] [--capture FILE] "
                                 "[--traffic-log FILE] [--count-only] [--records-only]\n");
            return 2;
        }
    }
    std::signal(SIGTERM, onSignal);
    std::signal(SIGINT, onSignal);
    std::signal(SIGPIPE, SIG_IGN);

    auto memory = std::make_unique<pomrel::RegisterWord[]>(std::size_t(kBlocks) * kBlockLength);
    pomrel::ProtocolEngine engine;
    for (int b = 0; b < kBlocks; ++b)
        engine.DefineDataBlock(1, 3, 1 + b * kBlockLength, kBlockLength, memory.get() + std::size_t(b) * kBlockLength);

    monitor::TrafficTap tap(engine);
    auto counter = std::make_shared<CountingSink>();
    std::string error;
    if (!capturePath.empty()) {
        std::shared_ptr<monitor::CaptureFile> capture = monitor::CaptureFile::Open(capturePath, tap.Clock(), error);
        if (!capture) {
            std::fprintf(stderr, "%s\n", error.c_str());
            return 1;
        }
        tap.AddSink(capture);
        tap.AddSink(counter);
    }
    if (!logPath.empty()) {
        std::shared_ptr<monitor::TrafficJsonLog> log = monitor::TrafficJsonLog::Open(logPath, tap.Clock(), {}, error);
        if (!log) {
            std::fprintf(stderr, "%s\n", error.c_str());
            return 1;
        }
        tap.AddSink(log);
        tap.AddSink(counter);
    }

    if (countOnly) {
        counter->decoding = true;
        tap.AddSink(counter);
    }
    if (recordsOnly)
        engine.EnableFrameRecords(true);

    engine.SetTCPServicePort(std::uint16_t(port));
    const pomrel::Handle tcp = engine.OpenTCPConnection(nullptr, 1026);
    if (tcp == pomrel::kNoHandle) {
        std::fprintf(stderr, "capture_bench_server: %s\n", engine.LastOpenError().c_str());
        return 1;
    }
    std::printf("PORT %u\n", engine.BoundTcpPort(tcp));
    std::fflush(stdout);
    const auto start = std::chrono::steady_clock::now();
    while (!g_stop && std::chrono::steady_clock::now() - start < std::chrono::duration<double>(maxSeconds))
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    engine.CloseConnection(tcp);
    tap.Flush();
    std::printf("RECORDS dropped=%llu frames=%llu\n", static_cast<unsigned long long>(tap.Dropped()),
                static_cast<unsigned long long>(counter->count.load()));
    std::fflush(stdout);
    return 0;
}
