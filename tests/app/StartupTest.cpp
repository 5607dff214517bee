// Start-up, menus, documents and shutdown of the whole application on the offscreen platform.
#include "app/CChildFrame.h"
#include "app/CKelvaro32App.h"
#include "app/CMainFrame.h"
#include "app/CommandIds.h"
#include "app/CommandLine.h"
#include "app/TestConfig.h"
#include "automation/AutomationServer.h"
#include "document/CKelvaro32Doc.h"
#include "view/CKelvaro32View.h"

#include <QApplication>
#include <QDialog>
#include <QLabel>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QMenuBar>
#include <QProgressDialog>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>
#include <gtest/gtest.h>

namespace {

class AppFixture : public ::testing::Test {
protected:
    std::unique_ptr<CKelvaro32App> Start(const std::vector<std::string>& args = {}, std::optional<int> automationPort = {})
    {
        AppOptions o;
        o.automationPort = automationPort;
        o.settingsFolder = dir.path().toStdString() + "/Orvane";
        o.executablePath = dir.path().toStdString() + "/kelvaro64";
        auto app = std::make_unique<CKelvaro32App>(o);
        EXPECT_TRUE(app->InitInstance(args));
        return app;
    }
    static void Settle()
    {
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QApplication::processEvents();
    }
    QTemporaryDir dir;
};

TEST(CommandLine, SwitchesAndFileNames)
{
    struct Case { std::vector<std::string> args; bool automation; std::string file; };
    const Case cases[] = {
        {{}, false, ""},
        {{"-Automation"}, true, ""},
        {{"/embedding"}, true, ""},
        {{"/EMBEDDING", "setup.tst"}, true, ""},
        {{"setup.tst", "-automation"}, true, ""},
        {{"my", "set", "up.tst"}, false, "my set up.tst"},
        {{"\"quoted.tst\""}, false, "\"quoted.tst\""},
        {{"/dde"}, false, "/dde"},
        {{"-Automationx"}, false, "-Automationx"},
    };
    for (const auto& c : cases) {
        const StartRequest r = ParseCommandLine(c.args);
        EXPECT_EQ(r.automation, c.automation) << c.file;
        EXPECT_EQ(r.testConfigPath, c.file);
    }
}

TEST_F(AppFixture, EmptyStartShowsMenu128AndNewSwitchesTo129)
{
    auto app = Start();
    CMainFrame* frame = app->mainFrame;
    ASSERT_NE(frame, nullptr);
    EXPECT_TRUE(frame->isVisible());
    EXPECT_EQ(frame->CurrentMenuId(), 128);
    EXPECT_TRUE(app->Documents().Empty());
    EXPECT_EQ(frame->windowTitle(), "Kelvaro64");

    ASSERT_TRUE(frame->RunCommand(cmd::FileNew));
    EXPECT_EQ(frame->CurrentMenuId(), 129);
    ASSERT_EQ(app->Documents().Size(), 1u);
    EXPECT_EQ(frame->windowTitle(), "Kelvaro64 - Kelvaro1");

    frame->ActiveChild()->close();
    Settle();
    EXPECT_EQ(frame->CurrentMenuId(), 128);
    EXPECT_TRUE(app->Documents().Empty());
}

TEST_F(AppFixture, HiddenStartShowsNothingEvenWithAFileName)
{
    for (auto args : {std::vector<std::string>{"-Automation"}, std::vector<std::string>{"/embedding", "x.tst"}}) {
        auto app = Start(args);
        EXPECT_TRUE(app->StartedHidden());
        EXPECT_FALSE(app->mainFrame->isVisible());
        EXPECT_TRUE(app->Documents().Empty());
    }
}

TEST_F(AppFixture, OpenDocumentsKeepCreationOrder)
{
    auto app = Start();
    CKelvaro32Doc* a = app->NewDocument();
    CKelvaro32Doc* b = app->NewDocument();
    CKelvaro32Doc* c = app->NewDocument();
    EXPECT_EQ(app->Documents().All(), (std::vector<CKelvaro32Doc*>{a, b, c}));
    for (auto* child : app->mainFrame->Children())
        if (child->Document() == b)
            child->close();
    Settle();
    EXPECT_EQ(app->Documents().All(), (std::vector<CKelvaro32Doc*>{a, c}));
    CKelvaro32Doc* d = app->NewDocument();
    EXPECT_EQ(app->Documents().All(), (std::vector<CKelvaro32Doc*>{a, c, d}));
}

TEST_F(AppFixture, RegisterBlockReplacesThePreviousHandle)
{
    auto app = Start();
    CKelvaro32Doc* doc = app->NewDocument();
    CKelvaro32View* view = app->mainFrame->ActiveView();
    ASSERT_NE(view, nullptr);
    const pomrel::Handle first = view->BlockHandle();
    EXPECT_NE(first, pomrel::kNoHandle);
    doc->length = 10;
    view->RegisterBlock();
    EXPECT_NE(view->BlockHandle(), pomrel::kNoHandle);
    EXPECT_NE(view->BlockHandle(), first);
}

TEST_F(AppFixture, DisabledWithoutHandler)
{
    auto app = Start();
    app->NewDocument();
    EXPECT_FALSE(app->mainFrame->Commands().State(cmd::FilePrintPreview).enabled);
    EXPECT_FALSE(app->mainFrame->RunCommand(cmd::FilePrintPreview));
}

TEST_F(AppFixture, AboutBoxNamesTheVersionAndTheLicence)
{
    auto app = Start();
    QStringList texts;
    QTimer::singleShot(0, [&texts] {
        QWidget* box = QApplication::activeModalWidget();
        ASSERT_NE(box, nullptr);
        for (const QLabel* label : box->findChildren<QLabel*>())
            texts << label->text();
        static_cast<QDialog*>(box)->accept();
    });
    ASSERT_TRUE(app->mainFrame->RunCommand(cmd::AppAbout));
    EXPECT_TRUE(texts.contains("Kelvaro64 - (Version 6.A00-04)")) << texts.join(" | ").toStdString();
    EXPECT_TRUE(texts.join(" ").contains("Apache License, Version 2.0 (Apache-2.0)")) << texts.join(" | ").toStdString();
}

TEST_F(AppFixture, ClosingWhileAutomationClientsAreConnectedOnlyHides)
{
    QTcpServer probe;
    ASSERT_TRUE(probe.listen(QHostAddress::LocalHost, 0));
    const quint16 port = probe.serverPort();
    probe.close();
    auto app = Start({}, port);
    ASSERT_NE(app->Automation(), nullptr);
    app->NewDocument();

    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, port);
    ASSERT_TRUE(client.waitForConnected(5000));
    for (int i = 0; i < 200 && app->Automation()->ConnectionCount() == 0; ++i)
        QApplication::processEvents(QEventLoop::AllEvents, 10);
    ASSERT_EQ(app->Automation()->ConnectionCount(), 1);

