// Tools > Traffic Monitor on the offscreen platform: frames handed to its sink show up at the
// next tick and the view follows the end unless scrolled up, the filter controls narrow the
// rows, Pause / Clear / Copy act on the rows, Save Capture writes every held frame as pcapng,
// the menu item sits in the Tools menu of both menu sets, register values read as the serving data
// window shows them, the Fault column and its filter, What's This on every control, and the
// window fits a 1024x768 screen with its columns as wide as their texts.
#include "TestApp.h"

#include "app/CMainFrame.h"
#include "app/CommandIds.h"
#include "document/CKelvaro32Doc.h"
#include "document/RegisterValues.h"
#include "view/CKelvaro32View.h"
#include "engine/ProtocolEngine.h"
#include "engine/TrafficLog.h"
#include "monitor/TrafficMonitorSink.h"
#include "monitor/TrafficMonitorWindow.h"
#include "monitor/TrafficTap.h"

#include <QAbstractItemModelTester>
#include <QApplication>
#include <QAbstractButton>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPushButton>
#include <QScrollBar>
#include <QTableView>
#include <QDeadlineTimer>
#include <QHeaderView>
#include <QScreen>
#include <QTest>
#include <QWhatsThis>
#include <QHostAddress>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <cstring>

using namespace monitor;
using pomrel::LinkId;

namespace {

// A Modbus/TCP request or answer from 127.0.0.1:40000 to the server at 127.0.0.1:502.
TappedFrame TcpFrame(std::int64_t us, int unit, int function, std::uint32_t address, bool answer,
                     std::uint16_t transaction = 1)
{
    TappedFrame f;
    f.record.monotonicUs = us;
    f.record.attribute = answer ? pomrel::kSent : pomrel::kReceived;
    f.record.source.link = {LinkId::Kind::Tcp, 0, 0};
    f.record.source.peer.family = 4;
    f.record.source.peer.bytes = {127, 0, 0, 1};
    f.record.source.peer.port = 40000;
    f.record.source.local.family = 4;
    f.record.source.local.bytes = {127, 0, 0, 1};
    f.record.source.local.port = 502;
    f.record.source.stream = 1;
    const std::uint8_t t0 = std::uint8_t(transaction >> 8), t1 = std::uint8_t(transaction);
    const std::uint8_t u = std::uint8_t(unit), fc = std::uint8_t(function);
    const std::uint8_t a0 = std::uint8_t(address >> 8), a1 = std::uint8_t(address);
    // Reading or writing one register holding 0x1234.
    if (function == 3)
        f.record.bytes = answer ? std::vector<std::uint8_t>{t0, t1, 0, 0, 0, 5, u, fc, 2, 0x12, 0x34}
                                : std::vector<std::uint8_t>{t0, t1, 0, 0, 0, 6, u, fc, a0, a1, 0, 1};
    else
        f.record.bytes = answer ? std::vector<std::uint8_t>{t0, t1, 0, 0, 0, 6, u, fc, a0, a1, 0, 1}
                                : std::vector<std::uint8_t>{t0, t1, 0, 0, 0, 9, u, fc, a0, a1, 0, 1, 2, 0x12, 0x34};
    f.record.size = static_cast<std::uint32_t>(f.record.bytes.size());
    f.decoded.ok = true;
    f.decoded.request = !answer;
    f.decoded.unit = unit;
    f.decoded.function = function;
    f.decoded.transactionId = transaction;
    f.decoded.address = address;
    f.decoded.quantity = 1;
    if (answer == (function == 3))
        f.decoded.values = {0x1234};
    return f;
}

TappedFrame SerialFrame(std::int64_t us, int port, int unit, bool badChecksum)
{
    TappedFrame f;
    f.record.monotonicUs = us;
    f.record.source.link = {LinkId::Kind::Serial, port, 0};
    f.record.bytes = {std::uint8_t(unit), 3, 0, 0, 0, 1, 0x84, 0x0A};
    f.record.size = 8;
    f.decoded.ok = true;
    f.decoded.unit = unit;
    f.decoded.function = 3;
    f.decoded.address = 0;
    f.decoded.quantity = 1;
    f.decoded.check = badChecksum ? DecodedFrame::Check::Bad : DecodedFrame::Check::Good;
    return f;
}

struct MonitorFixture : ::testing::Test {
    pomrel::ProtocolEngine engine;
    TrafficTap tap{engine};
    // Closed by the fixture, not by the user: no delete-on-close on a member.
    std::unique_ptr<TrafficMonitorWindow> window = std::make_unique<TrafficMonitorWindow>(tap);

