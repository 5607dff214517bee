// kelvaro_bench_server: our protocol engine as a Modbus/TCP slave for the load generator.
//
// Device 1 gets ten holding-register blocks of 1000 registers at addresses 1, 1001, ... 9001
// (wire addresses 0..9999), then the engine's TCP server is opened on a free port.
//
// Usage: kelvaro_bench_server [--port P] [--max-seconds S] [--fault-rules N] [--delay-ms D] [--rtu-over-tcp]
//   --rtu-over-tcp   serves RTU frames on the TCP stream instead of Modbus/TCP
//   --fault-rules N  installs N fault rules that match no request (unit 200 + i): what checking
//                    rules costs the request path
//   --delay-ms D     installs one rule that answers every request D ms late
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
#include <vector>

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
    int faultRules = 0;
    int delayMs = -1;
    bool rtuOverTcp = false;
    bool accessStats = true;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--port" && i + 1 < argc)
            port = std::atoi(argv[++i]);
        else if (a == "--max-seconds" && i + 1 < argc)
            maxSeconds = std::atof(argv[++i]);
        else if (a == "--fault-rules" && i + 1 < argc)
            faultRules = std::atoi(argv[++i]);
        else if (a == "--delay-ms" && i + 1 < argc)
            delayMs = std::atoi(argv[++i]);
        else if (a == "--rtu-over-tcp")
            rtuOverTcp = true;
        else if (a == "--no-access-stats")
            accessStats = false;
        else {
            std::fprintf(stderr, "usage: kelvaro_bench_server [--port P] [--max-seconds S] [--fault-rules N] [--delay-ms D] [--rtu-over-tcp] [--no-access-stats]\n");
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
    engine.EnableAccessStats(accessStats);
    for (int b = 0; b < kBlocks; ++b) {
        const pomrel::Handle h = engine.DefineDataBlock(1, 3, 1 + b * kBlockLength, kBlockLength,
                                                        memory.get() + std::size_t(b) * kBlockLength);
        if (h == pomrel::kNoHandle) {
            std::fprintf(stderr, "bench_server: DefineDataBlock %d failed\n", b);
            return 1;
        }
    }
    std::vector<pomrel::FaultRule> rules;
    for (int i = 0; i < faultRules; ++i) {
        pomrel::FaultRule r;
        r.unit = 200 + i % 50;         // no block of these devices: never matched by the load
        r.functions = {3, 16};
        r.action = pomrel::FaultAction::NoReply;
        rules.push_back(r);
    }
    if (delayMs >= 0) {
        pomrel::FaultRule r;
        r.action = pomrel::FaultAction::Delay;
        r.delayMs = static_cast<std::uint32_t>(delayMs);
        rules.push_back(r);
    }
    engine.SetFaultRules(rules);
    engine.SetTCPServicePort(std::uint16_t(port));
    pomrel::ServerEndpoint rtu;
    rtu.protocol = pomrel::ServerProtocol::RtuOverTcp;
    rtu.address = "127.0.0.1";
    rtu.port = static_cast<std::uint16_t>(port);
    const pomrel::Handle tcp = rtuOverTcp ? engine.OpenServer(rtu) : engine.OpenTCPConnection(nullptr, 1026);
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
