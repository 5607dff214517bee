// The trend: a minute of samples at most 20 a second per point, values read back as generators
// write them, a generator's point plotted while it runs, pause, and the CSV and PNG exports.
#include "BehaviourTestDocs.h"

#include "behaviour/Generator.h"
#include "behaviour/TrendWindow.h"

#include <nlohmann/json.hpp>

#include <QChart>
#include <QLineSeries>
#include <QListWidget>
#include <QPushButton>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <set>
#include <sstream>

using namespace behaviour;

namespace {

GeneratorSpec Parse(const char* text)
{
    std::string error;
    auto g = ParseGenerator(nlohmann::json::parse(text), "", error);
    EXPECT_TRUE(g) << error;
    return g ? *g : GeneratorSpec{};
}

std::string ReadBytes(const QString& path)
{
    std::ifstream in(path.toStdString(), std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

constexpr std::int64_t kWall = 1'796'000'000'000;   // 2026-11-30 00:53:20 UTC

} // namespace

TEST(TrendSeries, KeepsTheLastMinuteAtMost20ASecond)
{
    TrendSeries s(TrendPoint{});
    int kept = 0;
    for (std::int64_t ms = 0; ms <= 150'000; ms += 10)
        kept += s.Add(kWall + ms, static_cast<double>(ms)) ? 1 : 0;
    EXPECT_EQ(kept, 150'000 / 50 + 1);
    const auto& samples = s.Samples();
    ASSERT_FALSE(samples.empty());
    EXPECT_EQ(samples.back().ms, kWall + 150'000);
    EXPECT_GT(samples.front().ms, kWall + 150'000 - TrendSeries::kWindowMs);
    EXPECT_LE(samples.size(), TrendSeries::kCapacity);
    EXPECT_EQ(samples.size(), 1200u);
    for (std::size_t i = 1; i < samples.size(); ++i)
        EXPECT_GE(samples[i].ms - samples[i - 1].ms, TrendSeries::kMinSpacingMs);
    // A clock stepping back is not a sample of the past.
    EXPECT_FALSE(s.Add(kWall, 1.0));
    EXPECT_EQ(s.Samples().back().ms, kWall + 150'000);
}

// The words a generator writes read back as the value it meant, in every width and word order.
TEST(TrendSeries, WordsReadBackAsTheGeneratorWroteThem)
{
    struct Case {
        const char* value;
        bool swapped;
        double v;
    };
    const Case cases[] = {{"int16", false, -1234}, {"uint16", false, 65535},   {"int32", false, -70000},
                          {"int32", true, -70000}, {"uint32", true, 4e9},     {"int64", false, -5e15},
                          {"uint64", true, 9e15},  {"float32", false, -2.5},  {"float32", true, 1234.5},
                          {"float64", false, 1e300}, {"float64", true, -0.125}};
    for (const Case& c : cases) {
        GeneratorSpec g;
        g.value = *EncodingFromName(c.value);
        g.swapped = c.swapped;
        g.kind = Kind::Counter;
        const Words w = Generator(g).Encode(c.v);
        EXPECT_EQ(ValueOfWords(w, g.value, g.swapped), c.v) << c.value << (c.swapped ? " swapped" : "");
    }
    GeneratorSpec bit;
    bit.type = 1;
    bit.value = Encoding::Bit;
    EXPECT_EQ(ValueOfWords(Generator(bit).Encode(1), Encoding::Bit, false), 1.0);
}

TEST(TrendSeries, CsvHasATimeColumnAndOneColumnPerPoint)
{
    TrendSeries a(TrendPoint{1, 3, 10, Encoding::Float32, true});
    TrendSeries b(TrendPoint{2, 1, 5, Encoding::Bit, false});
    a.Add(kWall, 1.5);
    a.Add(kWall + 100, -2.25);
    b.Add(kWall + 100, 1);
    b.Add(kWall + 1050, 0);
    EXPECT_EQ(TrendCsv({&a, &b}), "time,unit 1 holding 10 float32 swapped,unit 2 coil 5\n"
                                  "2026-11-30T00:53:20.000Z,1.5,\n"
                                  "2026-11-30T00:53:20.100Z,-2.25,1\n"
                                  "2026-11-30T00:53:21.050Z,,0\n");
    EXPECT_EQ(TrendCsv({}), "time\n");
}

// A running generator's point on the trend: each tick samples the words the generator wrote,
// all within its min and max; pausing stops the sampling; a point no window serves is passed over.
TEST(TrendWindow, ShowsAGeneratorsPointsWhileItRuns)
{
    BehaviourBench bench;
    auto& doc = bench.Add(1, 3, 1, 100);
    std::string error;
    // An hour between updates: only the test's passes below write, so each tick sees a new value.
    ASSERT_TRUE(bench.book.AddGenerator(Parse(R"({"unit": 1, "type": 3, "address": 20, "value": "float32",
                                                  "kind": "ramp", "min": 10, "max": 20, "period_ms": 86400000,
                                                  "update_ms": 3600000})"),
                                        error))
        << error;
    TrendWindow trend(std::make_unique<DocumentPoints>(bench.open));
    const TrendPoint point{1, 3, 20, Encoding::Float32, false};
    trend.AddPoint(point);
    trend.AddPoint(point);
    trend.AddPoint(TrendPoint{9, 3, 1, Encoding::Uint16, false});
    ASSERT_EQ(trend.Series().size(), 2u);
    EXPECT_EQ(trend.Points()->count(), 2);

    const std::int64_t start = SystemClock().SteadyNs();
    constexpr int kTicks = 12;
    for (int i = 1; i <= kTicks; ++i) {
        bench.book.Runner().RunDue(start + std::int64_t{i} * 3'600'000'000'000);
        trend.Tick(kWall + i * 100);
    }
    const auto& samples = trend.Series()[0]->Samples();
    ASSERT_EQ(samples.size(), static_cast<std::size_t>(kTicks));
    std::set<double> distinct;
    for (const TrendSample& s : samples) {
        EXPECT_GE(s.value, 10.0);
        EXPECT_LE(s.value, 20.0);
        distinct.insert(s.value);
    }
    EXPECT_EQ(distinct.size(), static_cast<std::size_t>(kTicks));
    // The last sample is what the window's words hold now.
    const Words now{{doc.Word(19), doc.Word(20)}, 2};
    EXPECT_EQ(samples.back().value, ValueOfWords(now, Encoding::Float32, false));
    EXPECT_TRUE(trend.Series()[1]->Samples().empty());

    const auto lines = trend.Chart()->series();
    ASSERT_EQ(lines.size(), 2);
    auto* line = qobject_cast<QLineSeries*>(lines[0]);
    ASSERT_NE(line, nullptr);
    EXPECT_EQ(line->count(), kTicks);
    EXPECT_EQ(line->name(), "unit 1 holding 20 float32");
    EXPECT_EQ(line->at(kTicks - 1).x(), 0.0);
    EXPECT_EQ(line->at(kTicks - 1).y(), samples.back().value);

    trend.PauseButton()->click();
    trend.Tick(kWall + 5000);
    EXPECT_EQ(trend.Series()[0]->Samples().size(), static_cast<std::size_t>(kTicks));
    trend.PauseButton()->click();
    trend.Tick(kWall + 5000);
    EXPECT_EQ(trend.Series()[0]->Samples().size(), static_cast<std::size_t>(kTicks + 1));

    trend.RemovePoint(point);
    EXPECT_EQ(trend.Series().size(), 1u);
    EXPECT_EQ(trend.Chart()->series().size(), 1);
    EXPECT_EQ(trend.Points()->count(), 1);
}

TEST(TrendWindow, ExportsTheSamplesAsCsvAndTheChartAsPng)
{
    BehaviourBench bench;
    auto& doc = bench.Add(1, 4, 1, 10);
    TrendWindow trend(std::make_unique<DocumentPoints>(bench.open));
    trend.resize(600, 400);
    trend.AddPoint(TrendPoint{1, 4, 3, Encoding::Int16, false});
    doc.SetWord(2, static_cast<std::uint16_t>(-5));
    trend.Tick(kWall);
    doc.SetWord(2, 7);
    trend.Tick(kWall + 50);
    std::vector<QString> told;
    trend.tell = [&](const QString& text) { told.push_back(text); };

    QTemporaryDir dir;
    QString file = dir.filePath("trend.csv");
    trend.askFileName = [&](const QString&) { return file; };
    trend.findChild<QPushButton*>("exportCsv")->click();
    EXPECT_EQ(ReadBytes(file), "time,unit 1 input register 3 int16\n"
                               "2026-11-30T00:53:20.000Z,-5\n"
                               "2026-11-30T00:53:20.050Z,7\n");
    file = dir.filePath("trend.png");
    trend.findChild<QPushButton*>("exportPng")->click();
    EXPECT_EQ(ReadBytes(file).substr(0, 8), std::string("\x89PNG\r\n\x1a\n", 8));
    file = dir.filePath("no/such/folder/trend.csv");
    trend.findChild<QPushButton*>("exportCsv")->click();
    EXPECT_EQ(told.size(), 1u);
}
