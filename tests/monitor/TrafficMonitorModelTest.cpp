// The Traffic Monitor's rows: the row limit under a flat-out stream (the shown index and what a
// view is told stay exact), each filter, errors only, pause, clear and the text Copy puts on the
// clipboard; and the hand-over from the tap's thread.
#include "document/CKelvaro32Doc.h"
#include "document/DocumentView.h"
#include "document/OpenDocuments.h"
#include "document/RegisterValues.h"
#include "engine/TrafficLog.h"
#include "monitor/ServedValues.h"
#include "monitor/TrafficMonitorModel.h"
#include "monitor/TrafficMonitorSink.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <ctime>
#include <thread>

using namespace monitor;
using pomrel::LinkId;

namespace {

LinkId Serial(int port) { return {LinkId::Kind::Serial, port, 0}; }
LinkId Tcp(int endpoint = 0) { return {LinkId::Kind::Tcp, 0, endpoint}; }

// A decoded frame as the tap hands it; its sequence number rides in the time stamp.
struct Spec {
    std::int64_t seq = 0;
    LinkId link = Tcp();
    int unit = 1;
    int function = 3;
    std::optional<std::uint32_t> address = 0;
    std::optional<std::uint32_t> quantity = 1;
    std::uint8_t attribute = pomrel::kReceived;
    std::optional<std::uint8_t> exception{};
    bool ok = true;
    DecodedFrame::Check check = DecodedFrame::Check::None;
    std::string fault{};
};

TappedFrame Frame(const Spec& s)
{
    TappedFrame f;
    f.record.monotonicUs = s.seq;
    f.record.attribute = s.attribute;
    f.record.source.link = s.link;
    f.record.bytes = {static_cast<std::uint8_t>(s.unit), static_cast<std::uint8_t>(s.function)};
    f.record.size = 2;
    f.record.fault = s.fault;
    f.decoded.ok = s.ok;
    f.decoded.error = s.ok ? "" : "too short";
    f.decoded.request = s.attribute == pomrel::kReceived;
    f.decoded.unit = s.unit;
    f.decoded.function = s.function;
    f.decoded.address = s.address;
    f.decoded.quantity = s.quantity;
    f.decoded.exception = s.exception;
    f.decoded.check = s.check;
    return f;
}

std::vector<std::int64_t> ShownSeqs(const TrafficMonitorModel& m)
{
    std::vector<std::int64_t> seqs;
    for (std::size_t i = 0; i < m.ShownCount(); ++i)
        seqs.push_back(m.Shown(i).record.monotonicUs);
    return seqs;
}

// What a view would hold if it followed only what it is told.
class MirrorView : public MonitorRowListener {
public:
    explicit MirrorView(const TrafficMonitorModel& m) : model_(m) {}
    std::vector<std::int64_t> rows;
    void RowsAboutToBeDropped(std::size_t count) override
    {
        ASSERT_LE(count, rows.size());
        dropping_ = count;
    }
    void RowsDropped() override { rows.erase(rows.begin(), rows.begin() + static_cast<std::ptrdiff_t>(dropping_)); }
    void RowsAboutToBeAdded(std::size_t first, std::size_t count) override
    {
        ASSERT_EQ(first, rows.size());
        first_ = first;
        adding_ = count;
    }
    void RowsAdded() override
    {
        ASSERT_EQ(model_.ShownCount(), first_ + adding_);
        for (std::size_t i = first_; i < first_ + adding_; ++i)
            rows.push_back(model_.Shown(i).record.monotonicUs);
    }
    void AboutToReset() override {}
    void Reset() override { rows = ShownSeqs(model_); }

private:
    const TrafficMonitorModel& model_;
    std::size_t dropping_ = 0, first_ = 0, adding_ = 0;
};

} // namespace

TEST(TrafficMonitorModel, FlatOutStreamKeepsTheNewestRowsAndTheShownIndexExact)
{
    constexpr std::size_t kLimit = 1000;
    TrafficMonitorModel model({}, kLimit);
    MirrorView view(model);
    model.SetListener(&view);
    MonitorFilter onlyUnit2;
    onlyUnit2.unit = 2;
    model.SetFilter(onlyUnit2);

    // Batches of uneven sizes, one longer than the limit itself; units 1, 2, 3 in turn.
    const std::vector<std::size_t> batches = {137, 1, 999, 2500, 0, 64, 1000, 333, 7};
    std::int64_t seq = 0;
    std::size_t total = 0;
    for (std::size_t n : batches) {
        std::vector<TappedFrame> batch;
        for (std::size_t i = 0; i < n; ++i, ++seq)
            batch.push_back(Frame({.seq = seq, .unit = int(seq % 3) + 1}));
        model.Append(std::move(batch));
        total += n;

        const std::size_t kept = std::min(total, kLimit);
        ASSERT_EQ(model.KeptCount(), kept);
        EXPECT_EQ(model.DroppedRows(), total - kept);
        std::vector<std::int64_t> expected;
        for (std::int64_t s = seq - std::int64_t(kept); s < seq; ++s) {
            ASSERT_EQ(model.Kept(std::size_t(s - (seq - std::int64_t(kept)))).record.monotonicUs, s);
            if (s % 3 == 1)
                expected.push_back(s);
        }
        ASSERT_EQ(ShownSeqs(model), expected) << "after a batch of " << n;
        ASSERT_EQ(view.rows, expected) << "what the view was told, after a batch of " << n;
    }

    // A new filter walks the kept rows once; appends follow it from then on.
    model.SetFilter({});
    EXPECT_EQ(model.ShownCount(), kLimit);
    model.Append(std::vector<TappedFrame>{Frame({.seq = seq})});
    EXPECT_EQ(view.rows.front(), seq + 1 - std::int64_t(kLimit));
    EXPECT_EQ(view.rows.back(), seq);
    EXPECT_EQ(view.rows, ShownSeqs(model));

    // A lower limit drops the oldest at once.
    model.SetRowLimit(10);
    EXPECT_EQ(model.KeptCount(), 10u);
    EXPECT_EQ(view.rows, ShownSeqs(model));
    EXPECT_EQ(view.rows.front(), seq - 9);
}

