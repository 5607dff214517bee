// The engine's frame record queue: bounded, the oldest dropped and counted, nothing torn or
// lost between a producer and a reader running at once.
#include "engine/FrameRecords.h"
#include "engine/TrafficLog.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <thread>

namespace {

using pomrel::FrameRecord;
using pomrel::FrameRecordQueue;

// Frame i carries i in its first eight bytes and its low byte in every byte after, so a reader
// can tell which frame it got and whether all of it is that frame's.
void PushNumbered(FrameRecordQueue& q, std::uint64_t i, std::size_t size = 12)
{
    std::uint8_t bytes[FrameRecordQueue::kKeptBytes + 100];
    std::memset(bytes, static_cast<int>(i & 0xFF), sizeof bytes);
    std::memcpy(bytes, &i, sizeof i);
    pomrel::FrameSource source;
    source.stream = i;
    q.Push(static_cast<std::int64_t>(i), bytes, size, pomrel::kReceived, source, nullptr);
}

std::uint64_t NumberOf(const FrameRecord& r)
{
    std::uint64_t i = 0;
    std::memcpy(&i, r.bytes.data(), sizeof i);
    return i;
}

TEST(FrameRecordQueue, KeepsNothingUntilEnabled)
{
    FrameRecordQueue q;
    EXPECT_FALSE(q.Enabled());
    std::vector<FrameRecord> out;
    EXPECT_EQ(q.Take(out, 10), 0u);
    q.Enable(true);
    PushNumbered(q, 7);
    q.Enable(false);
    EXPECT_FALSE(q.Enabled());
    ASSERT_EQ(q.Take(out, 10), 1u);  // what was queued stays to be taken
    EXPECT_EQ(NumberOf(out[0]), 7u);
}

TEST(FrameRecordQueue, FullQueueDropsTheOldestAndCountsThem)
{
    struct { std::size_t pushed; std::uint64_t dropped; std::uint64_t first; } cases[] = {
        {10, 0, 0},
        {FrameRecordQueue::kSlots, 0, 0},
        {FrameRecordQueue::kSlots + 1, 1, 1},
        {FrameRecordQueue::kSlots * 2 + 5, FrameRecordQueue::kSlots + 5, FrameRecordQueue::kSlots + 5},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.pushed);
        FrameRecordQueue q;
        q.Enable(true);
        for (std::uint64_t i = 0; i < c.pushed; ++i)
            PushNumbered(q, i);
        EXPECT_EQ(q.Dropped(), c.dropped);
        std::vector<FrameRecord> out;
        std::size_t taken = 0;
        while (std::size_t n = q.Take(out, 1000))
            taken += n;
        ASSERT_EQ(taken, c.pushed - c.dropped);
        for (std::size_t k = 0; k < out.size(); ++k)
            ASSERT_EQ(NumberOf(out[k]), c.first + k) << k;
        EXPECT_EQ(out.back().source.stream, c.pushed - 1);
        EXPECT_EQ(out.back().monotonicUs, static_cast<std::int64_t>(c.pushed - 1));
    }
}

TEST(FrameRecordQueue, LongFramesAndFaultNamesKeepTheirStartAndLength)
{
    FrameRecordQueue q;
    q.Enable(true);
    const std::string longName(200, 'r');
    const std::string name = "slow answers";
    std::vector<std::uint8_t> big(4000, 0xAB);
    q.Push(1, big.data(), big.size(), pomrel::kDiscarded, {}, &longName);
    q.Push(2, big.data(), 3, pomrel::kSent, {}, &name);
    q.Push(3, nullptr, 0, pomrel::kSent, {}, nullptr);
    q.PushWithheld({}, &name, pomrel::Withheld::Closed);
    std::vector<FrameRecord> out;
    ASSERT_EQ(q.Take(out, 10), 4u);
    EXPECT_EQ(out[0].size, 4000u);
    EXPECT_EQ(out[0].bytes.size(), FrameRecordQueue::kKeptBytes);
    EXPECT_EQ(out[0].fault, longName.substr(0, FrameRecordQueue::kKeptFaultName));
    EXPECT_EQ(out[0].attribute, pomrel::kDiscarded);
    EXPECT_EQ(out[1].fault, name);
    EXPECT_EQ(out[1].bytes, (std::vector<std::uint8_t>{0xAB, 0xAB, 0xAB}));
    EXPECT_TRUE(out[2].bytes.empty());
    EXPECT_TRUE(out[2].fault.empty());
    EXPECT_EQ(out[2].withheld, pomrel::Withheld::None);
    // An answer a fault withheld: sent, no bytes, the rule, what happened.
    EXPECT_EQ(out[3].attribute, pomrel::kSent);
    EXPECT_EQ(out[3].withheld, pomrel::Withheld::Closed);
    EXPECT_TRUE(out[3].bytes.empty());
    EXPECT_EQ(out[3].fault, name);
    EXPECT_GE(out[3].monotonicUs, out[2].monotonicUs);
}