    app->mainFrame->close();
    Settle();
    EXPECT_FALSE(app->mainFrame->isVisible());
    EXPECT_TRUE(app->Documents().Empty());
    // Still serving its client.
    EXPECT_EQ(app->Automation()->ConnectionCount(), 1);
    client.disconnectFromHost();
}

// A new data window opens inside the work area and no larger than it, one title bar lower and
// to the right of the one before, starting again at the top left when the next would not fit.
TEST_F(AppFixture, NewWindowsCascadeInsideTheWorkArea)
{
    for (const QSize mainSize : {QSize(1000, 700), QSize(520, 380), QSize(300, 220)}) {
        auto app = Start({}, 0);
        CMainFrame& frame = *app->mainFrame;
        frame.resize(mainSize);
        Settle();
        const QRect area = frame.MdiArea()->viewport()->rect();
        ASSERT_FALSE(area.isEmpty());
        QList<QRect> placed;
        for (int i = 0; i < 12; ++i) {
            app->NewDocument();
            Settle();
            placed.push_back(frame.Children().back()->geometry());
        }
        int restarts = 0;
        for (qsizetype i = 0; i < placed.size(); ++i) {
            const QRect& r = placed[i];
            EXPECT_TRUE(area.contains(r)) << mainSize.width() << " window " << i;
            if (i == 0 || r.topLeft() == QPoint(0, 0)) {
                EXPECT_EQ(r.topLeft(), QPoint(0, 0)) << mainSize.width() << " window " << i;
                restarts += i > 0;
                continue;
            }
            const QPoint step = r.topLeft() - placed[i - 1].topLeft();
            EXPECT_GT(step.x(), 0) << mainSize.width() << " window " << i;
            EXPECT_EQ(step.x(), step.y()) << mainSize.width() << " window " << i;
        }
        if (mainSize.width() < 400) {
            EXPECT_GT(restarts, 0) << "a small area starts the cascade again";
        }
        app->Shutdown();
    }
}