TEST(TrafficMonitorModel, EachFilterPicksItsRows)
{
    using Check = DecodedFrame::Check;
    const std::vector<Spec> frames = {
        {.seq = 0, .link = Tcp(), .unit = 1, .function = 3, .address = 100, .quantity = 10},           // 100-109
        {.seq = 1, .link = Tcp(), .unit = 1, .function = 3, .address = 100, .quantity = 10,
         .attribute = pomrel::kSent, .fault = "delay 2s"},                                              // its answer
        {.seq = 2, .link = Serial(1), .unit = 7, .function = 6, .address = 110, .quantity = 1},
        {.seq = 3, .link = Serial(2), .unit = 7, .function = 16, .address = 90, .quantity = 10},       // 90-99
        {.seq = 4, .link = Serial(2), .unit = 7, .function = 16, .address = 90, .quantity = 10,
         .attribute = pomrel::kSent, .exception = 2, .fault = "Refuse writes"},
        {.seq = 5, .link = Serial(1), .unit = 7, .function = 3, .address = 0, .check = Check::Bad},
        {.seq = 6, .link = Tcp(2), .unit = 1, .function = -1, .address = {}, .quantity = {}, .ok = false},
        {.seq = 7, .link = Serial(1), .unit = 7, .function = 3, .address = 5, .attribute = pomrel::kDiscarded},
        {.seq = 8, .link = Tcp(2), .unit = 3, .function = 1, .address = 65535, .quantity = 2000},
        {.seq = 9, .link = Tcp(), .unit = 1, .function = 17, .address = {}, .quantity = {}},
    };
    auto filter = [](auto set) {
        MonitorFilter f;
        set(f);
        return f;
    };
    using Range = std::pair<std::uint32_t, std::uint32_t>;
    const struct {
        const char* name;
        MonitorFilter filter;
        std::vector<std::int64_t> shown;
    } cases[] = {
        {"none", {}, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9}},
        {"link tcp (main server only)", filter([](auto& f) { f.link = Tcp(); }), {0, 1, 9}},
        {"link tcp:2", filter([](auto& f) { f.link = Tcp(2); }), {6, 8}},
        {"link serial:1", filter([](auto& f) { f.link = Serial(1); }), {2, 5, 7}},
        {"link serial:2", filter([](auto& f) { f.link = Serial(2); }), {3, 4}},
        {"unit 7", filter([](auto& f) { f.unit = 7; }), {2, 3, 4, 5, 7}},
        {"unit 0 (none)", filter([](auto& f) { f.unit = 0; }), {}},
        {"function 3", filter([](auto& f) { f.function = 3; }), {0, 1, 5, 7}},
        {"function 16", filter([](auto& f) { f.function = 16; }), {3, 4}},
        {"address 109 (last of 100-109)", filter([](auto& f) { f.addresses = Range{109, 109}; }), {0, 1}},
        {"address 99-100 (touches both)", filter([](auto& f) { f.addresses = Range{99, 100}; }), {0, 1, 3, 4}},
        {"address 111-200 (just past both)", filter([](auto& f) { f.addresses = Range{111, 200}; }), {}},
        {"address 0-5", filter([](auto& f) { f.addresses = Range{0, 5}; }), {5, 7}},
        {"address past 65535 still overlaps", filter([](auto& f) { f.addresses = Range{65535, 65535}; }), {8}},
        {"errors only", filter([](auto& f) { f.errorsOnly = true; }), {4, 5, 6, 7}},
        {"errors only on serial:2, unit 7",
         filter([](auto& f) {
             f.errorsOnly = true;
             f.link = Serial(2);
             f.unit = 7;
         }),
         {4}},
        {"any fault", filter([](auto& f) { f.fault = ""; }), {1, 4}},
        {"fault named with 'REFUSE' (any case)", filter([](auto& f) { f.fault = "REFUSE"; }), {4}},
        {"fault named with 'lay 2'", filter([](auto& f) { f.fault = "lay 2"; }), {1}},
        {"fault named with 'delay 3s' (none)", filter([](auto& f) { f.fault = "delay 3s"; }), {}},
        {"any fault on serial:1 (none)", filter([](auto& f) {
             f.fault = "";
             f.link = Serial(1);
         }),
         {}},
        {"function 3 and address 100-100", filter([](auto& f) {
             f.function = 3;
             f.addresses = Range{100, 100};
         }),
         {0, 1}},
    };
    for (const auto& c : cases) {
        // Filter set before the rows came and after: the same rows either way.
        TrafficMonitorModel before;
        before.SetFilter(c.filter);
        TrafficMonitorModel after;
        for (const Spec& s : frames) {
            before.Append(std::vector<TappedFrame>{Frame(s)});
            after.Append(std::vector<TappedFrame>{Frame(s)});
        }
        after.SetFilter(c.filter);
        EXPECT_EQ(ShownSeqs(before), c.shown) << c.name;
        EXPECT_EQ(ShownSeqs(after), c.shown) << c.name;
    }
}