    void SetUp() override
    {
        window->setAttribute(Qt::WA_DeleteOnClose, false);
        window->resize(900, 400);
        window->show();
    }
    void TearDown() override { window.reset(); }

    // What the tap's thread does with a batch, then the window's timer.
    void Arrive(const std::vector<TappedFrame>& frames, bool tick = true)
    {
        window->Sink().Take(frames);
        if (tick)
            window->Tick();
    }
    int Rows() const { return window->Model().rowCount(); }
    QString Cell(int row, int column) const { return window->Model().index(row, column).data().toString(); }
    template <class W> W* Child(const char* name) const { return window->findChild<W*>(name); }
};

std::vector<TappedFrame> Polls(int pairs, std::int64_t start = 0)
{
    std::vector<TappedFrame> frames;
    for (int i = 0; i < pairs; ++i) {
        frames.push_back(TcpFrame(start + 2 * i, 1 + i % 2, i % 3 ? 3 : 16, std::uint32_t(10 * i), false));
        frames.push_back(TcpFrame(start + 2 * i + 1, 1 + i % 2, i % 3 ? 3 : 16, std::uint32_t(10 * i), true));
    }
    return frames;
}

// pcapng blocks: type, total length, body, total length again (little-endian as written here).
struct Blocks {
    int sections = 0, interfaces = 0, packets = 0;
    std::vector<QByteArray> packetData;
    bool whole = false;
};

Blocks ReadPcapng(const QString& path)
{
    Blocks b;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return b;
    const QByteArray data = file.readAll();
    auto u32 = [&](qsizetype at) {
        std::uint32_t v = 0;
        std::memcpy(&v, data.constData() + at, 4);
        return v;
    };
    qsizetype at = 0;
    while (at + 12 <= data.size()) {
        const std::uint32_t type = u32(at), length = u32(at + 4);
        if (length < 12 || length % 4 || at + length > data.size() || u32(at + length - 4) != length)
            return b;
        if (type == 0x0A0D0D0A)
            ++b.sections;
        else if (type == 1)
            ++b.interfaces;
        else if (type == 6) {
            ++b.packets;
            const std::uint32_t captured = u32(at + 20);
            b.packetData.push_back(data.mid(at + 28, captured));
        }
        at += length;
    }
    b.whole = at == data.size();
    return b;
}

} // namespace

TEST_F(MonitorFixture, BatchesShowAtTheTickAndTheViewFollowsTheEndUntilScrolledUp)
{
    Arrive(Polls(5), false);
    EXPECT_EQ(Rows(), 0) << "nothing before the timer takes the batch";
    window->Tick();
    ASSERT_EQ(Rows(), 10);
    EXPECT_EQ(Cell(0, TrafficMonitorModel::kLink), "tcp");
    EXPECT_EQ(Cell(0, TrafficMonitorModel::kPeer), "127.0.0.1:40000");
    EXPECT_EQ(Cell(1, TrafficMonitorModel::kDirection), "tx");
    EXPECT_EQ(Cell(2, TrafficMonitorModel::kAddress), "10");
    EXPECT_EQ(Cell(3, TrafficMonitorModel::kValues), "4660") << "decoded again from the bytes";
    EXPECT_EQ(Cell(0, TrafficMonitorModel::kValues), "4660");

    // Enough rows to scroll: the view keeps the newest in sight.
    Arrive(Polls(200, 100));
    QScrollBar* bar = window->Table()->verticalScrollBar();
    ASSERT_GT(bar->maximum(), 0);
    EXPECT_EQ(bar->value(), bar->maximum());
    // Scrolled up by the user, it stays where it was while rows come in.
    bar->setValue(3);
    Arrive(Polls(50, 1000));
    EXPECT_EQ(bar->value(), 3);
    EXPECT_EQ(Rows(), 510);
    // Back at the end, it follows again.
    bar->setValue(bar->maximum());
    Arrive(Polls(50, 2000));
    EXPECT_EQ(bar->value(), bar->maximum());

    // The counts reach the status line within a few ticks.
    for (unsigned i = 0; i < 5; ++i)
        window->Tick();
    EXPECT_TRUE(window->StatusLine()->text().startsWith("610 rows shown of 610 kept"))
        << window->StatusLine()->text().toStdString();
}

