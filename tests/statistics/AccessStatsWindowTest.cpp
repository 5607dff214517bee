// Tools > Access Statistics on the offscreen platform, fed with hand-made snapshots: rows, sorting
// through the header, the filters, Reset, Export CSV and the Not served tab; one window, not modal,
// from the Tools menu; Display > Access Marks checkable and remembered.
#include "TestApp.h"

#include "app/CMainFrame.h"
#include "app/CommandIds.h"
#include "app/HelpCommands.h"
#include "engine/ProtocolEngine.h"
#include "document/AliasTable.h"
#include "statistics/AccessStatsWindow.h"

#include <QAction>
#include <QCheckBox>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QSettings>
#include <QTabWidget>
#include <QTableView>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

using namespace statistics;

namespace {

constexpr std::int64_t kNow = 1'796'971'201'123'456;   // 2026-12-11T06:40:01.123456Z

pomrel::PointAccess Point(int address, std::uint64_t reads, std::uint64_t writes, std::uint64_t exceptions = 0)
{
    pomrel::PointAccess p;
    p.unit = 1;
    p.type = 3;
    p.address = static_cast<std::uint32_t>(address);
    p.reads = reads;
    p.writes = writes;
    p.exceptions = exceptions;
    if (reads)
        p.lastReadUs = kNow - 400'000;
    if (writes) {
        p.lastWriteUs = kNow - 12'000'000;
        p.lastWriter = "tcp 127.0.0.1:50312";
    }
    return p;
}

struct Fixture {
    pomrel::ProtocolEngine engine;
    AliasTable aliases;
    std::vector<pomrel::PointAccess> points{Point(1, 40, 0), Point(2, 40, 0), Point(3, 0, 0), Point(20, 0, 1),
                                            Point(21, 5, 0, 2)};
    std::vector<pomrel::UnservedRequest> unserved;
    int resets = 0;
    std::unique_ptr<AccessStatsWindow> window;

    Fixture()
    {
        aliases.SetAlias(3, 20, "Setpoint");
        pomrel::UnservedRequest r;
        r.link = "tcp";
        r.unit = 9;
        r.function = 3;
        r.address = 1;
        r.quantity = 10;
        r.count = 7;
        r.firstUs = kNow - 5'000'000;
        r.lastUs = kNow;
        unserved.push_back(r);
        window = std::make_unique<AccessStatsWindow>(engine, aliases);
        window->clock = [] { return kNow; };
        window->takePoints = [this] { return points; };
        window->takeUnserved = [this] { return unserved; };
        window->resetCounts = [this] {
            ++resets;
            points.clear();
            unserved.clear();
        };
        window->show();
        window->Tick();
    }
    QString Cell(int row, int column) const
    {
        return window->Points().data(window->Points().index(row, column), Qt::DisplayRole).toString();
    }
    QStringList Addresses() const
    {
        QStringList out;
        for (int r = 0; r < window->Points().rowCount(); ++r)
            out << Cell(r, AccessStatsModel::kAddress);
        return out;
    }
};

TEST(AccessStatsWindow, ShowsEveryServedPointWithItsCounts)
{
    Fixture f;
    ASSERT_EQ(f.window->PointsTable()->model()->rowCount(), 5);
    EXPECT_EQ(f.Addresses(), (QStringList{"1", "2", "3", "20", "21"}));
    EXPECT_EQ(f.Cell(3, AccessStatsModel::kAlias), "Setpoint");
    EXPECT_EQ(f.Cell(3, AccessStatsModel::kWrites), "1");
    EXPECT_EQ(f.Cell(3, AccessStatsModel::kLastWriter), "tcp 127.0.0.1:50312");
    EXPECT_EQ(f.Cell(4, AccessStatsModel::kExceptions), "2");
    EXPECT_EQ(f.window->Points().headerData(AccessStatsModel::kLastRead, Qt::Horizontal, Qt::DisplayRole), "Last read");
    EXPECT_TRUE(f.window->StatusLine()->text().startsWith("5 points served, 5 shown; 1 requests not served"))
        << f.window->StatusLine()->text().toStdString();
    // Snapshots follow the engine's counts on every tick, and the timer is there to run it.
    f.points[0].reads = 41;
    f.window->Tick();
    EXPECT_EQ(f.Cell(0, AccessStatsModel::kReads), "41");
    EXPECT_TRUE(f.window->Timer()->isActive());
    EXPECT_EQ(f.window->Timer()->interval(), AccessStatsWindow::kTickMs);
}

TEST(AccessStatsWindow, AClickOnAColumnTitleSortsAndTheOrderStays)
{
    Fixture f;
    QHeaderView* header = f.window->PointsTable()->horizontalHeader();
    const auto clickTitle = [&](int column) {
        const int x = header->sectionViewportPosition(column) + header->sectionSize(column) / 2;
        QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, QPoint(x, header->height() / 2));
    };
    clickTitle(AccessStatsModel::kReads);
    const QStringList first = f.Addresses();
    clickTitle(AccessStatsModel::kReads);
    const QStringList second = f.Addresses();
    // One click sorts one way, the next the other; equal counts keep address order both ways.
    const QStringList up{"3", "20", "21", "1", "2"}, down{"1", "2", "21", "3", "20"};
    EXPECT_TRUE((first == up && second == down) || (first == down && second == up))
        << first.join(",").toStdString() << " / " << second.join(",").toStdString();
    f.window->Tick();
    EXPECT_EQ(f.Addresses(), second);
}