TEST(TrafficMonitorModel, FilterTextsAreReadOrRefusedWithAReason)
{
    using Range = std::pair<std::uint32_t, std::uint32_t>;
    const struct {
        const char* text;
        bool ok;
        std::optional<Range> range;
    } addressCases[] = {
        {"", true, std::nullopt},         {"  ", true, std::nullopt},       {"100", true, Range{100, 100}},
        {"100-199", true, Range{100, 199}}, {" 5 - 7 ", true, Range{5, 7}}, {"0-65535", true, Range{0, 65535}},
        {"65536", false, {}},            {"199-100", false, {}},           {"abc", false, {}},
        {"-5", false, {}},               {"5-", false, {}},                {"99999999999999", false, {}},
    };
    for (const auto& c : addressCases) {
        std::optional<Range> out = Range{1, 1};
        std::string error;
        EXPECT_EQ(ParseAddressFilter(c.text, out, error), c.ok) << c.text;
        if (c.ok)
            EXPECT_EQ(out, c.range) << c.text;
        else
            EXPECT_NE(error.find("address"), std::string::npos) << c.text;
    }
    const struct {
        const char* text;
        bool ok;
        std::optional<int> unit;
    } unitCases[] = {{"", true, std::nullopt}, {"0", true, 0}, {"255", true, 255}, {"256", false, {}}, {"x", false, {}}};
    const struct {
        const char* text;
        std::optional<std::string> fault;
    } faultCases[] = {{"", std::nullopt}, {"  ", std::nullopt}, {"*", ""}, {kAnyFault, ""},
                      {" delay ", "delay"}, {"no reply", "no reply"}};
    for (const auto& c : faultCases)
        EXPECT_EQ(ParseFaultFilter(c.text), c.fault) << c.text;
    for (const auto& c : unitCases) {
        std::optional<int> out = 9;
        std::string error;
        EXPECT_EQ(ParseUnitFilter(c.text, out, error), c.ok) << c.text;
        if (c.ok)
            EXPECT_EQ(out, c.unit) << c.text;
        else
            EXPECT_NE(error.find("unit"), std::string::npos) << c.text;
    }
}

TEST(TrafficMonitorModel, PauseHoldsFramesBackAndShowsThemOnResumeUnderTheLimit)
{
    TrafficMonitorModel model({}, 5);
    MirrorView view(model);
    model.SetListener(&view);
    model.Append(std::vector<TappedFrame>{Frame({.seq = 0}), Frame({.seq = 1})});
    model.SetPaused(true);
    model.Append(std::vector<TappedFrame>{Frame({.seq = 2}), Frame({.seq = 3})});
    EXPECT_EQ(view.rows, (std::vector<std::int64_t>{0, 1})) << "nothing moves while paused";
    EXPECT_EQ(model.HeldCount(), 2u);
    EXPECT_EQ(model.DroppedRows(), 0u);

    // More than the limit arrive while paused: the oldest held go, counted.
    std::vector<TappedFrame> many;
    for (int s = 4; s < 10; ++s)
        many.push_back(Frame({.seq = s}));
    model.Append(std::move(many));
    EXPECT_EQ(model.HeldCount(), 5u);
    EXPECT_EQ(model.DroppedRows(), 3u);
    EXPECT_EQ(view.rows, (std::vector<std::int64_t>{0, 1}));

    model.SetPaused(false);
    EXPECT_EQ(model.HeldCount(), 0u);
    EXPECT_EQ(view.rows, (std::vector<std::int64_t>{5, 6, 7, 8, 9}));
    EXPECT_EQ(ShownSeqs(model), view.rows);
    EXPECT_EQ(model.DroppedRows(), 5u);
}