TEST_F(MonitorFixture, FilterControlsNarrowTheRows)
{
    Arrive(Polls(6));  // units 1,2,1,2,1,2; functions 16,3,3,16,3,3; addresses 0..50
    Arrive({SerialFrame(100, 1, 7, false), SerialFrame(101, 2, 7, true)});
    ASSERT_EQ(Rows(), 14);

    auto* link = Child<QComboBox>("link");
    ASSERT_EQ(link->count(), 4) << "All links, tcp, serial:1, serial:2";
    link->setCurrentIndex(link->findText("serial:2"));
    ASSERT_TRUE(window->ApplyFilter());
    ASSERT_EQ(Rows(), 1);
    EXPECT_EQ(Cell(0, TrafficMonitorModel::kLink), "serial:2");
    link->setCurrentIndex(0);

    const struct {
        const char* unit;
        const char* function;  // text of the function filter's entry, or null for all
        const char* address;
        bool errorsOnly;
        int rows;
    } cases[] = {
        {"", nullptr, "", false, 14},
        {"2", nullptr, "", false, 6},
        {"", "16 ", "", false, 4},
        {"1", "3 ", "", false, 4},      // pairs 2 and 4
        {"", nullptr, "10-20", false, 4},  // pairs 1 and 2
        {"7", nullptr, "", false, 2},
        {"", nullptr, "", true, 1},     // the bad checksum
    };
    for (const auto& c : cases) {
        Child<QLineEdit>("unit")->setText(c.unit);
        auto* function = Child<QComboBox>("function");
        function->setCurrentIndex(c.function ? function->findText(c.function, Qt::MatchStartsWith) : 0);
        Child<QLineEdit>("address")->setText(c.address);
        QSignalBlocker quiet(Child<QCheckBox>("errorsOnly"));
        Child<QCheckBox>("errorsOnly")->setChecked(c.errorsOnly);
        ASSERT_TRUE(window->ApplyFilter()) << c.unit << " " << c.address;
        EXPECT_EQ(Rows(), c.rows) << "unit " << c.unit << " function " << (c.function ? c.function : "all")
                                  << " address " << c.address << " errors " << c.errorsOnly;
    }

    // Rows arriving later obey the filter in force.
    Arrive({SerialFrame(200, 1, 7, true), SerialFrame(201, 1, 7, false)});
    EXPECT_EQ(Rows(), 2);

    // A field that does not read leaves the filter as it was and says why.
    Child<QLineEdit>("unit")->setText("300");
    EXPECT_FALSE(window->ApplyFilter());
    EXPECT_EQ(Rows(), 2);
    EXPECT_TRUE(window->StatusLine()->text().contains("unit: a number 0 to 255")) << window->StatusLine()->text().toStdString();
}

