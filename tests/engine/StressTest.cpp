// Masters hammering the TCP server while the application side writes 32-bit values under the
// block's lock and defines and removes blocks. Meant for ThreadSanitizer and AddressSanitizer
// builds too: removed memory is freed at once, so a request still touching it would be caught.
#include "engine/ProtocolEngine.h"
#include "tests/engine/TestIo.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace pomrel {
namespace {

using namespace std::chrono_literals;
using test::TcpMaster;

// The application's side of the traffic relay: the callback only queues, another thread reads.
struct Relay {
    std::mutex mutex;
    std::vector<std::pair<std::uint32_t, std::uint16_t>> queued;
} relay;

bool QueueBatch(std::uint32_t first, std::uint16_t, std::uint16_t count)
{
    std::lock_guard lock(relay.mutex);
    relay.queued.emplace_back(first, count);
    return true;
}

TEST(EngineStress, NoTornValuesAndRemovalWaitsForRequestsInFlight)
{
    ProtocolEngine engine;
    engine.EnableBufferCallback(&QueueBatch);
    auto pairs = std::make_unique<std::array<RegisterWord, 1000>>();
    std::mutex pairsLock;
    ASSERT_NE(engine.DefineDataBlock(1, 3, 1, 100, pairs->data(), &pairsLock), kNoHandle);
    engine.SetTCPServicePort(0);
    const Handle server = engine.OpenTCPConnection(nullptr, 1026);
    ASSERT_NE(server, kNoHandle) << engine.LastOpenError();
    const std::uint16_t port = engine.BoundTcpPort(server);

    std::atomic<bool> stop{false};
    std::atomic<int> torn{0};
    std::atomic<int> answers{0};

    // The screen / simulation: writes both words of the pair at 0..1 to the same counter, under the lock.
    std::thread writer([&] {
        for (std::uint16_t v = 0; !stop; ++v) {
            std::lock_guard lock(pairsLock);
            (*pairs)[0].store(v, std::memory_order_relaxed);
            (*pairs)[1].store(v, std::memory_order_relaxed);
        }
    });
    // Documents coming and going: blocks at 201.. defined and removed, memory freed right after.
    std::thread churn([&] {
        while (!stop) {
            auto memory = std::make_unique<std::array<RegisterWord, 1000>>();
            const Handle h = engine.DefineDataBlock(1, 3, 201, 1000, memory->data());
            std::this_thread::sleep_for(1ms);
            engine.RemoveDataBlock(h);
            memory.reset();
        }
    });
    std::atomic<std::uint64_t> relayedWords{0};
    std::thread ui([&] {
        std::array<std::uint16_t, 1024> words{};
        while (!stop) {
            std::vector<std::pair<std::uint32_t, std::uint16_t>> batches;
            {
                std::lock_guard lock(relay.mutex);
                batches.swap(relay.queued);
            }
            for (const auto& [id, count] : batches) {
                engine.ReadDebugData(id, words.data(), 0, count);
                relayedWords += count;
            }
            std::this_thread::sleep_for(5ms);
        }
    });
    // Masters: read the pair (must never differ), write another pair with FC16, read the churned block.
    std::vector<std::thread> masters;
    for (int m = 0; m < 4; ++m) {
        masters.emplace_back([&, m] {
            TcpMaster master(port);
            if (!master.Connected())
                return;
            const std::vector<std::uint8_t> readPair = {0, 1, 0, 0, 0, 6, 1, 3, 0, 0, 0, 2};
            const std::vector<std::uint8_t> writePair = {0, 2, 0, 0, 0, 11, 1, 16, 0, 4, 0, 2, 4, 0x12, std::uint8_t(m), 0x12, std::uint8_t(m)};
            const std::vector<std::uint8_t> readChurned = {0, 3, 0, 0, 0, 6, 1, 3, 0, 210, 0, 100};
            while (!stop) {
                std::vector<std::uint8_t> batch = readPair;
                batch.insert(batch.end(), writePair.begin(), writePair.end());
                batch.insert(batch.end(), readChurned.begin(), readChurned.end());
                if (!master.Send(batch))
                    return;
                const auto pair = master.Receive(13);
                const auto written = master.Receive(12);
                const auto header = master.Receive(9);
                if (pair.size() != 13 || written.size() != 12 || header.size() != 9)
                    return;
                if (pair[9] != pair[11] || pair[10] != pair[12])
                    ++torn;
                if (header[7] == 3)  // the churned block was there: its 200 data bytes follow
                    master.Receive(header[8]);
                ++answers;
            }
        });
    }
    std::this_thread::sleep_for(1500ms);
    stop = true;
    for (auto& t : masters)
        t.join();
    writer.join();
    churn.join();
    ui.join();
    EXPECT_GT(relayedWords.load(), 0u);
    EXPECT_EQ(torn.load(), 0);
    EXPECT_GT(answers.load(), 50);
    std::uint32_t valid = 0, invalid = 0;
    engine.SlaveStatus(server, valid, invalid, 0);
    EXPECT_EQ(invalid, 0u);
}

} // namespace
} // namespace pomrel
