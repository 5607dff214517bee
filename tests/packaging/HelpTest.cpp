// Help Topics finds the manual wherever the program is (installed, unpacked beside the
// executable, build tree); F1 opens it and Shift+F1 starts the context help.
#include "app/CKelvaro32App.h"
#include "app/CMainFrame.h"
#include "app/CommandIds.h"
#include "app/HelpCommands.h"

#include "TestApp.h"
#include <QApplication>
#include <QDesktopServices>
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

} // namespace

#include "HelpTest.moc"
