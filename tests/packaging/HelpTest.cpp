// Help Topics finds the manual wherever the program is (installed, unpacked beside the
// executable, build tree); F1 opens it and Shift+F1 starts the context help. With no browser the
// manual opens in a window of the program's own, and F1 in a window opens its section.
#include "app/CKelvaro32App.h"
#include "app/CMainFrame.h"
#include "app/CommandIds.h"
#include "app/HelpCommands.h"

#include "TestApp.h"
#include "faults/FaultDialog.h"

#include <QApplication>
#include <QDesktopServices>
#include <QPointer>
#include <QProcess>
#include <QPushButton>
#include <QScrollBar>
#include <QTableWidget>
#include <QTextBrowser>
#include <QTextDocument>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>
#include <QWhatsThis>
#include <gtest/gtest.h>

namespace {

// Takes the URLs the program hands to the desktop instead of starting a browser.
class UrlCatcher : public QObject {
    Q_OBJECT
public:
    UrlCatcher() { QDesktopServices::setUrlHandler("file", this, "Open"); }
    ~UrlCatcher() override { QDesktopServices::unsetUrlHandler("file"); }
    QList<QUrl> urls;
public slots:
    void Open(const QUrl& url) { urls.append(url); }
};

void Touch(const QString& path)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
}

TEST(ManualPath, InstalledBesideAndSourceFolders)
{
    QTemporaryDir root;
    const QString bin = root.path() + "/usr/bin";
    QDir().mkpath(bin);
    const QString installed = root.path() + "/usr/share/kelvaro64/manual/index.html";
    const QString beside = bin + "/manual/index.html";

    // Nothing beside the program: the sources' manual of the build tree.
    EXPECT_EQ(ManualPath(bin), QDir::cleanPath(QString(KELVARO_SOURCE_DIR) + "/docs/manual/index.html"));
    ASSERT_TRUE(QFile::exists(ManualPath(bin)));
    Touch(beside);
    EXPECT_EQ(ManualPath(bin), beside);
    Touch(installed);
    EXPECT_EQ(ManualPath(bin), installed);   // the installed share folder first, without ".."
}

TEST(HelpKeys, F1OpensHelpTopicsAndShiftF1StartsContextHelp)
{
    QTemporaryDir dir;
    CKelvaro32App app(TestAppOptions(dir.path().toStdString()));
    ASSERT_TRUE(app.InitInstance({}));
    CMainFrame* frame = app.mainFrame;
    ASSERT_NE(frame, nullptr);
    ASSERT_TRUE(frame->RunCommand(cmd::FileNew));   // the key works with a data window in front
    QApplication::setActiveWindow(frame);
    QWidget* focus = QApplication::focusWidget() ? QApplication::focusWidget() : frame;

    UrlCatcher catcher;
    QTest::keyClick(focus, Qt::Key_F1);
    ASSERT_EQ(catcher.urls.size(), 1);
    EXPECT_EQ(catcher.urls.front().toLocalFile(), ManualPath());
    EXPECT_TRUE(catcher.urls.front().toLocalFile().endsWith("/manual/index.html"));

    EXPECT_FALSE(QWhatsThis::inWhatsThisMode());
    QTest::keyClick(focus, Qt::Key_F1, Qt::ShiftModifier);
    EXPECT_TRUE(QWhatsThis::inWhatsThisMode());
    QWhatsThis::leaveWhatsThisMode();
    EXPECT_EQ(catcher.urls.size(), 1);   // Shift+F1 is not F1
    app.Shutdown();
}

// Each topic of the table names a page of the manual and an id that page has.
TEST(HelpTopics, EachNamesAPageAndASectionOfTheManual)
{
    const QDir manual = QFileInfo(ManualPath()).absoluteDir();
    const QStringList topics = KnownHelpTopics();
    ASSERT_FALSE(topics.isEmpty());
    for (const QString& topic : topics) {
        QFile page(manual.filePath(topic.section('#', 0, 0)));
        ASSERT_TRUE(page.open(QIODevice::ReadOnly)) << topic.toStdString();
        const QString id = topic.section('#', 1);
        ASSERT_FALSE(id.isEmpty()) << topic.toStdString();
        EXPECT_TRUE(page.readAll().contains(QString("id=\"%1\"").arg(id).toUtf8())) << topic.toStdString();
    }
}

class HelpFallback : public ::testing::Test {
protected:
    void SetUp() override
    {
        app = std::make_unique<CKelvaro32App>(TestAppOptions(dir.path().toStdString()));
        ASSERT_TRUE(app->InitInstance({}));
        frame = app->mainFrame;
        desk = frame->findChild<HelpDesk*>();
        ASSERT_NE(desk, nullptr);
    }
    void TearDown() override { app->Shutdown(); }

    QTemporaryDir dir;
    std::unique_ptr<CKelvaro32App> app;
    CMainFrame* frame = nullptr;
    HelpDesk* desk = nullptr;
};