TEST_F(MonitorFixture, PauseClearAndCopyRows)
{
    Arrive(Polls(2));
    Child<QPushButton>("pause")->click();
    Arrive(Polls(3, 100));
    EXPECT_EQ(Rows(), 4) << "paused: rows stay still";
    EXPECT_TRUE(window->StatusLine()->text().contains("paused, 6 waiting")) << window->StatusLine()->text().toStdString();
    Child<QPushButton>("pause")->click();
    EXPECT_EQ(Rows(), 10) << "resumed: what came meanwhile is shown";

    window->Table()->selectRow(1);
    window->Table()->selectionModel()->select(window->Model().index(3, 0),
                                              QItemSelectionModel::Select | QItemSelectionModel::Rows);
    Child<QPushButton>("copy")->click();
    const QStringList lines = QApplication::clipboard()->text().split('\n', Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 2);
    EXPECT_EQ(lines[0].split('\t').value(TrafficMonitorModel::kDirection), "tx");
    EXPECT_EQ(lines[1].split('\t').value(TrafficMonitorModel::kAddress), "10");
    EXPECT_EQ(lines[0].split('\t').size(), TrafficMonitorModel::kBytes) << "no bytes unless shown";
    Child<QCheckBox>("bytes")->setChecked(true);
    EXPECT_FALSE(window->Table()->isColumnHidden(TrafficMonitorModel::kBytes));
    Child<QPushButton>("copy")->click();
    EXPECT_EQ(QApplication::clipboard()->text().split('\n').value(0).split('\t').value(TrafficMonitorModel::kBytes),
              "00 01 00 00 00 06 01 10 00 00 00 01");

    Child<QPushButton>("clear")->click();
    EXPECT_EQ(Rows(), 0);
    Arrive(Polls(1, 500));
    EXPECT_EQ(Rows(), 2);
}

TEST_F(MonitorFixture, SaveCaptureWritesEveryHeldFrameWholeOrNothing)
{
    QTemporaryDir dir;
    Arrive(Polls(3));
    Arrive({SerialFrame(50, 1, 7, false)});
    // Held but filtered out of sight: saved all the same.
    Child<QLineEdit>("unit")->setText("7");
    ASSERT_TRUE(window->ApplyFilter());
    ASSERT_EQ(Rows(), 1);

    const QString path = dir.filePath("held.pcapng");
    window->askFileName = [&](const QString&, const QString&) { return path; };
    Child<QPushButton>("saveCapture")->click();
    const Blocks blocks = ReadPcapng(path);
    EXPECT_TRUE(blocks.whole);
    EXPECT_EQ(blocks.sections, 1);
    EXPECT_EQ(blocks.interfaces, 2) << "one per link: tcp and serial:1";
    // Each frame's bytes are inside one packet, in order.
    const TrafficMonitorModel& rows = window->Model().Rows();
    std::size_t packet = 0;
    for (std::size_t i = 0; i < rows.KeptCount(); ++i) {
        const TappedFrame& f = rows.Kept(i);
        QByteArray bytes(reinterpret_cast<const char*>(f.record.bytes.data()), qsizetype(f.record.bytes.size()));
        if (f.record.source.link.kind == LinkId::Kind::Serial)
            bytes.chop(2);  // the CRC may be written anew
        while (packet < blocks.packetData.size() && !blocks.packetData[packet].contains(bytes))
            ++packet;
        EXPECT_LT(packet, blocks.packetData.size()) << "frame at " << f.record.monotonicUs << " not in the capture";
        ++packet;
    }

    // A folder that is not there: refused with the reason, nothing left behind.
    QString error;
    EXPECT_FALSE(window->SaveCapture(dir.filePath("missing/held.pcapng"), error));
    EXPECT_TRUE(error.contains("not saved")) << error.toStdString();
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList{"held.pcapng"});

    // Saved through a symbolic link: the link stays, the file it names gets the capture.
    const QString target = dir.filePath("target.pcapng"), link = dir.filePath("link.pcapng");
    {
        QFile old(target);
        ASSERT_TRUE(old.open(QIODevice::WriteOnly));
        old.write("old");
    }
    ASSERT_TRUE(QFile::link(target, link));
    ASSERT_TRUE(window->SaveCapture(link, error)) << error.toStdString();
    EXPECT_TRUE(QFileInfo(link).isSymLink());
    EXPECT_EQ(ReadPcapng(target).packets, blocks.packets);
}