TEST(TrafficMonitorModel, ClearEmptiesRowsAndHeldFramesButKeepsCountersAndLinks)
{
    TrafficMonitorModel model({}, 2);
    MirrorView view(model);
    model.SetListener(&view);
    model.Append(std::vector<TappedFrame>{Frame({.seq = 0, .link = Serial(3)})});
    model.Append(std::vector<TappedFrame>{Frame({.seq = 1}), Frame({.seq = 2})});
    model.SetPaused(true);
    model.Append(std::vector<TappedFrame>{Frame({.seq = 3})});
    model.Clear();
    EXPECT_EQ(model.KeptCount(), 0u);
    EXPECT_EQ(model.ShownCount(), 0u);
    EXPECT_EQ(model.HeldCount(), 0u);
    EXPECT_TRUE(view.rows.empty());
    EXPECT_EQ(model.DroppedRows(), 1u);
    EXPECT_EQ(model.Links().size(), 2u);

    model.SetPaused(false);
    EXPECT_EQ(model.ShownCount(), 0u) << "frames held before Clear are gone";
    model.Append(std::vector<TappedFrame>{Frame({.seq = 4}), Frame({.seq = 5})});
    EXPECT_EQ(view.rows, (std::vector<std::int64_t>{4, 5}));
    EXPECT_EQ(ShownSeqs(model), view.rows);
}

TEST(TrafficMonitorModel, CopyTextIsOneTabSeparatedLinePerRow)
{
    // Time of day is local time: pin the zone.
    const char* tz = std::getenv("TZ");
    const std::string oldTz = tz ? tz : "";
    setenv("TZ", "UTC", 1);
    tzset();

    // 2026-12-10 14:03:07.000000 UTC at monotonic 1 000 000 µs.
    const pomrel::FrameClockStart clock{1000000, 1796911387000000};
    TrafficMonitorModel model(clock);

    TappedFrame request = Frame({.seq = 1000250, .unit = 1, .function = 3, .address = 100, .quantity = 10});
    request.record.source.peer.family = 4;
    request.record.source.peer.bytes = {127, 0, 0, 1};
    request.record.source.peer.port = 50432;
    request.record.bytes = {0x00, 0x07, 0x00, 0x00, 0x00, 0x06, 0x01, 0x03, 0x00, 0x64, 0x00, 0x0A};
    request.record.size = 12;
    TappedFrame answer = Frame({.seq = 1000662, .unit = 1, .function = 3, .address = 100, .quantity = 10,
                                .attribute = pomrel::kSent});
    answer.record.source.peer = request.record.source.peer;
    answer.decoded.values = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    answer.decoded.rttUs = 412;
    answer.record.bytes = {0x00, 0x07};
    answer.record.size = 29;  // only the start kept
    TappedFrame failed = Frame({.seq = 1000700, .link = Serial(2), .unit = 9, .function = 16, .address = 0,
                                .attribute = pomrel::kSent, .exception = 2});
    failed.record.fault = "refuse writes";
    TappedFrame bad = Frame({.seq = 1000800, .link = Serial(2), .function = -1, .address = {}, .quantity = {}, .ok = false});
    bad.decoded.unit = -1;
    bad.decoded.error = "discarded: too short";  // as the decoder says it
    bad.record.attribute = pomrel::kDiscarded;
    model.Append(std::vector<TappedFrame>{request, answer, failed, bad});

    EXPECT_EQ(model.CopyText({0, 1, 2, 3}, false),
              "14:03:07.000250\ttcp\t127.0.0.1:50432\trx\t1\tRead Holding Registers\t100-109\t\t\t\n"
              "14:03:07.000662\ttcp\t127.0.0.1:50432\ttx\t1\tRead Holding Registers\t100-109\t"
              "1 2 3 4 5 6 7 8 … (10 values)\t0.412 ms\t\n"
              "14:03:07.000700\tserial:2\t\ttx\t9\tWrite Multiple Registers (exception)\t0\t"
              "exception 2 (Illegal Data Address)\t\trefuse writes\n"
              "14:03:07.000800\tserial:2\t\tdrop\t\t\t\tdiscarded: too short\t\t\n");
    // Rows in the order asked; bytes on demand, with the length when only the start was kept.
    EXPECT_EQ(model.CopyText({1, 0}, true),
              "14:03:07.000662\ttcp\t127.0.0.1:50432\ttx\t1\tRead Holding Registers\t100-109\t"
              "1 2 3 4 5 6 7 8 … (10 values)\t0.412 ms\t\t00 07 … (29 bytes)\n"
              "14:03:07.000250\ttcp\t127.0.0.1:50432\trx\t1\tRead Holding Registers\t100-109\t\t\t\t"
              "00 07 00 00 00 06 01 03 00 64 00 0A\n");
    EXPECT_EQ(model.CopyText({4}, true), "") << "a row past the end is skipped";

    if (tz)
        setenv("TZ", oldTz.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();
}

TEST(TrafficMonitorModel, ValuesShowWhatWasAskedFor)
{
    // An answer's coils come eight to a byte; the bits past the quantity are padding.
    const std::vector<std::uint16_t> eightBits = {0, 1, 0, 1, 0, 0, 0, 0};
    const struct {
        const char* name;
        int function;
        bool answer;
        std::optional<std::uint32_t> quantity;
        std::vector<std::uint16_t> values;
        std::string text;
    } cases[] = {
        {"coils, 4 asked", 1, true, 4, eightBits, "0 1 0 1"},
        {"inputs, 4 asked", 2, true, 4, eightBits, "0 1 0 1"},
        {"coils, unpaired answer", 1, true, std::nullopt, eightBits, "0 1 0 1 0 0 0 0"},
        {"coils written (a request)", 15, false, 4, eightBits, "0 1 0 1 0 0 0 0"},
        {"registers, 10", 3, true, 10, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10}, "1 2 3 4 5 6 7 8 … (10 values)"},
        {"coils, 12 asked of 16 bits", 1, true, 12, std::vector<std::uint16_t>(16, 1), "1 1 1 1 1 1 1 1 … (12 values)"},
    };
    for (const auto& c : cases) {
        TappedFrame f = Frame({.function = c.function, .quantity = c.quantity,
                               .attribute = c.answer ? pomrel::kSent : pomrel::kReceived});
        f.decoded.values = c.values;
        EXPECT_EQ(ValuesText(f), c.text) << c.name;
    }
}