// Writes `count` document files and a test configuration naming them; returns its path.
std::string WriteSetUp(CKelvaro32App& app, const QString& folder, int count)
{
    for (int i = 0; i < count; ++i) {
        CKelvaro32Doc* doc = app.NewDocument();
        doc->SetWord(0, static_cast<std::uint16_t>(i));
        doc->SetPathName((folder + QString("/doc%1").arg(i)).toStdString());
    }
    const std::string path = (folder + "/set.tst").toStdString();
    EXPECT_TRUE(SaveTestConfigTo(*app.mainFrame, path));
    for (CChildFrame* child : app.mainFrame->Children())
        delete child;
    QApplication::processEvents();
    return path;
}

// Restoring makes only its last window active, once; a restore that takes longer than a moment
// shows its progress, and Cancel keeps what was opened and leaves the rest of the set-up alone.
TEST_F(AppFixture, RestoreActivatesItsLastWindowOnceAndCanBeCancelled)
{
    auto app = Start({}, 0);
    CMainFrame& frame = *app->mainFrame;
    const std::string path = WriteSetUp(*app, dir.path(), 40);
    ASSERT_TRUE(app->Documents().Empty());

    int activations = 0;
    QObject::connect(frame.MdiArea(), &QMdiArea::subWindowActivated, [&](QMdiSubWindow* w) { activations += w != nullptr; });
    ASSERT_TRUE(RestoreTestConfig(frame, path));
    ASSERT_EQ(app->Documents().Size(), 40u);
    EXPECT_EQ(activations, 1);
    ASSERT_NE(frame.ActiveDocument(), nullptr);
    EXPECT_EQ(frame.ActiveDocument()->Word(0), 39);
    EXPECT_EQ(frame.windowTitle(), "Kelvaro64 - doc39");

    for (CChildFrame* child : frame.Children())
        delete child;
    Settle();
    app->Aliases().ClearAliases();
    frame.restoreProgressDelayMs = 0;
    int dialogs = 0;
    QTimer cancel;
    QObject::connect(&cancel, &QTimer::timeout, [&] {
        auto* progress = frame.findChild<QProgressDialog*>("restoreProgress");
        if (progress && progress->isVisible() && !progress->wasCanceled() && progress->value() >= 3) {
            ++dialogs;
            progress->cancel();
        }
    });
    cancel.start(0);
    app->Aliases().SetAlias(3, 40001, "kept");
    ASSERT_TRUE(RestoreTestConfig(frame, path));
    EXPECT_EQ(dialogs, 1);
    EXPECT_GE(app->Documents().Size(), 3u);
    EXPECT_LT(app->Documents().Size(), 40u);
    EXPECT_EQ(app->Aliases().GetAlias(3, 40001), "kept");   // the set-up's (empty) aliases not applied
    EXPECT_NE(frame.ActiveChild(), nullptr);
}

} // namespace
