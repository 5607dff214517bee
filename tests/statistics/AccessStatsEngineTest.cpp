// The windows against the real engine and a real Modbus/TCP master on loopback: a master reads
// 40001-40010 ten times and writes 40020 once; the data window's tooltip, the frame's marks and
// Tools > Access Statistics agree with what it did and name it as the last writer.
#include "TestApp.h"

#include "app/CChildFrame.h"
#include "app/CMainFrame.h"
#include "app/CommandIds.h"
#include "document/CKelvaro32Doc.h"
#include "statistics/AccessStatsWindow.h"
#include "view/CKelvaro32View.h"

#include <QCheckBox>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <gtest/gtest.h>

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