TEST(TrafficMonitorSink, KeepsTheNewestUnderItsBoundAndCountsTheRest)
{
    TrafficMonitorSink sink(4);
    sink.Take(std::vector<TappedFrame>{Frame({.seq = 0}), Frame({.seq = 1}), Frame({.seq = 2})});
    sink.Take(std::vector<TappedFrame>{Frame({.seq = 3}), Frame({.seq = 4})});
    EXPECT_EQ(sink.Dropped(), 1u);
    sink.Take(std::vector<TappedFrame>{Frame({.seq = 5}), Frame({.seq = 6}), Frame({.seq = 7}), Frame({.seq = 8}), Frame({.seq = 9})});
    EXPECT_EQ(sink.Dropped(), 6u);
    auto taken = sink.TakePending();
    ASSERT_EQ(taken.size(), 4u);
    for (std::size_t i = 0; i < taken.size(); ++i)
        EXPECT_EQ(taken[i]->record.monotonicUs, std::int64_t(6 + i));
    EXPECT_EQ(sink.PendingCount(), 0u);
    EXPECT_TRUE(sink.TakePending().empty());
}

TEST(TrafficMonitorSink, ReusedFramesCarryNothingOfTheirPreviousFrame)
{
    // Frames handed back after their rows went are filled again by Take: nothing of the old
    // frame (fault name, error, values, longer bytes) may show through in the new one.
    TrafficMonitorSink sink(8);
    std::vector<FramePtr> old;
    for (int i = 0; i < 3; ++i) {
        TappedFrame f = Frame({.seq = 100 + i, .unit = 9, .function = 16, .attribute = pomrel::kSent, .exception = 4});
        f.record.fault = "slow-device";
        f.record.bytes.assign(300, 0xEE);
        f.record.size = 300;
        f.decoded.values.assign(125, 7);
        f.decoded.error = "stale";
        f.decoded.rttUs = 99;
        old.push_back(std::make_unique<TappedFrame>(std::move(f)));
    }
    old.push_back(nullptr);  // a slot the rows moved out: skipped
    sink.Recycle(std::move(old));

    // An FC3 answer of three registers (1, 2, 3) from unit 1, as the tap hands it, values decoded.
    TappedFrame answer = Frame({.seq = 1, .unit = 1, .function = 3, .address = 100, .quantity = 3,
                                .attribute = pomrel::kSent});
    answer.record.bytes = {0x00, 0x01, 0x00, 0x00, 0x00, 0x09, 0x01, 0x03, 0x06, 0x00, 0x01, 0x00, 0x02, 0x00, 0x03};
    answer.record.size = 15;
    answer.decoded.values = {1, 2, 3};
    const std::vector<TappedFrame> given = {Frame({.seq = 0}), answer};
    sink.Take(given);
    auto taken = sink.TakePending();
    ASSERT_EQ(taken.size(), 2u);
    for (std::size_t i = 0; i < taken.size(); ++i) {
        const TappedFrame& t = *taken[i];
        const TappedFrame& g = given[i];
        EXPECT_EQ(t.record.monotonicUs, g.record.monotonicUs);
        EXPECT_EQ(t.record.attribute, g.record.attribute);
        EXPECT_EQ(t.record.fault, "");
        EXPECT_EQ(t.record.bytes, g.record.bytes);
        EXPECT_EQ(t.record.size, g.record.size);
        EXPECT_EQ(t.decoded.unit, g.decoded.unit);
        EXPECT_EQ(t.decoded.function, g.decoded.function);
        EXPECT_EQ(t.decoded.exception, g.decoded.exception);
        EXPECT_EQ(t.decoded.error, "");
        EXPECT_EQ(t.decoded.rttUs, std::nullopt);
        EXPECT_TRUE(t.decoded.values.empty()) << "values are left out of the copies";
    }
    // Without its values the row decodes them from its bytes when shown.
    TrafficMonitorModel model;
    model.Append(taken);
    EXPECT_EQ(model.Cell(1, TrafficMonitorModel::kValues), "1 2 3");
}

