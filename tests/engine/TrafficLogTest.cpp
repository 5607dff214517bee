// The traffic log's promises to the application: batches by id, read once, bounded, never waiting.
#include "engine/TrafficLog.h"

#include <gtest/gtest.h>

#include <array>
#include <vector>

namespace pomrel {
namespace {

using namespace std::chrono_literals;

struct Calls {
    std::vector<std::array<std::uint32_t, 3>> seen;
    bool accept = true;
} calls;

bool Record(std::uint32_t first, std::uint16_t second, std::uint16_t count)
{
    calls.seen.push_back({first, second, count});
    return calls.accept;
}

class TrafficLogTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        calls = {};
        log.SetCallback(&Record);
    }
    std::vector<std::uint16_t> Read(std::uint32_t id, std::uint16_t count)
    {
        std::vector<std::uint16_t> words(count, 0xEEEE);
        log.Read(id, words.data(), count);
        return words;
    }

    TrafficLog log{20ms};
    TrafficLog::Clock::time_point t0 = TrafficLog::Clock::now();
};

TEST_F(TrafficLogTest, BatchCarriesBytesWithAttributes)
{
    const std::uint8_t in[] = {0x01, 0x03};
    const std::uint8_t out[] = {0x81};
    const std::uint8_t junk[] = {0xFF};
    log.Append(in, 2, kReceived, t0);
    log.Append(out, 1, kSent, t0);
    log.Append(junk, 1, kDiscarded, t0);
    EXPECT_TRUE(calls.seen.empty()) << "nothing is announced before the batch is sealed";
    log.Seal(t0 + 20ms);
    EXPECT_TRUE(calls.seen.empty()) << "the callback never runs inside Seal, where the engine may hold locks";
    log.Announce();
    ASSERT_EQ(calls.seen.size(), 1u);
    EXPECT_EQ(calls.seen[0][1], 0u);
    EXPECT_EQ(calls.seen[0][2], 4u);
    EXPECT_EQ(Read(calls.seen[0][0], 6), (std::vector<std::uint16_t>{0x0001, 0x0003, 0x0181, 0x02FF, 0, 0}));
    EXPECT_EQ(Read(calls.seen[0][0], 2), (std::vector<std::uint16_t>{0, 0})) << "read once";
    EXPECT_EQ(Read(999, 2), (std::vector<std::uint16_t>{0, 0})) << "unknown id";
}

TEST_F(TrafficLogTest, FullBatchIsSealedOnlyAsOftenAsTheIntervalAllows)
{
    std::vector<std::uint8_t> frame(300, 0x11);
    log.Append(frame.data(), frame.size(), kReceived, t0);
    log.Seal(t0);
    log.Announce();
    ASSERT_EQ(calls.seen.size(), 1u);
    // 10 000 frames within the same instant: the application gets no flood of batches.
    for (int i = 0; i < 10000; ++i)
        log.Append(frame.data(), frame.size(), kReceived, t0 + 1ms);
    log.Announce();
    EXPECT_EQ(calls.seen.size(), 1u);
    EXPECT_GT(log.DroppedWords(), 0u);
    log.Append(frame.data(), frame.size(), kReceived, t0 + 25ms);
    log.Append(frame.data(), frame.size(), kReceived, t0 + 25ms);
    log.Announce();
    EXPECT_EQ(calls.seen.size(), 2u);
    EXPECT_EQ(calls.seen[1][2], TrafficLog::kBatchWords);
}

TEST_F(TrafficLogTest, ApplicationFallingBehindLosesOldestBatches)
{
    const std::uint8_t b = 0x42;
    for (std::size_t i = 0; i < TrafficLog::kStoredBatches + 5; ++i) {
        log.Append(&b, 1, kReceived, t0);
        log.Seal(t0 + std::chrono::milliseconds(20 * (i + 1)));
        log.Announce();
    }
    EXPECT_EQ(log.DroppedBatches(), 5u);
    EXPECT_EQ(Read(calls.seen[0][0], 1)[0], 0) << "oldest dropped";
    EXPECT_EQ(Read(calls.seen.back()[0], 1)[0], 0x42) << "newest kept";
}

TEST_F(TrafficLogTest, BatchNotQueuedIsDroppedAtOnce)
{
    calls.accept = false;
    const std::uint8_t b = 0x42;
    log.Append(&b, 1, kReceived, t0);
    log.Seal(t0);
    log.Announce();
    EXPECT_EQ(log.DroppedBatches(), 1u);
    EXPECT_EQ(Read(calls.seen[0][0], 1)[0], 0);
}

TEST_F(TrafficLogTest, NothingIsRecordedWithoutACallback)
{
    TrafficLog silent;
    const std::uint8_t b = 0x42;
    silent.Append(&b, 1, kReceived, t0);
    EXPECT_FALSE(silent.HasOpenBatch());
}

} // namespace
} // namespace pomrel
