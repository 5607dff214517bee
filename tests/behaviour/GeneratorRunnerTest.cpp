// The runner on real documents: the time grid driven by a clock of the test's own, whole values
// under concurrent reads, refusal of points no data window serves, documents going away, and
// which words it reports as driven.
#include "behaviour/DocumentPoints.h"
#include "behaviour/GeneratorRunner.h"
#include "document/CKelvaro32Doc.h"
#include "document/OpenDocuments.h"

#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

using namespace behaviour;
using nlohmann::json;

namespace {

constexpr std::int64_t kMs = 1'000'000;

class ManualClock final : public RunnerClock {
public:
    std::int64_t SteadyNs() override { return now.load(); }
    std::int64_t WallMs() override { return 1'700'000'000'000; }
    std::atomic<std::int64_t> now{5'000 * kMs};
};

std::vector<GeneratorSpec> List(const std::string& text)
{
    std::string error;
    auto list = ParseGeneratorList(json::parse(text), "", error);
    EXPECT_TRUE(list) << error;
    return list ? *list : std::vector<GeneratorSpec>{};
}

struct Documents {
    OpenDocuments open;
    std::unique_ptr<CKelvaro32Doc> Add(int unit, int type, int start, int length)
    {
        auto doc = std::make_unique<CKelvaro32Doc>(DocumentContext{&open, "", nullptr});
        doc->deviceId = static_cast<std::uint8_t>(unit);
        doc->pointType = static_cast<std::uint8_t>(type);
        doc->startAddress = static_cast<std::uint16_t>(start);
        doc->length = static_cast<std::uint16_t>(length);
        return doc;
    }
};

} // namespace

TEST(GeneratorRunner, AnHourAt100MsIs36000UpdatesOnTheGrid)
{
    Documents docs;
    auto doc = docs.Add(1, 3, 1, 100);
    DocumentPoints points(docs.open);
    ManualClock clock;
    GeneratorRunner runner(clock);
    std::string error;
    ASSERT_TRUE(runner.PutInForce(List(R"([{"unit":1,"type":3,"address":10,"kind":"counter","update_ms":100}])"), points, error)) << error;
    const std::int64_t t0 = clock.now;
    // Passes at uneven times, never a whole update late: every grid point is written once.
    std::int64_t next = 0;
    for (std::int64_t t = t0; t < t0 + 3'600'000 * kMs; t += 37 * kMs) {
        clock.now = t;
        next = runner.RunDue(t);
        EXPECT_GT(next, t);
    }
    EXPECT_EQ(next, t0 + 36'000 * 100 * kMs);
    EXPECT_EQ(runner.Status()[0].updates, 36'000u);
    EXPECT_EQ(doc->Word(9), 35'999u);
    EXPECT_EQ(runner.Stats().skipped, 0u);
    clock.now = t0 + 3'600'000 * kMs;
    runner.RunDue(clock.now);
    EXPECT_EQ(runner.Status()[0].updates, 36'001u);
    EXPECT_EQ(doc->Word(9), 36'000u);
}

TEST(GeneratorRunner, ALatePassWritesTheCurrentGridPointAndCountsTheSkipped)
{
    Documents docs;
    auto doc = docs.Add(1, 3, 1, 100);
    DocumentPoints points(docs.open);
    ManualClock clock;
    GeneratorRunner runner(clock);
    std::string error;
    ASSERT_TRUE(runner.PutInForce(List(R"([{"unit":1,"type":3,"address":1,"kind":"counter","update_ms":100},
                                           {"unit":1,"type":3,"address":2,"kind":"counter","update_ms":1000}])"), points, error)) << error;
    const std::int64_t t0 = clock.now;
    EXPECT_EQ(runner.RunDue(t0), t0 + 100 * kMs);
    clock.now = t0 + 750 * kMs;   // seven points of the 100 ms grid have passed
    EXPECT_EQ(runner.RunDue(clock.now), t0 + 800 * kMs);
    EXPECT_EQ(doc->Word(0), 7u);  // the value of the point at 700 ms, not of 750
    EXPECT_EQ(doc->Word(1), 0u);
    const RunnerStats stats = runner.Stats();
    EXPECT_EQ(stats.skipped, 6u);
    EXPECT_EQ(stats.latePasses, 1u);
    EXPECT_EQ(stats.maxLatenessNs, 50 * kMs);
    EXPECT_EQ(runner.Status()[0].updates, 2u);
    clock.now = t0 + 800 * kMs;
    runner.RunDue(clock.now);
    EXPECT_EQ(doc->Word(0), 8u);
}

TEST(GeneratorRunner, AMasterNeverSeesHalfAValue)
{
    Documents docs;
    auto doc = docs.Add(1, 3, 1, 1000);
    DocumentPoints points(docs.open);
    ManualClock clock;
    GeneratorRunner runner(clock);
    // Both halves of k * 65537 are k: a torn read shows two different halves. Many values in
    // one block, so that a pass spends most of its time between halves.
    constexpr int kValues = 400;
    json list = json::array();
    for (int i = 0; i < kValues; ++i)
        list.push_back({{"unit", 1}, {"type", 3}, {"address", 1 + 2 * i}, {"value", "uint32"}, {"kind", "counter"},
                        {"step", 65537}, {"update_ms", 10}});
    std::string error;
    ASSERT_TRUE(runner.PutInForce(List(list.dump()), points, error)) << error;
    std::atomic<bool> done{false};
    std::atomic<int> torn{0};
    std::atomic<long> reads{0};
    std::thread master([&] {
        while (!done.load()) {
            // As the engine reads several words: under the document's value lock.
            std::lock_guard lock(doc->valueLock);
            for (int i = 0; i < kValues; ++i)
                if (doc->Word(2 * i) != doc->Word(2 * i + 1))
                    ++torn;
            ++reads;
        }
    });
    const std::int64_t t0 = clock.now;
    for (std::int64_t k = 1; k < 20'000; ++k) {
        clock.now = t0 + k * 10 * kMs;
        runner.RunDue(clock.now);
    }
    done = true;
    master.join();
    EXPECT_EQ(torn.load(), 0);
    EXPECT_GT(reads.load(), 0);
    EXPECT_EQ(doc->Word(798), 19'999u);
}

TEST(GeneratorRunner, APointNoWindowServesRefusesTheWholeListAndKeepsTheOneInForce)
{
    Documents docs;
    auto doc = docs.Add(1, 3, 1, 10);
    auto coils = docs.Add(2, 1, 100, 10);
    DocumentPoints points(docs.open);
    ManualClock clock;
    GeneratorRunner runner(clock);
    std::string error;
    ASSERT_TRUE(runner.PutInForce(List(R"([{"name":"kept","unit":1,"type":3,"address":1,"kind":"counter"}])"), points, error));
    struct Case {
        const char* list;
        const char* error;
    };
    for (const Case& c : {
             Case{R"([{"unit":2,"type":1,"address":105,"kind":"clock"},{"name":"far","unit":1,"type":3,"address":11,"kind":"clock"}])",
                  R"(generator 2 ("far"): unit 1 type 3 address 11 is not served by an open data window)"},
             Case{R"([{"name":"split","unit":1,"type":3,"address":10,"value":"float32","kind":"clock"}])",
                  R"(generator 1 ("split"): unit 1 type 3 address 10-11 is not served by an open data window)"},
             Case{R"([{"unit":2,"type":2,"address":105,"kind":"clock"}])",
                  R"(generator 1: unit 2 type 2 address 105 is not served by an open data window)"},
             Case{R"([{"unit":3,"type":3,"address":1,"kind":"clock"}])",
                  R"(generator 1: unit 3 type 3 address 1 is not served by an open data window)"}}) {
        EXPECT_FALSE(runner.PutInForce(List(c.list), points, error));
        EXPECT_EQ(error, c.error);
    }
    ASSERT_EQ(runner.Size(), 1u);
    EXPECT_EQ(runner.Status()[0].spec.name, "kept");
    EXPECT_TRUE(runner.Drives(1, 3, 1));
    clock.now = clock.now + 3000 * kMs;
    runner.RunDue(clock.now);
    EXPECT_EQ(doc->Word(0), 3u);
}

TEST(GeneratorRunner, ADocumentThatGoesIsNeverTouchedAgain)
{
    Documents docs;
    auto keep = docs.Add(1, 3, 1, 10);
    auto going = docs.Add(2, 3, 1, 10);
    DocumentPoints points(docs.open);
    ManualClock clock;
    GeneratorRunner runner(clock);
    runner.Start();   // the real thread, paced by a clock that stands still: it writes only at t0
    std::string error;
    ASSERT_TRUE(runner.PutInForce(List(R"([{"unit":1,"type":3,"address":1,"value":"float32","kind":"counter","update_ms":10},
                                           {"unit":2,"type":3,"address":1,"value":"float32","kind":"counter","update_ms":10}])"),
                                  points, error)) << error;
    EXPECT_TRUE(runner.Drives(2, 3, 2));
    // What the application does before it closes a window: the runner lets go, then the document goes.
    runner.ForgetOwner(going.get());
    going.reset();
    EXPECT_FALSE(runner.Drives(2, 3, 1));
    runner.Stop();
    const std::uint64_t before = runner.Status()[1].updates;
    for (int k = 1; k <= 10; ++k) {
        clock.now = clock.now + 10 * kMs;
        runner.RunDue(clock.now);
    }
    const auto status = runner.Status();
    EXPECT_TRUE(status[0].attached);
    EXPECT_FALSE(status[1].attached);
    EXPECT_EQ(status[1].updates, before);
    EXPECT_GE(status[0].updates, 10u);
    EXPECT_TRUE(runner.Drives(1, 3, 2));
}

TEST(GeneratorRunner, DrivenWordsFollowEnableReplaceAndClear)
{
    Documents docs;
    auto doc = docs.Add(1, 3, 1, 100);
    DocumentPoints points(docs.open);
    ManualClock clock;
    GeneratorRunner runner(clock);
    std::string error;
    ASSERT_TRUE(runner.PutInForce(List(R"([{"unit":1,"type":3,"address":5,"value":"float64","kind":"clock"},
                                           {"unit":1,"type":3,"address":20,"kind":"counter","enabled":false}])"), points, error));
    EXPECT_FALSE(runner.Drives(1, 3, 4));
    for (std::uint32_t a = 5; a <= 8; ++a)
        EXPECT_TRUE(runner.Drives(1, 3, a)) << a;
    EXPECT_FALSE(runner.Drives(1, 3, 9));
    EXPECT_FALSE(runner.Drives(1, 4, 5));
    EXPECT_FALSE(runner.Drives(1, 3, 20));   // disabled
    runner.RunDue(clock.now);
    EXPECT_EQ(runner.Status()[1].updates, 0u);
    ASSERT_TRUE(runner.SetEnabled(runner.Status()[1].id, true));
    EXPECT_TRUE(runner.Drives(1, 3, 20));
    EXPECT_FALSE(runner.SetEnabled(999, true));

    ASSERT_TRUE(runner.PutInForce(List(R"([{"unit":1,"type":3,"address":30,"kind":"counter"}])"), points, error));
    EXPECT_FALSE(runner.Drives(1, 3, 5));
    EXPECT_TRUE(runner.Drives(1, 3, 30));
    EXPECT_EQ(runner.Status()[0].updates, 0u);   // a new list, a new grid
    runner.Clear();
    EXPECT_FALSE(runner.Drives(1, 3, 30));
    EXPECT_EQ(runner.Size(), 0u);
    EXPECT_EQ(runner.RunDue(clock.now), std::numeric_limits<std::int64_t>::max());
}

TEST(GeneratorRunner, TheThreadRunsOnTheSystemClock)
{
    Documents docs;
    auto doc = docs.Add(1, 3, 1, 100);
    DocumentPoints points(docs.open);
    SystemClock clock;
    GeneratorRunner runner(clock);
    std::string error;
    ASSERT_TRUE(runner.PutInForce(List(R"([{"unit":1,"type":3,"address":1,"kind":"counter","update_ms":10}])"), points, error));
    runner.Start();
    while (doc->Word(0) < 3)
        std::this_thread::yield();
    runner.Stop();
    EXPECT_GE(runner.Status()[0].updates, 4u);
}

TEST(GeneratorRunner, AddingReplacingOrRemovingOneLeavesTheOthersOnTheirGrid)
{
    Documents docs;
    auto doc = docs.Add(1, 3, 1, 100);
    DocumentPoints points(docs.open);
    ManualClock clock;
    GeneratorRunner runner(clock);
    std::string error;
    ASSERT_TRUE(runner.PutInForce(List(R"([{"unit":1,"type":3,"address":1,"kind":"counter","update_ms":100},
                                           {"unit":1,"type":3,"address":2,"kind":"counter","update_ms":100}])"), points, error)) << error;
    const std::int64_t t0 = clock.now;
    const auto first = runner.Status()[0].id;
    const auto second = runner.Status()[1].id;
    clock.now = t0 + 350 * kMs;
    runner.RunDue(clock.now);
    EXPECT_EQ(doc->Word(0), 3u);

    auto added = ParseGenerator(json::parse(R"({"unit":1,"type":3,"address":3,"kind":"counter","update_ms":100})"), "", error);
    ASSERT_TRUE(added) << error;
    const auto id = runner.Add(*added, points, error);
    ASSERT_TRUE(id) << error;
    EXPECT_EQ(runner.RunDue(clock.now), t0 + 400 * kMs);   // the newcomer's first update is due at once
    EXPECT_EQ(doc->Word(2), 0u);
    clock.now = t0 + 400 * kMs;
    EXPECT_EQ(runner.RunDue(clock.now), t0 + 450 * kMs);   // its grid: 350, 450, ...
    EXPECT_EQ(doc->Word(0), 4u);                           // the others' grid went on
    EXPECT_EQ(doc->Word(2), 0u);
    clock.now = t0 + 450 * kMs;
    runner.RunDue(clock.now);
    EXPECT_EQ(doc->Word(2), 1u);

    ASSERT_TRUE(runner.Replace(second, *ParseGenerator(json::parse(
        R"({"unit":1,"type":3,"address":2,"kind":"counter","min":100,"max":200,"update_ms":100})"), "", error), points, error)) << error;
    EXPECT_FALSE(runner.Replace(second, *ParseGenerator(json::parse(
        R"({"unit":1,"type":3,"address":500,"kind":"counter"})"), "", error), points, error));
    EXPECT_EQ(error, "generator 2: unit 1 type 3 address 500 is not served by an open data window");
    ASSERT_TRUE(runner.Remove(*id));
    EXPECT_FALSE(runner.Remove(*id));
    clock.now = t0 + 500 * kMs;
    runner.RunDue(clock.now);
    EXPECT_EQ(doc->Word(0), 5u);
    EXPECT_EQ(doc->Word(1), 100u);   // the replaced one starts afresh, in its place and with its id
    EXPECT_EQ(doc->Word(2), 1u);     // the removed one is left alone
    const auto status = runner.Status();
    ASSERT_EQ(status.size(), 2u);
    EXPECT_EQ(status[0].id, first);
    EXPECT_EQ(status[1].id, second);
    EXPECT_FALSE(runner.Drives(1, 3, 3));
}

// A pass writes the words made ready after the pass before: whatever changes in between (one
// switched off, one taken away, another's document gone) must be what the next pass obeys.
TEST(GeneratorRunner, WordsMadeReadyAheadFollowWhatChangedSince)
{
    Documents docs;
    auto doc = docs.Add(1, 3, 1, 100);
    auto other = docs.Add(2, 3, 1, 10);
    DocumentPoints points(docs.open);
    ManualClock clock;
    GeneratorRunner runner(clock);
    std::string error;
    ASSERT_TRUE(runner.PutInForce(List(R"([{"unit":1,"type":3,"address":1,"kind":"counter","update_ms":100},
                                           {"unit":1,"type":3,"address":2,"kind":"counter","update_ms":100},
                                           {"unit":1,"type":3,"address":3,"kind":"counter","min":500,"max":600,"update_ms":100},
                                           {"unit":2,"type":3,"address":1,"value":"uint32","kind":"counter","update_ms":100}])"),
                                  points, error)) << error;
    const std::int64_t t0 = clock.now;
    for (int k = 0; k <= 2; ++k)
        runner.RunDue(t0 + k * 100 * kMs);
    ASSERT_EQ(doc->Word(2), 502u);
    auto status = runner.Status();
    EXPECT_EQ(status[2].updates, 3u);
    EXPECT_EQ(status[2].last.word[0], 502u);

    ASSERT_TRUE(runner.SetEnabled(status[1].id, false));
    ASSERT_TRUE(runner.Remove(status[0].id));   // the others move up the list
    runner.ForgetOwner(other.get());
    other->SetWord(0, 0xBEEF);
    doc->SetWord(1, 77);                         // a master's write to the point switched off
    runner.RunDue(t0 + 300 * kMs);
    EXPECT_EQ(doc->Word(0), 2u);                 // removed: stays where it was
    EXPECT_EQ(doc->Word(1), 77u);
    EXPECT_EQ(doc->Word(2), 503u);
    EXPECT_EQ(other->Word(0), 0xBEEF);
    status = runner.Status();
    ASSERT_EQ(status.size(), 3u);
    EXPECT_EQ(status[0].updates, 3u);
    EXPECT_EQ(status[1].updates, 4u);
    EXPECT_EQ(status[1].last.word[0], 503u);
    EXPECT_EQ(status[2].updates, 3u);

    ASSERT_TRUE(runner.SetEnabled(status[0].id, true));
    runner.RunDue(t0 + 400 * kMs);
    EXPECT_EQ(doc->Word(1), 4u);
    EXPECT_EQ(doc->Word(2), 504u);
    EXPECT_EQ(runner.Status()[1].updates, 5u);
}