// A name longer than the record keeps is cut between UTF-8 characters, never inside one, so
// what the monitor, the log and the capture show is still valid UTF-8.
TEST(FrameRecordQueue, LongFaultNamesAreCutBetweenCharacters)
{
    const std::string two = "\xC3\xA9", three = "\xE2\x82\xAC", four = "\xF0\x9D\x84\x9E";  // é € 𝄞
    auto r = [](std::size_t n) { return std::string(n, 'r'); };
    auto times = [](const std::string& c, int n) {
        std::string s;
        for (int i = 0; i < n; ++i)
            s += c;
        return s;
    };
    const struct { const char* what; std::string name, kept; } cases[] = {
        {"64 bytes, all kept", r(64), r(64)},
        {"65 bytes", r(65), r(64)},
        {"2-byte character across the limit", r(63) + two, r(63)},
        {"2-byte character ending at the limit", r(62) + two + "x", r(62) + two},
        {"3-byte character, 2 bytes inside", r(62) + three, r(62)},
        {"3-byte character, 1 byte inside", r(63) + three, r(63)},
        {"3-byte character ending at the limit", r(61) + three + "x", r(61) + three},
        {"4-byte character, 3 bytes inside", r(61) + four, r(61)},
        {"4-byte character, 2 bytes inside", r(62) + four, r(62)},
        {"4-byte character, 1 byte inside", r(63) + four, r(63)},
        {"4-byte character ending at the limit", r(60) + four + "x", r(60) + four},
        {"2-byte characters only", times(two, 40), times(two, 32)},
        {"3-byte characters only", times(three, 30), times(three, 21)},
        {"4-byte characters only", times(four, 20), times(four, 16)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        FrameRecordQueue q;
        q.Enable(true);
        q.Push(1, nullptr, 0, pomrel::kSent, {}, &c.name);
        std::vector<FrameRecord> out;
        ASSERT_EQ(q.Take(out, 1), 1u);
        EXPECT_EQ(out[0].fault, c.kept);
    }
}

// A producer far faster than the reader: every frame is either taken, in order and whole, or
// counted as dropped.
TEST(FrameRecordQueue, ConcurrentReaderGetsEveryFrameOrItsCount)
{
    FrameRecordQueue q;
    q.Enable(true);
    constexpr std::uint64_t kFrames = 400000;
    std::atomic<bool> done{false};
    std::thread producer([&] {
        for (std::uint64_t i = 0; i < kFrames; ++i)
            PushNumbered(q, i, 8 + i % 200);
        done = true;
    });
    std::uint64_t taken = 0, last = 0;
    bool first = true, ordered = true, whole = true;
    std::vector<FrameRecord> out;
    for (;;) {
        const bool finished = done.load();
        out.clear();
        const std::size_t n = q.Take(out, 777);
        for (const FrameRecord& r : out) {
            const std::uint64_t i = NumberOf(r);
            ordered = ordered && (first || i > last);
            whole = whole && r.source.stream == i && r.bytes.size() == 8 + i % 200 &&
                    std::all_of(r.bytes.begin() + 8, r.bytes.end(), [i](std::uint8_t b) { return b == (i & 0xFF); });
            first = false;
            last = i;
        }
        taken += n;
        if (finished && n == 0)
            break;
    }
    producer.join();
    EXPECT_TRUE(ordered);
    EXPECT_TRUE(whole);
    EXPECT_EQ(taken + q.Dropped(), kFrames);
}

TEST(FrameRecordQueue, ClockConvertsStampsToWallTime)
{
    FrameRecordQueue q;
    const pomrel::FrameClockStart c = q.Clock();
    EXPECT_GT(c.wallUs, 1'600'000'000'000'000);
    EXPECT_EQ(c.WallUs(c.monotonicUs + 1500), c.wallUs + 1500);
}

} // namespace