TEST_F(MonitorFixture, CaptureAndLogFollowTheTapUntilStopped)
{
    QTemporaryDir dir;
    QString error;
    ASSERT_TRUE(window->StartCapture(dir.filePath("live.pcapng"), error)) << error.toStdString();
    ASSERT_TRUE(window->StartLog(dir.filePath("live.jsonl"), error)) << error.toStdString();
    window->Tick();
    EXPECT_TRUE(window->StatusLine()->text().contains("capturing to " + dir.filePath("live.pcapng")));
    EXPECT_TRUE(window->StatusLine()->text().contains("logging to " + dir.filePath("live.jsonl")));
    EXPECT_EQ(Child<QPushButton>("capture")->text(), "Stop &Capture");
    Child<QPushButton>("capture")->click();
    Child<QPushButton>("log")->click();
    EXPECT_FALSE(window->Capturing());
    EXPECT_FALSE(window->Logging());
    EXPECT_TRUE(ReadPcapng(dir.filePath("live.pcapng")).whole);
    EXPECT_EQ(ReadPcapng(dir.filePath("live.pcapng")).sections, 1);
    EXPECT_TRUE(QFile::exists(dir.filePath("live.jsonl")));

    EXPECT_FALSE(window->StartCapture(dir.filePath("missing/live.pcapng"), error));
    EXPECT_TRUE(error.startsWith("Capture not started")) << error.toStdString();
    EXPECT_FALSE(window->Capturing());
}
TEST_F(MonitorFixture, FramesFromTheEngineReachTheRowsThroughTheTap)
{
    engine.SetTCPServicePort(0);
    const pomrel::Handle server = engine.OpenTCPConnection(nullptr, 1026);
    ASSERT_NE(server, pomrel::kNoHandle) << engine.LastOpenError();
    QTcpSocket master;
    master.connectToHost(QHostAddress::LocalHost, quint16(engine.BoundTcpPort(server)));
    ASSERT_TRUE(master.waitForConnected(5000));
    // Read Holding Registers 100..109 of unit 1, transaction 7.
    master.write(QByteArray::fromHex("00070000000601030064000a"));
    ASSERT_TRUE(master.waitForBytesWritten(5000));

    // The tap's thread decodes and hands over; the ticks take it. A deadline, not a measurement.
    QDeadlineTimer deadline(10000);
    while (Rows() < 1 && !deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        window->Tick();
    }
    engine.CloseConnection(server);
    ASSERT_GE(Rows(), 1) << "no frame reached the monitor";
    EXPECT_EQ(Cell(0, TrafficMonitorModel::kLink), "tcp");
    EXPECT_TRUE(Cell(0, TrafficMonitorModel::kPeer).startsWith("127.0.0.1:"));
    EXPECT_EQ(Cell(0, TrafficMonitorModel::kDirection), "rx");
    EXPECT_EQ(Cell(0, TrafficMonitorModel::kUnit), "1");
    EXPECT_EQ(Cell(0, TrafficMonitorModel::kFunction), "Read Holding Registers");
    EXPECT_EQ(Cell(0, TrafficMonitorModel::kAddress), "100-109");
}

TEST(TrafficTableModel, KeepsQtsModelContractThroughDropsFiltersPauseAndClear)
{
    // Qt's model tester checks every signal against the rows before and after; a begin/end pair
    // with the wrong rows, or rows changed outside one, is reported as a warning.
    static int warnings = 0;
    warnings = 0;
    const QtMessageHandler previous = qInstallMessageHandler([](QtMsgType type, const QMessageLogContext&, const QString& text) {
        if (type != QtDebugMsg) {
            ++warnings;
            std::fprintf(stderr, "%s\n", qPrintable(text));
        }
    });
    {
        TrafficTableModel model;
        model.Rows().SetRowLimit(50);
        QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::Warning);
        std::int64_t us = 0;
        auto add = [&](int pairs) {
            model.Rows().Append(Polls(pairs, us));
            us += 2 * pairs;
            EXPECT_EQ(model.rowCount(), int(model.Rows().ShownCount()));
        };
        add(10);
        add(30);   // past the limit: the oldest go
        add(100);  // a batch longer than the limit
        MonitorFilter unit2;
        unit2.unit = 2;
        model.Rows().SetFilter(unit2);
        add(7);
        model.Rows().SetPaused(true);
        add(40);
        model.Rows().SetPaused(false);
        model.Rows().SetFilter({});
        model.Rows().Clear();
        add(3);
        model.Rows().SetRowLimit(2);
        add(1);
    }
    qInstallMessageHandler(previous);
    EXPECT_EQ(warnings, 0);
}

