// The windows against the real engine and a real Modbus/TCP master on loopback: a master reads
// 40001-40010 and writes 40020 once; the data window's tooltip, the frame's marks, Tools > Access
// Statistics, GetAccessStats and the access report agree with what it did and name it as the
// last writer. One master is a few raw requests, the other pymodbus in a process of its own.
#include "TestApp.h"

#include "app/CChildFrame.h"
#include "app/CMainFrame.h"
#include "app/CommandIds.h"
#include "app/HeadlessRun.h"
#include "automation/MethodRegistry.h"
#include "document/CKelvaro32Doc.h"
#include "statistics/AccessStatsWindow.h"
#include "view/CKelvaro32View.h"

#include <QAbstractItemModel>
#include <QCheckBox>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTableView>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

using namespace statistics;

namespace {

// One request, its whole answer back (a lock-step master).
QByteArray Ask(QTcpSocket& s, quint16 id, const QByteArray& pdu)
{
    QByteArray adu;
    adu.append(char(id >> 8)).append(char(id & 0xFF)).append(2, '\0');
    adu.append(char(0)).append(char(pdu.size() + 1)).append(char(1)).append(pdu);
    s.write(adu);
    s.waitForBytesWritten(5000);
    QByteArray answer;
    while (answer.size() < 7 || answer.size() < 6 + static_cast<unsigned char>(answer[5])) {
        if (!s.waitForReadyRead(5000))
            break;
        answer += s.readAll();
    }
    return answer;
}

} // namespace

TEST(AccessStatsWithAMaster, TooltipMarksAndTableAgreeWithWhatTheMasterDid)
{
    QTemporaryDir dir;
    auto app = std::make_unique<CKelvaro32App>(TestAppOptions(dir.path().toStdString()));
    ASSERT_TRUE(app->InitInstance({}));
    CMainFrame* frame = app->mainFrame;
    CKelvaro32Doc* doc = app->NewDocument();   // unit 1, holding registers 1..1000
    ASSERT_NE(doc, nullptr);
    quint16 port = 0;
    {
        QTcpServer probe;
        ASSERT_TRUE(probe.listen(QHostAddress::LocalHost, 0));
        port = probe.serverPort();
    }
    ASSERT_NE(frame->Connections().OpenServer(port), pomrel::kNoHandle);
    if (app->Engine().AccessStats(1, 3, 1, 1).empty())
        GTEST_SKIP() << "this engine keeps no access counts";

    QTcpSocket master;
    master.connectToHost(QHostAddress::LocalHost, port);
    ASSERT_TRUE(master.waitForConnected(5000));
    for (quint16 i = 1; i <= 10; ++i)
        ASSERT_EQ(Ask(master, i, QByteArray::fromHex("030000000a")).size(), 9 + 20) << i;
    ASSERT_EQ(Ask(master, 11, QByteArray::fromHex("060013abcd")).size(), 12);
    const std::string writer = "tcp 127.0.0.1:" + std::to_string(master.localPort());

    // The tooltip of 40001 and of 40020 in the data window (ages left out: they move).
    CKelvaro32View* view = frame->ActiveView();
    ASSERT_NE(view, nullptr);
    view->resize(900, 500);
    view->grab();
    const auto tip = [&](int k) {
        const auto p = view->Layout().ItemPosition(k);
        return view->AccessToolTip(QPoint(p.x + 2, p.y + 2)).toStdString();
    };
    EXPECT_EQ(tip(0).substr(0, tip(0).find("\nread ")), "40001\nreads 10, writes 0");
    EXPECT_NE(tip(0).find("never written"), std::string::npos) << tip(0);
    const std::string written = tip(19);
    EXPECT_EQ(written.substr(0, written.find('\n', 6)), "40020\nreads 0, writes 1") << written;
    EXPECT_NE(written.find("never read\nwritten "), std::string::npos) << written;
    EXPECT_EQ(written.substr(written.size() - writer.size()), writer) << written;

    // Marks: a point nobody read is told apart whatever the time.
    frame->SetAccessMarks(true);
    view->grab();
    EXPECT_EQ(view->ShownMark(500), AccessMark::kNeverRead);

    // The window: every point of the block, the counts, the filters.
    ASSERT_TRUE(frame->RunCommand(cmd::ToolsAccessStatistics));
    auto* window = frame->findChild<AccessStatsWindow*>(QString(), Qt::FindDirectChildrenOnly);
    ASSERT_NE(window, nullptr);
    window->Tick();
    const AccessStatsModel& rows = window->Points().Rows();
    ASSERT_EQ(rows.TotalCount(), 1000u);
    EXPECT_EQ(rows.Shown(0).reads, 10u);
    EXPECT_EQ(rows.Shown(9).reads, 10u);
    EXPECT_EQ(rows.Shown(10).reads, 0u);
    EXPECT_EQ(rows.Shown(19).writes, 1u);
    EXPECT_EQ(rows.Shown(19).lastWriter, writer);
    QTest::mouseClick(window->findChild<QCheckBox*>("written"), Qt::LeftButton);
    ASSERT_EQ(rows.ShownCount(), 1u);
    EXPECT_EQ(rows.Shown(0).address, 20u);
    QTest::mouseClick(window->findChild<QCheckBox*>("written"), Qt::LeftButton);
    QTest::mouseClick(window->findChild<QCheckBox*>("neverRead"), Qt::LeftButton);
    EXPECT_EQ(rows.ShownCount(), 990u);

    // Reset reaches the engine.
    window->Reset();
    EXPECT_EQ(window->Points().Rows().Shown(0).reads, 0u);
    EXPECT_EQ(window->Points().Rows().ShownCount(), 1000u);
    app->Shutdown();
}