TEST(AccessStatsWindow, FiltersKeepTheirPoints)
{
    const struct {
        const char* box;
        QStringList addresses;
    } cases[] = {
        {"neverRead", {"3", "20"}},
        {"written", {"20"}},
        {"exceptions", {"21"}},
    };
    for (const auto& c : cases) {
        Fixture f;
        auto* box = f.window->findChild<QCheckBox*>(c.box);
        ASSERT_NE(box, nullptr) << c.box;
        QTest::mouseClick(box, Qt::LeftButton);
        EXPECT_EQ(f.Addresses(), c.addresses) << c.box;
        f.window->Tick();
        EXPECT_EQ(f.Addresses(), c.addresses) << c.box;
        QTest::mouseClick(box, Qt::LeftButton);
        EXPECT_EQ(f.window->Points().rowCount(), 5) << c.box;
    }
}

TEST(AccessStatsWindow, ARefreshWithTheSameRowsKeepsTheSelection)
{
    Fixture f;
    f.window->PointsTable()->selectRow(3);
    f.points[3].writes = 2;
    f.window->Tick();
    const auto rows = f.window->PointsTable()->selectionModel()->selectedRows();
    ASSERT_EQ(rows.size(), 1);
    EXPECT_EQ(rows.front().row(), 3);
    EXPECT_EQ(f.Cell(3, AccessStatsModel::kWrites), "2");
}

TEST(AccessStatsWindow, ResetClearsTheEnginesCounts)
{
    Fixture f;
    f.window->findChild<QPushButton*>("reset")->click();
    EXPECT_EQ(f.resets, 1);
    EXPECT_EQ(f.window->Points().rowCount(), 0);
    EXPECT_EQ(f.window->Unserved().rowCount(), 0);
}

TEST(AccessStatsWindow, ExportWritesTheRowsOfTheTabShown)
{
    Fixture f;
    QTemporaryDir dir;
    const QString points = dir.filePath("points.csv"), requests = dir.filePath("requests.csv");
    QString asked = points;
    f.window->askFileName = [&asked](const QString&) { return asked; };
    QTest::mouseClick(f.window->findChild<QCheckBox*>("written"), Qt::LeftButton);
    f.window->findChild<QPushButton*>("export")->click();
    const auto read = [](const QString& path) {
        std::ifstream in(path.toStdString(), std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    };
    EXPECT_EQ(read(points), "unit,type,address,alias,reads,writes,exceptions,last_read,last_write,last_writer\r\n"
                            "1,3,20,Setpoint,0,1,0,,2026-12-11T06:39:49.123456Z,tcp 127.0.0.1:50312\r\n");
    EXPECT_TRUE(f.window->StatusLine()->text().contains("Written " + points));

    f.window->Tabs()->setCurrentWidget(f.window->UnservedTable());
    asked = requests;
    f.window->findChild<QPushButton*>("export")->click();
    EXPECT_EQ(read(requests), "link,unit,function,address,quantity,count,first,last\r\n"
                              "tcp,9,3,1,10,7,2026-12-11T06:39:56.123456Z,2026-12-11T06:40:01.123456Z\r\n");

    // A file that cannot be written is told, and nothing is left behind.
    QString error;
    EXPECT_FALSE(f.window->ExportCsv(dir.filePath("missing/folder.csv"), error));
    EXPECT_TRUE(error.contains("missing/folder.csv")) << error.toStdString();
    // Cancelled: nothing written, nothing told.
    asked.clear();
    f.window->findChild<QPushButton*>("export")->click();
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path().toStdString()), {}), 2);
}