TEST(TrafficMonitorMenu, ToolsOpensOneMonitorInBothMenuSets)
{
    QTemporaryDir dir;
    auto app = std::make_unique<CKelvaro32App>(TestAppOptions(dir.path().toStdString()));
    ASSERT_TRUE(app->InitInstance({}));
    for (int menu : {128, 129}) {
        if (menu == 129)
            app->NewDocument();
        ASSERT_EQ(app->mainFrame->CurrentMenuId(), menu);
        QMenu* tools = nullptr;
        for (QAction* a : app->mainFrame->menuBar()->actions())
            if (a->text() == "&Tools")
                tools = a->menu();
        ASSERT_NE(tools, nullptr);
        QStringList items;
        for (QAction* a : tools->actions())
            items << a->text();
        EXPECT_TRUE(items.contains("Traffic &Monitor")) << items.join(", ").toStdString();
    }
    app->mainFrame->RunCommand(cmd::ToolsTrafficMonitor);
    app->mainFrame->RunCommand(cmd::ToolsTrafficMonitor);
    EXPECT_EQ(app->mainFrame->findChildren<TrafficMonitorWindow*>().size(), 1) << "a second run raises the first";
    app->Shutdown();
}

namespace {

// An answer to a read of `words.size()` registers from `address`, paired with its request.
TappedFrame ReadAnswer(std::int64_t us, int unit, std::uint32_t address, const std::vector<std::uint16_t>& words,
                       const std::string& fault = {})
{
    TappedFrame f = TcpFrame(us, unit, 3, address, true);
    // The window's sink keeps the bytes, not the values: the rows decode them again.
    const std::size_t count = words.size() * 2;
    f.record.bytes = {0, 1, 0, 0, std::uint8_t((count + 3) >> 8), std::uint8_t(count + 3), std::uint8_t(unit), 3,
                      std::uint8_t(count)};
    for (std::uint16_t w : words) {
        f.record.bytes.push_back(std::uint8_t(w >> 8));
        f.record.bytes.push_back(std::uint8_t(w));
    }
    f.record.size = std::uint32_t(f.record.bytes.size());
    f.decoded.quantity = std::uint32_t(words.size());
    f.decoded.values = words;
    f.record.fault = fault;
    return f;
}

} // namespace