namespace {

// A pymodbus master (Debian's, so /usr/bin/python3): tells its own port, reads 40001-40010
// twenty times 100 ms apart, writes 40020 once. Exit 77 when pymodbus is not there.
constexpr const char* kPymodbusMaster = R"(
import sys, time
try:
    from pymodbus.client import ModbusTcpClient
except ImportError:
    sys.exit(77)
c = ModbusTcpClient("127.0.0.1", port=int(sys.argv[1]), timeout=5)
if not c.connect():
    sys.exit(2)
print(c.socket.getsockname()[1], flush=True)
for _ in range(20):
    r = c.read_holding_registers(0, 10, slave=1)
    if r.isError() or len(r.registers) != 10:
        sys.exit(3)
    time.sleep(0.1)
if c.write_register(19, 0xABCD, slave=1).isError():
    sys.exit(4)
c.close()
)";

} // namespace

TEST(AccessStatsWithAMaster, APymodbusMasterIsCountedAlikeInTooltipTableAutomationAndReport)
{
    const QString python = "/usr/bin/python3";
    if (!QFileInfo(python).isExecutable())
        GTEST_SKIP() << "no " << python.toStdString();
    QTemporaryDir dir;
    auto app = std::make_unique<CKelvaro32App>(TestAppOptions(dir.path().toStdString()));
    ASSERT_TRUE(app->InitInstance({}));
    CMainFrame* frame = app->mainFrame;
    ASSERT_NE(app->NewDocument(), nullptr);   // unit 1, holding registers 1..1000
    const pomrel::Handle server = frame->Connections().OpenServer(0);
    ASSERT_NE(server, pomrel::kNoHandle);
    const quint16 port = app->Engine().BoundTcpPort(server);
    ASSERT_NE(port, 0);
    if (app->Engine().AccessStats(1, 3, 1, 1).empty())
        GTEST_SKIP() << "this engine keeps no access counts";
    CKelvaro32View* view = frame->ActiveView();
    ASSERT_NE(view, nullptr);
    view->resize(900, 500);
    frame->SetAccessMarks(true);

    // The master runs beside the program; the program's own event loop keeps going meanwhile
    // (windows refresh, the engine's news arrive) as it would for a user.
    QProcess master;
    master.start(python, {"-c", kPymodbusMaster, QString::number(port)});
    ASSERT_TRUE(master.waitForStarted(10000));
    QElapsedTimer limit;
    limit.start();
    while (master.state() != QProcess::NotRunning && limit.elapsed() < 60000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    if (master.state() != QProcess::NotRunning) {
        master.kill();
        master.waitForFinished(5000);
        FAIL() << "the master did not finish";
    }
    if (master.exitCode() == 77)
        GTEST_SKIP() << "pymodbus is not installed for " << python.toStdString();
    ASSERT_EQ(master.exitStatus(), QProcess::NormalExit);
    ASSERT_EQ(master.exitCode(), 0) << master.readAllStandardError().toStdString();
    bool ok = false;
    const int masterPort = QString::fromLatin1(master.readAllStandardOutput()).trimmed().toInt(&ok);
    ASSERT_TRUE(ok && masterPort > 0);
    const std::string writer = "tcp 127.0.0.1:" + std::to_string(masterPort);

    // The data window's tooltips (the ages left out: they move).
    view->grab();
    const auto tip = [&](int k) {
        const auto p = view->Layout().ItemPosition(k);
        return view->AccessToolTip(QPoint(p.x + 2, p.y + 2)).toStdString();
    };
    const std::string read = tip(0);
    EXPECT_EQ(read.substr(0, read.find("\nread ")), "40001\nreads 20, writes 0") << read;
    EXPECT_NE(read.find("never written"), std::string::npos) << read;
    const std::string tenth = tip(9);
    EXPECT_EQ(tenth.substr(0, tenth.find("\nread ")), "40010\nreads 20, writes 0") << tenth;
    const std::string written = tip(19);
    EXPECT_EQ(written.substr(0, written.find('\n', 6)), "40020\nreads 0, writes 1") << written;
    EXPECT_EQ(written.substr(written.size() - writer.size()), writer) << written;

    // Tools > Access Statistics: the rows as the table shows them.
    ASSERT_TRUE(frame->RunCommand(cmd::ToolsAccessStatistics));
    auto* window = frame->findChild<AccessStatsWindow*>(QString(), Qt::FindDirectChildrenOnly);
    ASSERT_NE(window, nullptr);
    window->Tick();
    const QAbstractItemModel* table = window->PointsTable()->model();
    ASSERT_EQ(table->rowCount(), 1000);
    const auto cell = [&](int row, int column) { return table->index(row, column).data().toString().toStdString(); };
    struct Row {
        int row;
        const char* address;
        const char* reads;
        const char* writes;
        std::string lastWriter;
    };
    for (const Row& r : {Row{0, "1", "20", "0", ""}, Row{9, "10", "20", "0", ""},
                         Row{10, "11", "0", "0", ""}, Row{19, "20", "0", "1", writer}}) {
        SCOPED_TRACE(r.address);
        EXPECT_EQ(cell(r.row, AccessStatsModel::kAddress), r.address);
        EXPECT_EQ(cell(r.row, AccessStatsModel::kReads), r.reads);
        EXPECT_EQ(cell(r.row, AccessStatsModel::kWrites), r.writes);
        EXPECT_EQ(cell(r.row, AccessStatsModel::kLastWriter), r.lastWriter);
    }

    // GetAccessStats as an automation client gets it, and the access report file.
    const MethodOutcome asked = app->Methods()->Call("GetAccessStats", nlohmann::json{1, 3, 1, 20});
    ASSERT_FALSE(asked.Failed()) << asked.errorMessage;
    const nlohmann::json& points = asked.result["points"];
    ASSERT_EQ(points.size(), 20u);
    const std::string reportPath = dir.filePath("access.json").toStdString();
    ASSERT_TRUE(WriteAccessReport(*app, reportPath));
    QFile reportFile(QString::fromStdString(reportPath));
    ASSERT_TRUE(reportFile.open(QIODevice::ReadOnly));
    const nlohmann::json report = nlohmann::json::parse(reportFile.readAll().toStdString(), nullptr, false);
    ASSERT_TRUE(report.contains("points")) << report.dump();
    const auto reported = [&](int address) {
        for (const auto& p : report["points"])
            if (p["unit"] == 1 && p["type"] == 3 && p["address"] == address)
                return p;
        return nlohmann::json();
    };
    for (const nlohmann::json& p : {points[0], points[9], reported(1), reported(10)}) {
        EXPECT_EQ(p["reads"], 20) << p.dump();
        EXPECT_EQ(p["writes"], 0) << p.dump();
        EXPECT_FALSE(p.contains("last_writer")) << p.dump();
    }
    for (const nlohmann::json& p : {points[19], reported(20)}) {
        EXPECT_EQ(p["reads"], 0) << p.dump();
        EXPECT_EQ(p["writes"], 1) << p.dump();
        EXPECT_EQ(p.value("last_writer", ""), writer) << p.dump();
    }
    EXPECT_EQ(points[10]["reads"], 0);
    app->Shutdown();
}