TEST(TrafficMonitorModel, PeerOfASecurityMasterShowsItsRole)
{
    TappedFrame plain = Frame({.seq = 0});
    plain.record.source.peer = {4, {10, 0, 0, 5}, 40000};
    TappedFrame secure = Frame({.seq = 1, .link = {LinkId::Kind::Tls, 0, 0}});
    secure.record.source.peer = {4, {10, 0, 0, 6}, 40001};
    const std::string role = "Operator";
    std::copy(role.begin(), role.end(), secure.record.source.role.begin());
    TrafficMonitorModel model;
    model.Append(std::vector<TappedFrame>{plain, secure});
    EXPECT_EQ(model.Cell(0, TrafficMonitorModel::kPeer), "10.0.0.5:40000");
    EXPECT_EQ(model.Cell(1, TrafficMonitorModel::kPeer), "10.0.0.6:40001 (Operator)");
}

TEST(TrafficMonitorSink, HandsEveryFrameOverInOrderBetweenThreads)
{
    // The tap's thread gives, this one takes and hands the frames back; every frame is taken or
    // counted as dropped, in order, nothing twice (run under the thread sanitizer too).
    TrafficMonitorSink sink(300);
    constexpr int kBatches = 2000, kPerBatch = 50;
    std::thread tap([&] {
        std::vector<TappedFrame> batch(kPerBatch);
        for (int b = 0; b < kBatches; ++b) {
            for (int i = 0; i < kPerBatch; ++i)
                batch[std::size_t(i)].record.monotonicUs = b * kPerBatch + i;
            sink.Take(batch);
        }
    });
    std::int64_t last = -1;
    std::uint64_t taken = 0;
    bool done = false;
    while (!done) {
        std::vector<FramePtr> got = sink.TakePending();
        for (const FramePtr& f : got) {
            ASSERT_GT(f->record.monotonicUs, last);
            last = f->record.monotonicUs;
            ++taken;
        }
        sink.Recycle(std::move(got));  // as the window does: filled again by the tap's thread
        done = sink.Dropped() + taken == std::uint64_t(kBatches) * kPerBatch;
        if (!done)
            std::this_thread::yield();
    }
    tap.join();
    EXPECT_EQ(last, kBatches * kPerBatch - 1) << "the newest frame is never the one dropped";
}

TEST(TrafficMonitorModel, UnansweredAndClosedRequestsShowTheirFateAndTheRule)
{
    // What the decoder makes of a request a fault rule left unanswered or whose connection it
    // closed: a sent record without bytes, the rule's name, the fate as the error.
    TrafficMonitorModel model;
    TappedFrame request = Frame({.seq = 1, .unit = 4, .function = 3, .address = 100, .quantity = 2});
    std::vector<TappedFrame> frames = {request};
    for (const char* fate : {"no reply", "closed"}) {
        TappedFrame f = Frame({.seq = 2, .unit = 4, .function = 3, .address = 100, .quantity = 2,
                               .attribute = pomrel::kSent, .ok = false, .fault = std::string("silence ") + fate});
        f.record.bytes.clear();
        f.record.size = 0;
        f.decoded.error = fate;
        frames.push_back(f);
    }
    // The same fate from a decoder that leaves the frame "decoded": the fate still shows.
    frames.push_back(frames[1]);
    frames.back().decoded.ok = true;
    model.Append(std::move(frames));

    ASSERT_EQ(model.ShownCount(), 4u);
    for (std::size_t row : {1u, 2u, 3u}) {
        EXPECT_EQ(model.Cell(row, TrafficMonitorModel::kDirection), "tx") << row;
        EXPECT_EQ(model.Cell(row, TrafficMonitorModel::kBytes), "") << row;
        EXPECT_EQ(model.Cell(row, TrafficMonitorModel::kFunction), "Read Holding Registers") << row;
    }
    EXPECT_EQ(model.Cell(1, TrafficMonitorModel::kValues), "no reply");
    EXPECT_EQ(model.Cell(1, TrafficMonitorModel::kFault), "silence no reply");
    EXPECT_EQ(model.Cell(2, TrafficMonitorModel::kValues), "closed");
    EXPECT_EQ(model.Cell(2, TrafficMonitorModel::kFault), "silence closed");
    EXPECT_EQ(model.Cell(3, TrafficMonitorModel::kValues), "no reply");
    EXPECT_EQ(model.Cell(0, TrafficMonitorModel::kFault), "");
    EXPECT_EQ(model.FaultNames(), (std::vector<std::string>{"silence no reply", "silence closed"}));

    MonitorFilter anyFault;
    anyFault.fault = "";
    model.SetFilter(anyFault);
    EXPECT_EQ(model.ShownCount(), 3u);
    MonitorFilter errors;
    errors.errorsOnly = true;
    model.SetFilter(errors);
    EXPECT_EQ(model.ShownCount(), 3u) << "an unanswered request is an error to look for";
}

