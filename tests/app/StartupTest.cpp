// Start-up, menus, documents and shutdown of the whole application on the offscreen platform.
#include "app/CChildFrame.h"
#include "app/CKelvaro32App.h"
#include "app/CMainFrame.h"
#include "app/CommandIds.h"
#include "app/CommandLine.h"
#include "automation/AutomationServer.h"
#include "document/CKelvaro32Doc.h"
#include "view/CKelvaro32View.h"

#include <QApplication>
#include <QMdiArea>
#include <QMenuBar>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
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

} // namespace
