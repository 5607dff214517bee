// kelvaro_bench_server: our protocol engine as a Modbus/TCP slave for the load generator.
//
// Device 1 gets ten holding-register blocks of 1000 registers at addresses 1, 1001, ... 9001
// (wire addresses 0..9999), then the engine's TCP server is opened on a free port.
//
// Usage: kelvaro_bench_server [--port P] [--max-seconds S]
// Prints "PORT <n>" and serves until SIGTERM/SIGINT or until S seconds have passed (default 1800).
// Note: the engine listens on every interface, not only on loopback.

#include "engine/ProtocolEngine.h"

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
} // namespace

int main(int argc, char** argv)
{
    int port = 0;
    double maxSeconds = 1800;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--port" && i + 1 < argc)
            port = std::atoi(argv[++i]);
        else if (a == "--max-seconds" && i + 1 < argc)
            maxSeconds = std::atof(argv[++i]);
        else {
            std::fprintf(stderr, "usage: kelvaro_bench_server [--port P] [--max-seconds S]\n");
            return 2;
        }
    }
    std::signal(SIGTERM, onSignal);
    std::signal(SIGINT, onSignal);
    std::signal(SIGPIPE, SIG_IGN);

    auto memory = std::make_unique<pomrel::RegisterWord[]>(std::size_t(kBlocks) * kBlockLength);
    for (int i = 0; i < kBlocks * kBlockLength; ++i)
        memory[std::size_t(i)].store(std::uint16_t(i), std::memory_order_relaxed);

    pomrel::ProtocolEngine engine;
    for (int b = 0; b < kBlocks; ++b) {
        const pomrel::Handle h = engine.DefineDataBlock(1, 3, 1 + b * kBlockLength, kBlockLength,
                                                        memory.get() + std::size_t(b) * kBlockLength);
        if (h == pomrel::kNoHandle) {
            std::fprintf(stderr, "bench_server: DefineDataBlock %d failed\n", b);
            return 1;
        }
    }
    engine.SetTCPServicePort(std::uint16_t(port));
    const pomrel::Handle tcp = engine.OpenTCPConnection(nullptr, 1026);
    if (tcp == pomrel::kNoHandle) {
        std::fprintf(stderr, "bench_server: OpenTCPConnection failed: %s\n", engine.LastOpenError().c_str());
        return 1;
    }
    const unsigned bound = engine.BoundTcpPort(tcp);
    if (bound == 0) {
        std::fprintf(stderr, "bench_server: BoundTcpPort reports no port\n");
        engine.CloseConnection(tcp);
        return 1;
    }
    std::printf("PORT %u\n", bound);
    std::fflush(stdout);

    const auto start = std::chrono::steady_clock::now();
    while (!g_stop && std::chrono::steady_clock::now() - start < std::chrono::duration<double>(maxSeconds))
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    engine.CloseConnection(tcp);
    return 0;
}