namespace {

// A data window as far as the monitor asks: its display format.
class FormatView : public DocumentView {
public:
    explicit FormatView(int format) : format_(format) {}
    void SetupHeader() override {}
    void ShiftTraffic(int) override {}
    void RepaintAll(bool) override {}
    int DisplayFormat() const override { return format_; }

private:
    int format_;
};

struct Window {
    int unit, pointType;
    unsigned start;  // as the document stores it, from 1
    int length, format;
};

// Open documents with one view each, as the program has them.
class OpenWindows {
public:
    explicit OpenWindows(const std::vector<Window>& windows)
    {
        for (const Window& w : windows) {
            auto doc = std::make_unique<CKelvaro32Doc>(DocumentContext{&documents, "", nullptr});
            doc->deviceId = static_cast<std::uint8_t>(w.unit);
            doc->pointType = static_cast<std::uint8_t>(w.pointType);
            doc->startAddress = static_cast<std::uint16_t>(w.start);
            doc->length = static_cast<std::uint16_t>(w.length);
            views_.push_back(std::make_unique<FormatView>(w.format));
            doc->AttachView(views_.back().get());
            docs_.push_back(std::move(doc));
        }
    }
    OpenDocuments documents;

private:
    std::vector<std::unique_ptr<FormatView>> views_;
    std::vector<std::unique_ptr<CKelvaro32Doc>> docs_;
};

} // namespace

TEST(TrafficMonitorModel, RegisterValuesShowInTheFormatOfTheServingWindow)
{
    // 3.14159f is 0x40490FD0; -2.5f is 0xC0200000; pi as a double 0x400921FB54442D18.
    OpenWindows windows({
        {1, 3, 1, 100, kFloat},            // holding 0-99 of unit 1
        {1, 3, 101, 100, kFloatSwapped},   // holding 100-199: the next window
        {1, 4, 1, 50, kHex},               // input registers 0-49
        {2, 3, 1, 20, kBinary},
        {2, 4, 1, 20, kLong},
        {3, 3, 1, 20, kLongSwapped},
        {3, 4, 1, 20, kFloat64},
        {4, 3, 1, 20, kFloat64Swapped},
        {4, 4, 1, 20, kDecimal},
        {5, 3, 7001, 10, kEnronFloat},     // ENRON floats: one value a point
        {5, 3, 5001, 10, kEnronLong},
    });
    bool enron = true;
    TrafficMonitorModel model;
    model.SetServingLookup(DocumentLookup(windows.documents, [&enron] { return enron; }));

    const std::vector<std::uint16_t> pi = {0x0FD0, 0x4049}, piSwapped = {0x4049, 0x0FD0};
    const struct {
        const char* name;
        int unit, function;
        bool answer;
        std::uint32_t address;
        std::optional<std::uint32_t> quantity;
        std::vector<std::uint16_t> words;
        std::string text;
        std::optional<std::uint32_t> writeAddress = std::nullopt;
    } cases[] = {
        {"float, low word first", 1, 3, true, 10, 4, {0x0FD0, 0x4049, 0x0000, 0xC020}, "3.1416 -2.5000"},
        {"float, high word first", 1, 3, true, 110, 2, piSwapped, "3.1416"},
        {"float written (16)", 1, 16, false, 0, 2, pi, "3.1416"},
        {"float written (23, the write half)", 1, 23, false, 50, 2, pi, "3.1416", 20},
        {"float read (23 answer, the read half)", 1, 23, true, 20, 2, pi, "3.1416"},
        {"many floats: the first eight, then the count", 1, 3, true, 0, 20, std::vector<std::uint16_t>(20, 0),
         "0.0000 0.0000 0.0000 0.0000 0.0000 0.0000 0.0000 0.0000 … (10 values)"},
        {"hex", 1, 4, true, 3, 2, {0x0041, 0xBEEF}, "0041H BEEFH"},
        {"binary", 2, 3, true, 0, 1, {0x8001}, "1000000000000001"},
        {"binary, written singly (6)", 2, 6, false, 5, 1, {5}, "0000000000000101"},
        {"long, low word first", 2, 4, true, 2, 2, {0xFFFE, 0xFFFF}, "-2"},
        {"long, high word first", 3, 3, true, 0, 2, {0x0001, 0x0000}, "65536"},
        {"double, bits 0-15 first", 3, 4, true, 4, 4, {0x2D18, 0x5444, 0x21FB, 0x4009}, "3.1416"},
        {"double, bits 48-63 first", 4, 3, true, 0, 4, {0x4009, 0x21FB, 0x5444, 0x2D18}, "3.1416"},
        {"decimal", 4, 4, true, 0, 2, {65535, 7}, "65535 7"},
        {"ENRON float: a point is two words, the high one first", 5, 3, true, 7002, 1, piSwapped, "3.1416"},
        {"ENRON long", 5, 3, true, 5000, 2, {0xFFFF, 0xFFFF, 0x0000, 0x0064}, "-1 100"},
        // Raw words: no window, two windows, off the window's values, not register values.
        {"no window serves unit 9", 9, 3, true, 0, 2, pi, "4048 16457"},
        {"no window of input registers at 50", 1, 4, true, 50, 1, {7}, "7"},
        {"spans two windows (98-101)", 1, 3, true, 98, 4, {1, 2, 3, 4}, "1 2 3 4"},
        {"runs past the last window (198-201)", 1, 3, true, 198, 4, {1, 2, 3, 4}, "1 2 3 4"},
        {"starts inside a float, not on one", 1, 3, true, 11, 2, pi, "4048 16457"},
        {"half a float", 1, 3, true, 10, 1, {0x4049}, "16457"},
        {"a request to read carries no values", 1, 3, false, 10, 2, {}, ""},
        {"ENRON block read a word a point (quantity 2, two words)", 5, 3, true, 7000, 2, piSwapped, "16457 4048"},
    };
    for (const auto& c : cases) {
        TappedFrame f = Frame({.unit = c.unit, .function = c.function, .address = c.address, .quantity = c.quantity,
                               .attribute = c.answer ? pomrel::kSent : pomrel::kReceived});
        f.decoded.values = c.words;
        if (c.writeAddress) {
            f.decoded.writeAddress = c.writeAddress;
            f.decoded.writeQuantity = c.quantity;
            f.decoded.quantity = 1;
        }
        model.Clear();
        model.Append(std::vector<TappedFrame>{f});
        EXPECT_EQ(model.Cell(0, TrafficMonitorModel::kValues), c.text) << c.name;
        // The raw words are a click away: beside a formatted cell, and in its place when asked.
        const std::string raw = ValuesText(f);
        EXPECT_EQ(model.RawValuesOf(0), c.text == raw ? "" : raw) << c.name;
        model.SetRawWords(true);
        EXPECT_EQ(model.Cell(0, TrafficMonitorModel::kValues), raw) << c.name;
        EXPECT_EQ(model.RawValuesOf(0), "") << c.name;
        model.SetRawWords(false);
    }

    // The ENRON rule off: the block is plain registers again, and its window shows words.
    enron = false;
    TappedFrame f = Frame({.unit = 5, .function = 3, .address = 7000, .quantity = 2, .attribute = pomrel::kSent});
    f.decoded.values = piSwapped;
    model.Clear();
    model.Append(std::vector<TappedFrame>{f});
    EXPECT_EQ(model.Cell(0, TrafficMonitorModel::kValues), "16457 4048");
}