TEST(TrafficMonitorValues, ShowInTheServingWindowsFormatWithTheRawWordsAClickAway)
{
    QTemporaryDir dir;
    auto app = std::make_unique<CKelvaro32App>(TestAppOptions(dir.path().toStdString()));
    ASSERT_TRUE(app->InitInstance({}));
    CKelvaro32Doc* doc = app->NewDocument();
    ASSERT_NE(doc, nullptr);
    ASSERT_NE(app->mainFrame->ActiveView(), nullptr);
    // Holding registers 0-99 of unit 1, shown as floats.
    doc->deviceId = 1;
    doc->pointType = 3;
    doc->startAddress = 1;
    doc->length = 100;
    app->mainFrame->ActiveView()->SetDisplayFormat(kFloat);
    app->mainFrame->RunCommand(cmd::ToolsTrafficMonitor);
    auto* window = app->mainFrame->findChild<TrafficMonitorWindow*>();
    ASSERT_NE(window, nullptr);

    // 3.14159f is 0x40490FD0, its low word first as a Float window keeps it.
    window->Sink().Take(std::vector<TappedFrame>{ReadAnswer(1, 1, 0, {0x0FD0, 0x4049}),
                                                 ReadAnswer(2, 7, 0, {0x0FD0, 0x4049})});
    window->Tick();
    auto cell = [&](int row, int role = Qt::DisplayRole) {
        return window->Model().index(row, TrafficMonitorModel::kValues).data(role).toString();
    };
    ASSERT_EQ(window->Model().rowCount(), 2);
    EXPECT_EQ(cell(0), "3.1416");
    EXPECT_EQ(cell(0, Qt::ToolTipRole), "Raw words: 4048 16457");
    EXPECT_EQ(cell(1), "4048 16457") << "unit 7 has no window";
    EXPECT_EQ(cell(1, Qt::ToolTipRole), "");

    // The window's format followed as it changes.
    app->mainFrame->ActiveView()->SetDisplayFormat(kHex);
    EXPECT_EQ(cell(0), "0FD0H 4049H");
    app->mainFrame->ActiveView()->SetDisplayFormat(kFloat);

    auto* raw = window->findChild<QCheckBox*>("rawWords");
    ASSERT_NE(raw, nullptr);
    raw->click();
    EXPECT_EQ(cell(0), "4048 16457");
    EXPECT_EQ(cell(0, Qt::ToolTipRole), "");
    raw->click();
    EXPECT_EQ(cell(0), "3.1416");
    app->Shutdown();
}

TEST_F(MonitorFixture, FaultColumnNamesTheRuleAndItsFilterPicksTheRows)
{
    Arrive({ReadAnswer(1, 1, 0, {1}, "slow unit 1"), ReadAnswer(2, 1, 0, {2}), ReadAnswer(3, 2, 0, {3}, "Garble 2")});
    ASSERT_EQ(Rows(), 3);
    EXPECT_EQ(Cell(0, TrafficMonitorModel::kFault), "slow unit 1");
    EXPECT_EQ(Cell(1, TrafficMonitorModel::kFault), "");
    EXPECT_EQ(window->Model().headerData(TrafficMonitorModel::kFault, Qt::Horizontal, Qt::DisplayRole), "Fault");

    auto* fault = Child<QComboBox>("fault");
    ASSERT_NE(fault, nullptr);
    QStringList offered;
    for (int i = 0; i < fault->count(); ++i)
        offered << fault->itemText(i);
    EXPECT_EQ(offered, (QStringList{"", kAnyFault, "slow unit 1", "Garble 2"}));

    const struct {
        QString text;
        int rows;
    } cases[] = {{kAnyFault, 2}, {"*", 2}, {"garble", 1}, {"unit 1", 1}, {"none such", 0}, {"", 3}};
    for (const auto& c : cases) {
        fault->setEditText(c.text);
        emit fault->lineEdit()->editingFinished();
        EXPECT_EQ(Rows(), c.rows) << c.text.toStdString();
    }
    fault->setCurrentIndex(1);
    emit fault->activated(1);
    EXPECT_EQ(Rows(), 2) << "(any fault) picked from the list";
}

TEST_F(MonitorFixture, EveryControlSaysWhatItDoesAndShiftF1AsksForIt)
{
    int controls = 0;
    for (QWidget* w : window->findChildren<QWidget*>()) {
        if (w->focusPolicy() == Qt::NoFocus || !w->isVisibleTo(window.get()))
            continue;
        ++controls;
        EXPECT_FALSE(w->whatsThis().isEmpty()) << w->metaObject()->className() << " " << w->objectName().toStdString();
    }
    EXPECT_GE(controls, 14) << "five filters, the table, three buttons and two boxes, three file buttons";

    window->activateWindow();
    QTest::keyClick(window.get(), Qt::Key_F1, Qt::ShiftModifier);
    EXPECT_TRUE(QWhatsThis::inWhatsThisMode());
    QWhatsThis::leaveWhatsThisMode();
}

