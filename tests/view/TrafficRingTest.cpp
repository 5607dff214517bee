// The traffic ring's shift and slot rules, and the relay from a posted batch to every view.
#include "TestApp.h"
#include "app/CKelvaro32App.h"
#include "app/CMainFrame.h"
#include "app/TrafficRelay.h"
#include "view/TrafficRing.h"
#include "document/CKelvaro32Doc.h"
#include "view/CKelvaro32View.h"

#include <QCoreApplication>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <numeric>
#include <vector>

namespace {

// Word s of the whole stream carries s itself (low byte data, high byte attribute), so every
// entry read back tells which word it is, and s % 1024 is the slot it was written to.
struct Stream {
    std::uint16_t next = 0;
    int Append(TrafficRing& ring, int n)
    {
        std::vector<std::uint16_t> words(static_cast<std::size_t>(n));
        std::iota(words.begin(), words.end(), next);
        next = static_cast<std::uint16_t>(next + n);
        return ring.AppendTraffic(words.data(), n);
    }
};

std::uint16_t Read(const TrafficRing& ring, int i)
{
    std::uint8_t byte = 0xEE, attribute = 0xEE;
    EXPECT_TRUE(ring.ReadTraffic(i, byte, attribute)) << "index " << i;
    return static_cast<std::uint16_t>(attribute << 8 | byte);
}

TEST(TrafficRing, ShiftAndIndexRules)
{
    struct Case {
        const char* name;
        std::vector<int> batches;
        std::vector<int> shifts;   // expected result of each batch
        int count;
        bool full;
        int writeIndex;
        int startIndex;
    };
    const Case cases[] = {
        {"1023 words stay not full", {1, 22, 1000}, {0, 0, 0}, 1023, false, 1023, 0},
        {"exactly 1024 fills with shift 0", {1000, 24}, {0, 0}, 1024, true, 0, 0},
        {"one batch of 1024", {1024}, {0}, 1024, true, 0, 0},
        {"100 then 1000 overwrites 76", {100, 1000}, {0, 76}, 1024, true, 76, 76},
        {"full, then 10 more: start 10, slots 10 to the end then 0 to 9", {1024, 10}, {0, 10}, 1024, true, 10, 10},
        {"full ring: every word shifts", {1024, 1, 1024, 7}, {0, 1, 1024, 7}, 1024, true, 8, 8},
        {"batch of 0 changes nothing", {5, 0}, {0, 0}, 5, false, 5, 0},
        {"100 then 1024 wraps past the start", {100, 1024}, {0, 100}, 1024, true, 100, 100},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TrafficRing ring;
        Stream stream;
        int total = 0;
        for (std::size_t b = 0; b < c.batches.size(); ++b) {
            EXPECT_EQ(stream.Append(ring, c.batches[b]), c.shifts[b]) << "batch " << b;
            total += c.batches[b];
        }
        EXPECT_EQ(ring.TrafficCount(), c.count);
        EXPECT_EQ(ring.Full(), c.full);
        EXPECT_EQ(ring.WriteIndex(), c.writeIndex);
        EXPECT_EQ(ring.StartIndex(), c.startIndex);
        // Logical 0 is the oldest word held; each lives in slot (its number % 1024).
        for (int i = 0; i < c.count; ++i)
            ASSERT_EQ(Read(ring, i), total - c.count + i) << "index " << i;
        if (c.full) {
            EXPECT_EQ(Read(ring, 0) % TrafficRing::kCapacity, c.startIndex);
        }
    }
}

TEST(TrafficRing, NoSlotAnswersLeavesTheOutputs)
{
    TrafficRing ring;
    Stream stream;
    stream.Append(ring, 3);
    std::uint8_t byte = 0xAB, attribute = 0xCD;
    // Not full: the index is the slot, and 1024 is no slot.
    EXPECT_FALSE(ring.ReadTraffic(TrafficRing::kCapacity, byte, attribute));
    EXPECT_FALSE(ring.ReadTraffic(-1, byte, attribute));
    EXPECT_EQ(byte, 0xAB);
    EXPECT_EQ(attribute, 0xCD);

    // Without storage nothing is kept and nothing answers.
    ring.Release();
    const std::uint16_t word = 0x0102;
    EXPECT_EQ(ring.AppendTraffic(&word, 1), 0);
    EXPECT_FALSE(ring.ReadTraffic(0, byte, attribute));
    EXPECT_EQ(ring.AppendTraffic(nullptr, -4), 0);
}

class TrafficRelayFixture : public ::testing::Test {
protected:
    void SetUp() override
    {
        app = std::make_unique<CKelvaro32App>(TestAppOptions(dir.path().toStdString()));
        ASSERT_TRUE(app->InitInstance({}));
        frame = app->mainFrame;
    }
    QTemporaryDir dir;
    std::unique_ptr<CKelvaro32App> app;
    CMainFrame* frame = nullptr;
};

// The engine has no batch under these ids: it delivers zeros, and all count words are stored.
TEST_F(TrafficRelayFixture, WordCountLimitAndNoDocument)
{
    ASSERT_TRUE(app->Documents().Empty());
    struct Case { std::uint32_t count; int expectedCount; };
    const Case cases[] = {{1024, 1024}, {1025, 1024}, {0, 1024}};
    for (const Case& c : cases) {
        frame->RelayTraffic(12345, 0, c.count);
        EXPECT_EQ(frame->Traffic().TrafficCount(), c.expectedCount) << "count " << c.count;
    }
}

TEST_F(TrafficRelayFixture, EmptyBatchStillReachesEveryView)
{
    CKelvaro32Doc* a = app->NewDocument();
    CKelvaro32Doc* b = app->NewDocument();
    const std::uint16_t words[] = {0x0001, 0x0003, 0x0100};
    frame->Traffic().AppendTraffic(words, 3);
    for (CKelvaro32Doc* doc : {a, b})
        EXPECT_TRUE(static_cast<CKelvaro32View*>(doc->Views().front())->Traffic().Lines().empty());

    frame->RelayTraffic(1, 0, 0);
    for (CKelvaro32Doc* doc : {a, b}) {
        const auto& lines = static_cast<CKelvaro32View*>(doc->Views().front())->Traffic().Lines();
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(lines[0].EntryCount(), 3);
    }
}

TEST_F(TrafficRelayFixture, CallbackQueuesTheRelay)
{
    app->NewDocument();
    const int before = frame->Traffic().TrafficCount();
    // Nothing happens on the calling thread: the relay runs from the event loop.
    EXPECT_TRUE(TrafficCallback(99, 0, 16));
    EXPECT_EQ(frame->Traffic().TrafficCount(), before);
    QCoreApplication::processEvents();
    EXPECT_EQ(frame->Traffic().TrafficCount(), before + 16);
}

} // namespace
