// Traffic lines built from the real ring: entry texts, fit count, segments, the line update,
// the three guarded corners, the view's traffic mode, and a real master's traffic end to end.
#include "TestApp.h"
#include "app/CChildFrame.h"
#include "app/CKelvaro32App.h"
#include "app/CMainFrame.h"
#include "app/CommandIds.h"
#include "view/TrafficRing.h"
#include "document/CKelvaro32Doc.h"
#include "view/CKelvaro32View.h"
#include "view/TrafficDisplay.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QImage>
#include <QProcess>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QThread>
#include <algorithm>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

// Every character 8 pixels wide and 16 high, like a fixed-pitch item font.
class FixedMeasurer : public TextMeasurer {
public:
    int TextWidth(std::string_view text) const override { return 8 * static_cast<int>(text.size()); }
    int TextHeight() const override { return 16; }
};

constexpr int kCharW = 8;
constexpr int kRowH = 16;

std::uint16_t Word(std::uint8_t byte, std::uint8_t attribute = 0) { return static_cast<std::uint16_t>(attribute << 8 | byte); }

void Append(TrafficRing& ring, const std::vector<std::uint16_t>& words)
{
    ring.AppendTraffic(words.data(), static_cast<int>(words.size()));
}

int AppendRun(TrafficRing& ring, int n, std::uint8_t attribute = 0)
{
    std::vector<std::uint16_t> words;
    for (int i = 0; i < n; ++i)
        words.push_back(Word(static_cast<std::uint8_t>(i), attribute));
    return ring.AppendTraffic(words.data(), n);
}

std::string LineText(const CDispLine& line)
{
    std::string s;
    for (const CDispSeg& seg : line.segments)
        s += seg.text;
    return s;
}

// Room for `entries` decimal entry texts and `rows` rows below a data top of 0.
TrafficGeometry Window(int entries, int rows, bool trafficMode = true, bool hex = false)
{
    TrafficGeometry g;
    g.clientWidth = entries * (hex ? 4 : 5) * kCharW;
    g.clientHeight = rows * kRowH;
    g.rowHeight = kRowH;
    g.hex = hex;
    g.trafficMode = trafficMode;
    return g;
}

TEST(TrafficDisplay, EntryTexts)
{
    const std::vector<std::uint16_t> request = {1, 3, 0, 0, 0, 10};
    TrafficRing ring;
    Append(ring, request);
    Append(ring, {255});
    struct Case { bool hex; const char* text; };
    for (const Case& c : {Case{true, "[01][03][00][00][00][0a][ff]"}, Case{false, "[001][003][000][000][000][010][255]"}}) {
        CDispLine line;
        BuildSegments(line, ring, 0, 7, c.hex);
        EXPECT_EQ(LineText(line), c.text);
    }
}

TEST(TrafficDisplay, FitCountCountsWholeEntriesUpToTheRingsEnd)
{
    TrafficRing ring;
    AppendRun(ring, 30);
    const FixedMeasurer m;
    struct Case { int position; int width; bool hex; int fit; };
    const Case cases[] = {
        {0, 400, false, 10},   // exactly ten "[nnn]" texts
        {0, 399, false, 9},
        {0, 400, true, 12},    // "[nn]" is narrower
        {25, 400, false, 5},   // only five entries left
        {30, 400, false, 0},
        {0, 39, false, 0},     // not even one
    };
    for (const Case& c : cases)
        EXPECT_EQ(FitCount(ring, c.position, c.width, c.hex, m), c.fit) << c.position << " " << c.width;
}