TEST(TrafficMonitorScreen, PlacedInsideTheWorkArea)
{
    const QMargins frame = TrafficMonitorWindow::FrameAllowance();
    const QRect screen(0, 0, 1024, 768);
    const struct {
        const char* name;
        QRect wanted, available, placed;
    } cases[] = {
        {"room enough: as wanted", {40, 40, 600, 400}, screen, {40, 40, 600, 400}},
        {"too wide and tall: the work area less the frame", {40, 40, 1100, 900}, screen,
         screen.marginsRemoved(frame)},
        {"off the right and bottom: moved in", {900, 700, 600, 400}, screen,
         {1024 - frame.right() - 600, 768 - frame.bottom() - 400, 600, 400}},
        {"above a top panel: moved below it", {-50, 0, 600, 400}, {0, 30, 1024, 738}, {frame.left(), 30 + frame.top(), 600, 400}},
        {"second screen", {0, 0, 1100, 560}, {1024, 0, 1024, 768}, {1024 + frame.left(), frame.top(), 1024 - 16, 560}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(TrafficMonitorWindow::PlaceInside(c.wanted, c.available), c.placed) << c.name;
}

TEST(TrafficMonitorScreen, OpensInsideA1024x768ScreenWithEveryButtonReachableAndColumnsFittingTheirTexts)
{
    // Run at 1024x768 by its own ctest entry (an offscreen screen of that size); on a smaller
    // offscreen screen it has nothing to show.
    QScreen* screen = QGuiApplication::primaryScreen();
    ASSERT_NE(screen, nullptr);
    const QRect available = screen->availableGeometry();
    if (qEnvironmentVariableIsSet("KELVARO_SCREEN_1024X768")) {
        ASSERT_EQ(screen->geometry(), QRect(0, 0, 1024, 768)) << "the offscreen screen's configuration was not read";
    }
    if (available.width() < 1024 || available.height() < 768)
        GTEST_SKIP() << "screen " << available.width() << "x" << available.height();

    pomrel::ProtocolEngine engine;
    TrafficTap tap{engine};
    TrafficMonitorWindow window(tap);
    window.setAttribute(Qt::WA_DeleteOnClose, false);
    window.show();
    EXPECT_TRUE(available.marginsRemoved(TrafficMonitorWindow::FrameAllowance()).contains(window.geometry()))
        << window.geometry().width() << "x" << window.geometry().height();
    EXPECT_LE(window.minimumSizeHint().width(), window.width());

    // At the size it opened with, no button or box is cut off or squeezed.
    for (QWidget* w : window.findChildren<QWidget*>()) {
        if (!qobject_cast<QAbstractButton*>(w) && !qobject_cast<QComboBox*>(w) && !qobject_cast<QLineEdit*>(w))
            continue;
        if (!w->isVisibleTo(&window) || w->parentWidget() != &window)
            continue;
        const QRect where(w->mapTo(&window, QPoint(0, 0)), w->size());
        EXPECT_TRUE(window.rect().contains(where)) << w->objectName().toStdString();
        if (qobject_cast<QAbstractButton*>(w)) {
            EXPECT_GE(w->width(), w->sizeHint().width()) << w->objectName().toStdString();
        }
    }

    // The widest texts of their columns fit them: a function with "(exception)", 125 values
    // with their count, a fault rule's name.
    TappedFrame exception = TcpFrame(1, 1, 23, 0, true);
    exception.decoded.exception = 4;
    TappedFrame values = ReadAnswer(2, 1, 0, std::vector<std::uint16_t>(125, 65535), "delay every read");
    window.Sink().Take(std::vector<TappedFrame>{exception, values});
    window.Tick();
    ASSERT_EQ(window.Model().rowCount(), 2);
    const QFontMetrics metrics(window.Table()->font());
    for (int row = 0; row < 2; ++row)
        for (int c : {TrafficMonitorModel::kFunction, TrafficMonitorModel::kValues, TrafficMonitorModel::kFault}) {
            const QString text = window.Model().index(row, c).data().toString();
            EXPECT_GE(window.Table()->horizontalHeader()->sectionSize(c), metrics.horizontalAdvance(text) + 6)
                << text.toStdString();
        }
}