TEST(TrafficMonitorModel, AnEndpointsUnitsMapSaysWhichWindowServesAUnit)
{
    using pomrel::ServerEndpoint;
    using pomrel::ServerProtocol;
    const struct {
        std::map<std::uint8_t, std::uint8_t> units;
        int unit;
        std::optional<int> device;
    } maps[] = {
        {{}, 7, 7},           {{{1, 101}}, 1, 101}, {{{1, 101}}, 2, std::nullopt}, {{{1, 101}}, 0, std::nullopt},
        {{{1, 101}}, 255, std::nullopt}, {{{1, 101}, {2, 1}}, 2, 1},
    };
    for (const auto& c : maps)
        EXPECT_EQ(MappedDevice(c.units, c.unit), c.device) << c.unit;

    const struct {
        ServerProtocol protocol;
        int number;
        LinkId link;
        bool same;
    } links[] = {
        {ServerProtocol::Tcp, 2, Tcp(2), true},
        {ServerProtocol::Tcp, 2, Tcp(0), false},
        {ServerProtocol::Udp, 0, {LinkId::Kind::Udp, 0, 0}, true},
        {ServerProtocol::Udp, 0, Tcp(0), false},
        {ServerProtocol::RtuOverTcp, 3, {LinkId::Kind::RtuOverTcp, 0, 3}, true},
        {ServerProtocol::Tls, 0, {LinkId::Kind::Tls, 0, 0}, true},
        {ServerProtocol::Tcp, 0, Serial(1), false},
    };
    for (const auto& c : links) {
        ServerEndpoint e;
        e.protocol = c.protocol;
        e.number = c.number;
        EXPECT_EQ(EndpointOfLink(e, c.link), c.same) << LinkName(c.link);
    }

    // Endpoint tcp:2 maps unit 1 to device 101: its unit 1 reads device 101's window, unit 2 none;
    // the main server's unit 1 reads device 1's.
    OpenWindows windows({{1, 3, 1, 10, kHex}, {101, 3, 1, 10, kBinary}, {2, 3, 1, 10, kHex}});
    ServerEndpoint endpoint;
    endpoint.number = 2;
    endpoint.units = {{1, 101}};
    TrafficMonitorModel model;
    model.SetServingLookup(DocumentLookup(windows.documents, {}, [&](const LinkId& link, int unit) {
        return EndpointOfLink(endpoint, link) ? MappedDevice(endpoint.units, unit) : std::optional<int>(unit);
    }));
    const struct {
        LinkId link;
        int unit;
        std::string text;
    } reads[] = {{Tcp(2), 1, "0000000000000101"}, {Tcp(2), 2, "5"}, {Tcp(0), 1, "0005H"}, {Tcp(0), 2, "0005H"}};
    for (const auto& r : reads) {
        TappedFrame f = Frame({.link = r.link, .unit = r.unit, .function = 3, .address = 0, .quantity = 1,
                               .attribute = pomrel::kSent});
        f.decoded.values = {5};
        model.Clear();
        model.Append(std::vector<TappedFrame>{f});
        EXPECT_EQ(model.Cell(0, TrafficMonitorModel::kValues), r.text) << LinkName(r.link) << " unit " << r.unit;
    }
}