TEST(TrafficDisplay, SegmentsSplitByAttributeAndAfter500Characters)
{
    struct Case {
        const char* name;
        std::vector<std::pair<int, std::uint8_t>> runs;   // (entries, attribute)
        bool hex;
        std::vector<int> segmentEntries;
    };
    const Case cases[] = {
        {"request and answer", {{12, 0}, {9, 1}}, false, {12, 9}},
        {"three runs", {{2, 0}, {2, 2}, {2, 0}}, false, {2, 2, 2}},
        // A segment takes entries while its text is at most 500 characters: 101 × 5 = 505.
        {"long decimal run", {{250, 0}}, false, {101, 101, 48}},
        {"long hex run", {{300, 1}}, true, {126, 126, 48}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TrafficRing ring;
        int total = 0;
        for (auto [n, attribute] : c.runs) {
            AppendRun(ring, n, attribute);
            total += n;
        }
        CDispLine line;
        BuildSegments(line, ring, 0, total, c.hex);
        ASSERT_EQ(line.segments.size(), c.segmentEntries.size());
        int position = 0;
        for (std::size_t i = 0; i < c.segmentEntries.size(); ++i) {
            const CDispSeg& seg = line.segments[i];
            EXPECT_EQ(seg.entryCount, c.segmentEntries[i]);
            EXPECT_EQ(seg.firstPosition, position);
            EXPECT_EQ(seg.text.size(), static_cast<std::size_t>(seg.entryCount * (c.hex ? 4 : 5)));
            EXPECT_LE(seg.text.size(), 505u);
            position += seg.entryCount;
        }
    }
}

TEST(TrafficDisplay, TenEntriesWideRebuildsTheLastLineAndDrawsOnlyNewText)
{
    TrafficRing ring;
    TrafficLines lines;
    const FixedMeasurer m;
    AppendRun(ring, 25);
    TrafficUpdate u = lines.ShiftTraffic(0, ring, Window(10, 20), m);
    ASSERT_EQ(lines.Lines().size(), 3u);
    EXPECT_EQ(lines.Lines()[0].EntryCount(), 10);
    EXPECT_EQ(lines.Lines()[2].EntryCount(), 5);
    EXPECT_EQ(u.kind, TrafficUpdate::kRows);
    EXPECT_EQ(u.firstLine, 0);
    EXPECT_EQ(u.lastLine, 2);
    EXPECT_EQ(lines.Lines()[1].width, 400);

    // An answer: the half line grows by a second segment, drawn from where the old text ended.
    AppendRun(ring, 7, 1);
    u = lines.ShiftTraffic(0, ring, Window(10, 20), m);
    ASSERT_EQ(lines.Lines().size(), 4u);
    const CDispLine& third = lines.Lines()[2];
    ASSERT_EQ(third.segments.size(), 2u);
    EXPECT_EQ(third.segments[1].attribute, 1);
    EXPECT_EQ(third.segments[1].firstPosition, 25);
    EXPECT_EQ(lines.Lines()[3].EntryCount(), 2);
    EXPECT_EQ(u.kind, TrafficUpdate::kRows);
    EXPECT_EQ(u.firstLine, 2);
    EXPECT_EQ(u.firstX, 25 * kCharW);
    EXPECT_EQ(u.lastLine, 3);

    // The same attribute continues the segment: it is drawn again whole.
    AppendRun(ring, 1, 1);
    u = lines.ShiftTraffic(0, ring, Window(10, 20), m);
    EXPECT_EQ(u.firstLine, 3);
    EXPECT_EQ(u.firstX, 0);

    // Nothing new: nothing to draw.
    u = lines.ShiftTraffic(0, ring, Window(10, 20), m);
    EXPECT_EQ(u.kind, TrafficUpdate::kNothing);
}

TEST(TrafficDisplay, OverflowDeletesTopLinesInEitherMode)
{
    for (bool trafficMode : {true, false}) {
        SCOPED_TRACE(trafficMode ? "traffic mode" : "data mode");
        TrafficRing ring;
        TrafficLines lines;
        const FixedMeasurer m;
        AppendRun(ring, 25);
        lines.ShiftTraffic(0, ring, Window(10, 3, trafficMode), m);
        ASSERT_EQ(lines.Lines().size(), 3u);
        EXPECT_EQ(lines.FirstKeptPosition(), 0);
        // 25 + 20 entries make five lines; three fit, the oldest two go.
        const TrafficUpdate u = lines.ShiftTraffic(AppendRun(ring, 20), ring, Window(10, 3, trafficMode), m);
        ASSERT_EQ(lines.Lines().size(), 3u);
        EXPECT_EQ(lines.Lines().front().firstPosition, 20);
        EXPECT_EQ(lines.FirstKeptPosition(), 20);
        EXPECT_EQ(u.kind, trafficMode ? TrafficUpdate::kAll : TrafficUpdate::kNothing);
    }
}

TEST(TrafficDisplay, DataTopAndTooShortAWindow)
{
    TrafficRing ring;
    AppendRun(ring, 40);
    const FixedMeasurer m;
    TrafficGeometry g = Window(10, 4);
    g.dataTop = 2 * kRowH;   // the data layout leaves two rows
    TrafficLines lines;
    lines.Update(ring, g, m);
    EXPECT_EQ(lines.Lines().size(), 2u);
    EXPECT_EQ(lines.Lines().front().firstPosition, 20);

    g.dataTop = g.clientHeight;   // no row at all: nothing is built
    TrafficLines none;
    EXPECT_EQ(none.Update(ring, g, m).kind, TrafficUpdate::kNothing);
    EXPECT_TRUE(none.Lines().empty());
}

TEST(TrafficDisplay, FormatAndWidthAffectOnlyLinesBuiltAfterwards)
{
    TrafficRing ring;
    TrafficLines lines;
    const FixedMeasurer m;
    AppendRun(ring, 25);
    lines.ShiftTraffic(0, ring, Window(10, 20), m);
    // Hex, and narrower (six hex texts = 24 chars): the full lines stay as they are, the
    // half line is rebuilt like every new one.
    TrafficGeometry g = Window(6, 20, true, true);
    AppendRun(ring, 10);
    lines.ShiftTraffic(0, ring, g, m);
    ASSERT_GE(lines.Lines().size(), 4u);
    EXPECT_EQ(LineText(lines.Lines()[0]).substr(0, 10), "[000][001]");
    EXPECT_EQ(lines.Lines()[1].EntryCount(), 10);
    EXPECT_EQ(LineText(lines.Lines()[2]).substr(0, 8), "[14][15]");
    EXPECT_EQ(lines.Lines()[2].EntryCount(), 6);
    EXPECT_EQ(lines.Lines()[2].firstPosition, 20);
}

// The three corners the line rules leave open.
TEST(TrafficDisplay, NarrowerThanOneEntryStillOneEntryPerLine)
{
    TrafficRing ring;
    TrafficLines lines;
    const FixedMeasurer m;
    AppendRun(ring, 12);
    TrafficGeometry g = Window(0, 100);
    g.clientWidth = 3;
    lines.Update(ring, g, m);
    ASSERT_EQ(lines.Lines().size(), 12u);
    for (int i = 0; i < 12; ++i) {
        EXPECT_EQ(lines.Lines()[static_cast<std::size_t>(i)].firstPosition, i);
        EXPECT_EQ(lines.Lines()[static_cast<std::size_t>(i)].EntryCount(), 1);
    }
}

TEST(TrafficDisplay, WindowWiderThanTheWholeRingHoldsItInOneLine)
{
    TrafficRing ring;
    TrafficLines lines;
    const FixedMeasurer m;
    AppendRun(ring, 1024);
    TrafficGeometry g = Window(0, 10);
    g.clientWidth = 1 << 30;
    lines.Update(ring, g, m);
    ASSERT_EQ(lines.Lines().size(), 1u);
    const CDispLine& line = lines.Lines().front();
    EXPECT_EQ(line.EntryCount(), 1024);
    EXPECT_EQ(line.TextLength(), 1024 * 5);
    for (const CDispSeg& seg : line.segments)
        EXPECT_LE(seg.text.size(), 505u);
    EXPECT_EQ(line.width, 1024 * 5 * kCharW);
}

TEST(TrafficDisplay, ShiftPastTheLastLinesStartRestartsItAtZero)
{
    TrafficRing ring;
    TrafficLines lines;
    const FixedMeasurer m;
    const TrafficGeometry g = Window(10, 300);
    AppendRun(ring, 1024);
    lines.ShiftTraffic(0, ring, g, m);
    ASSERT_EQ(lines.Lines().back().firstPosition, 1020);

    // A whole ring of new words: the last line's start would be 1020 - 1024 = -4.
    const int shift = AppendRun(ring, 1024, 1);
    ASSERT_EQ(shift, 1024);
    lines.ShiftTraffic(shift, ring, g, m);
    std::vector<int> starts;
    for (const CDispLine& line : lines.Lines())
        starts.push_back(line.firstPosition);
    // Old lines keep their (now negative) places; the rebuild starts at 0, in lines of ten.
    const auto zero = std::find(starts.begin(), starts.end(), 0);
    ASSERT_NE(zero, starts.end());
    EXPECT_EQ(*(zero - 1), 1010 - 1024);
    for (auto it = zero; it != starts.end(); ++it)
        EXPECT_EQ(*it, 10 * (it - zero));
    EXPECT_EQ(starts.back(), 1020);
    const CDispLine& restarted = lines.Lines()[static_cast<std::size_t>(zero - starts.begin())];
    EXPECT_EQ(restarted.segments.front().attribute, 1);
    EXPECT_EQ(LineText(restarted).substr(0, 10), "[000][001]");
}

TEST(TrafficDisplay, ShiftLowersEveryLineAndSegment)
{
    TrafficRing ring;
    TrafficLines lines;
    const FixedMeasurer m;
    const TrafficGeometry g = Window(10, 300);
    AppendRun(ring, 1000);
    lines.ShiftTraffic(0, ring, g, m);
    const int shift = AppendRun(ring, 50, 1);   // 26 overwritten
    ASSERT_EQ(shift, 26);
    lines.ShiftTraffic(shift, ring, g, m);
    EXPECT_EQ(lines.Lines()[0].firstPosition, -26);
    EXPECT_EQ(lines.Lines()[5].segments[0].firstPosition, 50 - 26);
    // The rebuilt last line of the first batch and everything after it lines up with the ring.
    for (const CDispLine& line : lines.Lines())
        for (const CDispSeg& seg : line.segments)
            if (seg.firstPosition >= 0) {
                std::uint8_t byte = 0, attribute = 0;
                ring.ReadTraffic(seg.firstPosition, byte, attribute);
                EXPECT_EQ(seg.attribute, attribute) << seg.firstPosition;
            }
}

class TrafficViewFixture : public ::testing::Test {
protected:
    void SetUp() override
    {
        app = std::make_unique<CKelvaro32App>(TestAppOptions(dir.path().toStdString()));
        ASSERT_TRUE(app->InitInstance({}));
        frame = app->mainFrame;
        doc = app->NewDocument();
        view = frame->ActiveView();
        ASSERT_NE(view, nullptr);
        // Wide enough for a request and its answer on one line.
        frame->resize(1700, 700);
        frame->ActiveChild()->resize(1600, 500);
        QApplication::processEvents();
    }

    // Share of the pixels in `r` that have colour `c`.
    static double Share(const QImage& image, const QRect& r, QColor c)
    {
        int hits = 0, all = 0;
        for (int y = r.top(); y <= r.bottom(); ++y)
            for (int x = r.left(); x <= r.right(); ++x, ++all)
                hits += image.pixelColor(x, y) == c;
        return all ? double(hits) / all : 0;
    }

    QTemporaryDir dir;
    std::unique_ptr<CKelvaro32App> app;
    CMainFrame* frame = nullptr;
    CKelvaro32Doc* doc = nullptr;
    CKelvaro32View* view = nullptr;
};

TEST_F(TrafficViewFixture, ShowDataAndShowTrafficSwitchModeChecksAndControls)
{
    struct Case { int command; bool traffic; };
    for (const Case& c : {Case{cmd::ShowTraffic, true}, Case{cmd::ShowData, false}, Case{cmd::ShowTraffic, true}}) {
        ASSERT_TRUE(frame->RunCommand(c.command));
        EXPECT_EQ(view->TrafficMode(), c.traffic);
        const CommandState data = frame->Commands().State(cmd::ShowData);
        const CommandState traffic = frame->Commands().State(cmd::ShowTraffic);
        EXPECT_TRUE(data.enabled && traffic.enabled);
        EXPECT_EQ(data.checked, !c.traffic);
        EXPECT_EQ(traffic.checked, c.traffic);
        int controls = 0;
        for (QWidget* child : view->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
            if (!qobject_cast<QScrollBar*>(child)) {
                EXPECT_EQ(child->isHidden(), c.traffic) << child->objectName().toStdString();
                ++controls;
            }
        }
        EXPECT_EQ(controls, 5);   // three edit fields, the point-type list, the banner
    }
}

TEST_F(TrafficViewFixture, LinesBuiltInDataModeShowAtOnceInTrafficMode)
{
    const std::vector<std::uint16_t> request = {1, 3, 0, 0, 0, 10};
    frame->Traffic().AppendTraffic(request.data(), 6);
    frame->RelayTraffic(0, 0, 0);
    ASSERT_EQ(view->Traffic().Lines().size(), 1u);
    EXPECT_EQ(LineText(view->Traffic().Lines()[0]), "[001][003][000][000][000][010]");

    frame->RunCommand(cmd::ShowTraffic);
    const QImage shot = view->grab().toImage();
    const CDispSeg& seg = view->Traffic().Lines()[0].segments[0];
    ASSERT_GT(seg.cx, 0);
    const QColor grey(0xC0, 0xC0, 0xC0);
    EXPECT_GT(Share(shot, QRect(0, 0, seg.cx, seg.cy), grey), 0.5);
    // Below the line: the window's own colour, no traffic.
    EXPECT_EQ(Share(shot, QRect(0, seg.cy + 2, 40, 10), grey), 0.0);
}

TEST_F(TrafficViewFixture, BatchesInQuickSuccessionArePaintedTogether)
{
    frame->RunCommand(cmd::ShowTraffic);
    view->grab();   // the first traffic paint: rows from the top
    const std::uint16_t words[] = {1, 3, 0, 0, 0, 10};
    frame->Traffic().AppendTraffic(words, 6);
    frame->RelayTraffic(0, 0, 0);
    EXPECT_FALSE(view->TrafficPaintPending());   // the first batch is painted at once
    for (int i = 0; i < 3; ++i) {
        frame->Traffic().AppendTraffic(words, 6);
        frame->RelayTraffic(0, 0, 0);
        EXPECT_TRUE(view->TrafficPaintPending());
    }
    view->FlushTrafficPaint();   // the pacing timer's tick
    EXPECT_FALSE(view->TrafficPaintPending());
    ASSERT_EQ(view->Traffic().Lines().size(), 1u);
    EXPECT_EQ(view->Traffic().Lines()[0].EntryCount(), 24);

    // Data mode paints no traffic.
    frame->RunCommand(cmd::ShowData);
    frame->Traffic().AppendTraffic(words, 6);
    frame->RelayTraffic(0, 0, 0);
    EXPECT_FALSE(view->TrafficPaintPending());
}

// A real master against the real engine: its request and the engine's answer end up as two
// segments of one line, the answer inverted.
TEST_F(TrafficViewFixture, ThirdPartyMasterRequestAndAnswerShareALine)
{
    if (!QFile::exists("/usr/bin/python3"))
        GTEST_SKIP() << "no /usr/bin/python3 with pymodbus";
    frame->RunCommand(cmd::ShowTraffic);
    doc->SetWord(0, 1234);
    auto& engine = app->Engine();
    engine.SetTCPServicePort(0);
    const pomrel::Handle server = engine.OpenTCPConnection(nullptr, 1026);
    ASSERT_NE(server, pomrel::kNoHandle);
    const int port = engine.BoundTcpPort(server);

    QProcess master;
    master.start("/usr/bin/python3",
                 {"-c", QString("from pymodbus.client import ModbusTcpClient\n"
                                "c = ModbusTcpClient('127.0.0.1', port=%1, timeout=3)\n"
                                "assert c.connect()\n"
                                "rr = c.read_holding_registers(0, 5, slave=1)\n"
                                "print(rr.registers)\n"
                                "c.close()\n")
                            .arg(port)});
    // MBAP 7 + PDU 5 in, MBAP 7 + 2 + 10 out.
    const int expected = 12 + 19;
    QElapsedTimer waited;
    waited.start();
    while ((master.state() != QProcess::NotRunning || frame->Traffic().TrafficCount() < expected) &&
           waited.elapsed() < 20000) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        QThread::msleep(5);
    }
    engine.CloseConnection(server);
    ASSERT_EQ(master.exitCode(), 0) << master.readAllStandardError().toStdString();
    EXPECT_EQ(master.readAllStandardOutput().trimmed().toStdString(), "[1234, 0, 0, 0, 0]");
    ASSERT_EQ(frame->Traffic().TrafficCount(), expected);

    const auto& lines = view->Traffic().Lines();
    ASSERT_EQ(lines.size(), 1u);
    const CDispLine& line = lines[0];
    ASSERT_EQ(line.segments.size(), 2u);
    const CDispSeg& request = line.segments[0];
    const CDispSeg& answer = line.segments[1];
    EXPECT_EQ(request.attribute, 0);
    EXPECT_EQ(request.entryCount, 12);
    EXPECT_NE(answer.attribute, 0);
    EXPECT_EQ(answer.entryCount, 19);
    EXPECT_EQ(request.text.substr(request.text.size() - 25), "[003][000][000][000][005]");   // FC3, 0, 5
    EXPECT_EQ(answer.text.substr(35, 20), "[003][010][004][210]");   // FC3, 10 bytes, 1234

    const QImage shot = view->grab().toImage();
    const QColor grey(0xC0, 0xC0, 0xC0), black(0, 0, 0);
    EXPECT_GT(Share(shot, QRect(0, 0, request.cx, request.cy), grey), 0.5);
    EXPECT_GT(Share(shot, QRect(request.cx, 0, answer.cx, answer.cy), black), 0.5);
}

} // namespace
