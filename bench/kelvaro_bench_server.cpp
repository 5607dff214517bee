// kelvaro_bench_server: our protocol engine as a Modbus/TCP slave for the load generator.
//
// Device 1 gets ten holding-register blocks of 1000 registers at addresses 1, 1001, ... 9001
// (wire addresses 0..9999), then the engine's TCP server is opened on a free port.
//
// Usage: kelvaro_bench_server [--port P] [--max-seconds S] [--fault-rules N] [--delay-ms D] [--rtu-over-tcp]
//                             [--generators N [--generator-update-ms MS]]
//   --rtu-over-tcp   serves RTU frames on the TCP stream instead of Modbus/TCP
//   --fault-rules N  installs N fault rules that match no request (unit 200 + i): what checking
//                    rules costs the request path
//   --delay-ms D     installs one rule that answers every request D ms late
//   --generators N   N float32 sine generators (every MS ms, default 100) on a thread of their own,
//                    on documents of devices 2, 3, ... (500 a document, served by the engine too):
//                    what generators running beside the masters cost them. The generators' thread
//                    is named "generators"; SIGUSR1 prints "GENERATORS updates=U skipped=S".
// Prints "PORT <n>" and serves until SIGTERM/SIGINT or until S seconds have passed (default 1800).
// Note: the engine listens on every interface, not only on loopback.

#include "behaviour/DocumentPoints.h"
#include "behaviour/GeneratorRunner.h"
#include "document/CKelvaro32Doc.h"
#include "document/OpenDocuments.h"
#include "engine/ProtocolEngine.h"

#include <sys/prctl.h>

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
volatile std::sig_atomic_t g_report = 0;
void onSignal(int) { g_stop = 1; }
void onReport(int) { g_report = 1; }

constexpr int kBlocks = 10;
constexpr int kBlockLength = 1000;
constexpr int kGeneratorsPerDocument = kRegisterWords / 2;   // float32: two words each
constexpr int kMaxGenerators = 254 * kGeneratorsPerDocument; // devices 2..255

// Documents the load generator never asks for (it polls device 1), each served by the engine
// with its value lock as the program serves an open data window, and N sine generators on them.
class Generators {
public:
    Generators() : runner_(clock_), points_(open_) {}
    ~Generators()
    {
        runner_.Stop();
        for (const pomrel::Handle h : blocks_)
            engine_->RemoveDataBlock(h);
    }
    Generators(const Generators&) = delete;
    Generators& operator=(const Generators&) = delete;

    bool Open(pomrel::ProtocolEngine& engine, int count, int updateMs)
    {
        engine_ = &engine;
        std::vector<behaviour::GeneratorSpec> specs;
        specs.reserve(std::size_t(count));
        for (int i = 0; i < count; ++i) {
            const int d = i / kGeneratorsPerDocument;
            if (d >= static_cast<int>(docs_.size())) {
                auto doc = std::make_unique<CKelvaro32Doc>(DocumentContext{&open_, "", nullptr});
                doc->deviceId = static_cast<std::uint8_t>(2 + d);
                doc->pointType = 3;
                doc->startAddress = 1;
                doc->length = kRegisterWords;
                const pomrel::Handle h = engine.DefineDataBlock(doc->deviceId, doc->pointType, doc->startAddress,
                                                                doc->length, doc->memory.data(), &doc->valueLock);
                if (h == pomrel::kNoHandle) {
                    std::fprintf(stderr, "bench_server: generators' block of device %d failed\n", 2 + d);
                    return false;
                }
                blocks_.push_back(h);
                docs_.push_back(std::move(doc));
            }
            behaviour::GeneratorSpec g;
            g.name = "g" + std::to_string(i);
            g.unit = 2 + d;
            g.type = 3;
            g.address = static_cast<std::uint32_t>(1 + 2 * (i % kGeneratorsPerDocument));
            g.value = behaviour::Encoding::Float32;
            g.kind = behaviour::Kind::Sine;
            g.min = -100.0;
            g.max = 100.0;
            g.periodMs = static_cast<std::uint32_t>(10'000 + i % 1000);   // not all in step
            g.updateMs = static_cast<std::uint32_t>(updateMs);
            specs.push_back(std::move(g));
        }
        std::string error;
        if (!runner_.PutInForce(std::move(specs), points_, error)) {
            std::fprintf(stderr, "bench_server: generators: %s\n", error.c_str());
            return false;
        }
        // A new thread takes its creator's name: the runner's thread is told apart in /proc this way.
        char name[16] = {};
        prctl(PR_GET_NAME, name);
        prctl(PR_SET_NAME, "generators");
        runner_.Start();
        prctl(PR_SET_NAME, name);
        return true;
    }

    behaviour::RunnerStats Stats() const { return runner_.Stats(); }

private:
    behaviour::SystemClock clock_;
    OpenDocuments open_;
    std::vector<std::unique_ptr<CKelvaro32Doc>> docs_;
    behaviour::GeneratorRunner runner_;
    behaviour::DocumentPoints points_;
    pomrel::ProtocolEngine* engine_ = nullptr;
    std::vector<pomrel::Handle> blocks_;
};
} // namespace

int main(int argc, char** argv)
{
    int port = 0;
    double maxSeconds = 1800;
    int faultRules = 0;
    int delayMs = -1;
    bool rtuOverTcp = false;
    bool accessStats = true;
    int generators = 0;
    int generatorUpdateMs = 100;
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
        else if (a == "--generators" && i + 1 < argc)
            generators = std::atoi(argv[++i]);
        else if (a == "--generator-update-ms" && i + 1 < argc)
            generatorUpdateMs = std::atoi(argv[++i]);
        else {
            std::fprintf(stderr, "usage: kelvaro_bench_server [--port P] [--max-seconds S] [--fault-rules N] [--delay-ms D] [--rtu-over-tcp] [--no-access-stats] [--generators N [--generator-update-ms MS]]\n");
            return 2;
        }
    }
    if (generators < 0 || generators > kMaxGenerators || generatorUpdateMs < 1 || generatorUpdateMs > 86'400'000) {
        std::fprintf(stderr, "bench_server: --generators 0..%d, --generator-update-ms 1..86400000\n", kMaxGenerators);
        return 2;
    }
    std::signal(SIGTERM, onSignal);
    std::signal(SIGINT, onSignal);
    std::signal(SIGUSR1, onReport);
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
    // Started once the engine's threads are, so that none of them takes the generators' name.
    std::unique_ptr<Generators> running;
    if (generators > 0) {
        running = std::make_unique<Generators>();
        if (!running->Open(engine, generators, generatorUpdateMs)) {
            running.reset();
            engine.CloseConnection(tcp);
            return 1;
        }
    }
    std::printf("PORT %u\n", bound);
    std::fflush(stdout);

    const auto start = std::chrono::steady_clock::now();
    while (!g_stop && std::chrono::steady_clock::now() - start < std::chrono::duration<double>(maxSeconds)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        if (g_report) {
            g_report = 0;
            const behaviour::RunnerStats s = running ? running->Stats() : behaviour::RunnerStats{};
            std::printf("GENERATORS updates=%llu skipped=%llu\n", static_cast<unsigned long long>(s.updates),
                        static_cast<unsigned long long>(s.skipped));
            std::fflush(stdout);
        }
    }
    running.reset();
    engine.CloseConnection(tcp);
    return 0;
}