TEST(AccessStatsWindow, NotServedTabListsTheRequests)
{
    Fixture f;
    ASSERT_EQ(f.window->Tabs()->count(), 2);
    EXPECT_EQ(f.window->Tabs()->tabText(1), "Not &served");
    auto& m = f.window->Unserved();
    ASSERT_EQ(m.rowCount(), 1);
    QStringList row;
    for (int c = 0; c < m.columnCount(); ++c)
        row << m.data(m.index(0, c), Qt::DisplayRole).toString();
    EXPECT_EQ(row.mid(0, 6), (QStringList{"tcp", "9", "3 Read Holding Registers", "1", "10", "7"}));
}

TEST(AccessStatsWindow, EveryControlSaysWhatItDoesAndF1OpensItsSection)
{
    Fixture f;
    for (const char* name : {"neverRead", "written", "exceptions", "reset", "export", "points", "notServed", "status",
                             "tabs"}) {
        auto* w = f.window->findChild<QWidget*>(name);
        ASSERT_NE(w, nullptr) << name;
        EXPECT_FALSE(w->whatsThis().isEmpty()) << name;
    }
    EXPECT_EQ(HelpTopic(f.window.get()), "access.html#window");
}

TEST(AccessStatsMenus, OneWindowNotModalAndAccessMarksRemembered)
{
    QTemporaryDir dir;
    const std::string folder = dir.path().toStdString();
    AppOptions options = TestAppOptions(folder);
    options.saveSettings = true;
    const QString profile = QString::fromStdString(folder + "/Orvane/Kelvaro64.conf");
    {
        auto app = std::make_unique<CKelvaro32App>(options);
        ASSERT_TRUE(app->InitInstance({}));
        CMainFrame* frame = app->mainFrame;
        ASSERT_TRUE(frame->RunCommand(cmd::ToolsAccessStatistics));
        ASSERT_TRUE(frame->RunCommand(cmd::ToolsAccessStatistics));
        const auto windows = frame->findChildren<AccessStatsWindow*>(QString(), Qt::FindDirectChildrenOnly);
        ASSERT_EQ(windows.size(), 1);
        EXPECT_TRUE(windows.front()->isVisible());
        EXPECT_FALSE(windows.front()->isModal());
        EXPECT_EQ(QApplication::activeModalWidget(), nullptr);

        // Off, the frame hands data windows no marks; on, one per point asked for.
        std::vector<AccessMark> pointMarks;
        EXPECT_FALSE(frame->AccessMarks(1, 3, 1, 10, pointMarks));
        EXPECT_TRUE(pointMarks.empty());

        // Display > Access Marks: in the data windows' menu set, unchecked until chosen.
        app->NewDocument();
        ASSERT_EQ(frame->CurrentMenuId(), 129);
        QAction* marks = frame->Action(cmd::DisplayAccessMarks);
        ASSERT_NE(marks, nullptr);
        EXPECT_EQ(marks->text(), "Access &Marks");
        emit qobject_cast<QMenu*>(marks->parent())->aboutToShow();
        EXPECT_TRUE(marks->isCheckable());
        EXPECT_FALSE(marks->isChecked());
        EXPECT_FALSE(frame->AccessMarksOn());
        // Never changed: nothing of it in the profile.
        EXPECT_FALSE(QSettings(profile, QSettings::IniFormat).contains("Display/AccessMarks"));
        ASSERT_TRUE(frame->RunCommand(cmd::DisplayAccessMarks));
        emit qobject_cast<QMenu*>(marks->parent())->aboutToShow();
        EXPECT_TRUE(marks->isChecked());
        EXPECT_TRUE(frame->AccessMarks(1, 3, 1, 10, pointMarks));
        EXPECT_EQ(pointMarks.size(), 10u);
        app->Shutdown();
    }
    // The next start has it on; off again is remembered too.
    for (bool expected : {true, false}) {
        auto app = std::make_unique<CKelvaro32App>(options);
        ASSERT_TRUE(app->InitInstance({}));
        EXPECT_EQ(app->mainFrame->AccessMarksOn(), expected);
        ASSERT_TRUE(app->mainFrame->RunCommand(cmd::DisplayAccessMarks));
        app->Shutdown();
    }
    // The original's settings file keeps its size and layout.
    EXPECT_EQ(std::filesystem::file_size(folder + "/Orvane/kv64comm2.cfg"), 746u);
}

} // namespace