// No browser: the desktop says so at once (QDesktopServices finds nothing) or later (xdg-open
// exits with an error). Either way the manual opens in the program's own window.
TEST_F(HelpFallback, HelpTopicsWithNoBrowserOpensTheProgramsOwnWindow)
{
    struct Case {
        const char* what;
        HelpDesk::UrlOpener opener;
    };
    std::function<void()> later;
    const Case cases[] = {
        {"the desktop's own (offscreen: no handler)", desk->openUrl},
        {"refused at once", [](const QUrl&, std::function<void()> failed) { failed(); }},
        {"failed later", [&later](const QUrl&, std::function<void()> failed) { later = failed; }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (HelpWindow* open = desk->Window())
            open->close();
        desk->openUrl = c.opener;
        ASSERT_TRUE(frame->RunCommand(cmd::HelpTopics));
        if (later) {
            EXPECT_TRUE(!desk->Window() || !desk->Window()->isVisible());
            later();
            later = nullptr;
        }
        ASSERT_NE(desk->Window(), nullptr);
        EXPECT_TRUE(desk->Window()->isVisible());
        QTextBrowser* browser = desk->Window()->Browser();
        EXPECT_EQ(browser->source().toLocalFile(), ManualPath());
        EXPECT_FALSE(browser->document()->isEmpty());
    }

    // Links and pictures work: a page's relative link opens the page it names, and its
    // pictures are read from the manual's folder.
    QTextBrowser* browser = desk->Window()->Browser();
    ASSERT_TRUE(browser->toHtml().contains("dialogs.html"));
    browser->setSource(browser->source().resolved(QUrl("dialogs.html#about")));
    EXPECT_TRUE(browser->toPlainText().contains("About Kelvaro64"));
    const QVariant picture = browser->loadResource(QTextDocument::ImageResource, QUrl("images/dialog-about.png"));
    EXPECT_TRUE(picture.isValid() && !picture.toByteArray().isEmpty());
    desk->Window()->findChild<QPushButton*>("helpBack")->click();
    EXPECT_EQ(browser->source().toLocalFile(), ManualPath());
}

// xdg-open's exit status says whether a browser took the page: 0 yes; 3 (none found), 4 (it
// failed) or a program that cannot start: no.
TEST(HelpOpener, AnOpenerThatFailsIsNoticed)
{
    QTemporaryDir dir;
    struct Case {
        const char* script;   // nullptr: no such program
        bool failed;
    };
    const Case cases[] = {{"exit 0", false}, {"exit 3", true}, {"exit 4", true}, {nullptr, true}};
    for (const Case& c : cases) {
        const QString program = dir.filePath(QString("opener-%1").arg(c.script ? c.script : "missing").replace(' ', '-'));
        if (c.script) {
            QFile f(program);
            ASSERT_TRUE(f.open(QIODevice::WriteOnly));
            f.write(QByteArray("#!/bin/sh\n[ -n \"$1\" ] || exit 9\n") + c.script + "\n");
            f.close();
            f.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
        }
        bool failed = false;
        QPointer<QProcess> process = HelpDesk::OpenWith(program, ManualUrl("index.html"), [&] { failed = true; });
        ASSERT_TRUE(process);
        process->waitForFinished(10000);   // the script's end; the process is gone once told
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        EXPECT_EQ(failed, c.failed) << (c.script ? c.script : "missing");
        EXPECT_TRUE(process.isNull()) << (c.script ? c.script : "missing");
    }
}

// F1 in a window of the program opens the manual at the section about that window.
TEST_F(HelpFallback, F1InAWindowOpensItsSection)
{
    desk->openUrl = [](const QUrl&, std::function<void()> failed) { failed(); };
    ASSERT_TRUE(frame->RunCommand(cmd::ToolsFaultInjection));
    auto* faults = frame->findChild<faults::FaultDialog*>();
    ASSERT_NE(faults, nullptr);
    QTest::keyClick(faults->Table(), Qt::Key_F1);
    ASSERT_NE(desk->Window(), nullptr);
    QTextBrowser* browser = desk->Window()->Browser();
    EXPECT_EQ(browser->source().fileName(), "dialogs.html");
    EXPECT_EQ(browser->source().fragment(), "fault-injection");
    // At the section, not at the top of the page.
    browser->resize(600, 300);
    browser->scrollToAnchor("fault-injection");
    EXPECT_GT(browser->verticalScrollBar()->value(), 0);

    // The rule editor has a section of its own; the main window opens the first page.
    faults::FaultRuleDialog rule(faults::FaultForm{}, {}, faults);
    EXPECT_EQ(HelpTopic(&rule), "dialogs.html#fault-rule");
    QTest::keyClick(frame, Qt::Key_F1);
    EXPECT_EQ(browser->source().toLocalFile(), ManualPath());
    EXPECT_TRUE(browser->source().fragment().isEmpty());

    // Shift+F1 in a dialog starts the context help there too.
    QTest::keyClick(faults->Table(), Qt::Key_F1, Qt::ShiftModifier);
    EXPECT_TRUE(QWhatsThis::inWhatsThisMode());
    QWhatsThis::leaveWhatsThisMode();
}

} // namespace

#include "HelpTest.moc"
