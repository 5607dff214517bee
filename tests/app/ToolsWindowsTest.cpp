// The windows of the Tools menu and the dialogs of the program on the offscreen platform: Fault
// Injection and Network Servers open beside the other windows (not modal, one of each), every
// control of theirs and of the rule editor says what it does (Shift+F1), and every dialog is
// wide enough for its title under a window manager.
#include "TestApp.h"

#include "ModalAnswerer.h"
#include "app/CMainFrame.h"
#include "app/CommandIds.h"
#include "connections/CComDlg.h"
#include "connections/CCountersDlg.h"
#include "connections/SvcPortDlg.h"
#include "dialogs/CWrFltDlg.h"
#include "dialogs/CWrReg.h"
#include "faults/FaultDialog.h"
#include "monitor/TrafficMonitorWindow.h"
#include "servers/NetworkServersDialog.h"

#include <QAbstractButton>
#include <QAbstractItemView>
#include <QAbstractSpinBox>
#include <QApplication>
#include <QComboBox>
#include <QFontMetrics>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QTimer>
#include <gtest/gtest.h>

namespace {

class ToolsWindows : public ::testing::Test {
protected:
    void SetUp() override
    {
        app = std::make_unique<CKelvaro32App>(TestAppOptions(dir.path().toStdString()));
        ASSERT_TRUE(app->InitInstance({}));
        frame = app->mainFrame;
    }
    void TearDown() override { app->Shutdown(); }

    QTemporaryDir dir;
    std::unique_ptr<CKelvaro32App> app;
    CMainFrame* frame = nullptr;
};

// The controls a user can click or type in that have no What's This text, by object name (the
// parts of a control, such as a spin box's line edit or a table's header, belong to it).
QStringList WithoutWhatsThis(const QWidget& window)
{
    QStringList missing;
    for (QWidget* w : window.findChildren<QWidget*>()) {
        const bool control = qobject_cast<QAbstractButton*>(w) || qobject_cast<QLineEdit*>(w) ||
                             qobject_cast<QComboBox*>(w) || qobject_cast<QAbstractSpinBox*>(w) ||
                             qobject_cast<QAbstractItemView*>(w);
        if (!control)
            continue;
        bool part = false;
        for (QWidget* p = w->parentWidget(); p && p != &window; p = p->parentWidget())
            part = part || qobject_cast<QAbstractSpinBox*>(p) || qobject_cast<QComboBox*>(p) ||
                   qobject_cast<QAbstractItemView*>(p);
        if (!part && w->whatsThis().isEmpty())
            missing << QString("%1 %2").arg(w->metaObject()->className(), w->objectName());
    }
    return missing;
}

TEST_F(ToolsWindows, FaultInjectionAndNetworkServersOpenBesideTheOtherWindows)
{
    ASSERT_TRUE(frame->RunCommand(cmd::FileNew));
    // A window run modally would hold the test in its loop: this closes it there, and says so.
    QStringList modal;
    QTimer guard;
    QObject::connect(&guard, &QTimer::timeout, [&modal] {
        if (QWidget* m = QApplication::activeModalWidget()) {
            modal << m->windowTitle();
            m->close();
        }
    });
    guard.start(10);
    for (int round = 0; round < 2; ++round) {   // asked for again: the same window, in front
        ASSERT_TRUE(frame->RunCommand(cmd::ToolsFaultInjection));   // returns: no modal loop
        ASSERT_TRUE(frame->RunCommand(cmd::ToolsNetworkServers));
        ASSERT_TRUE(frame->RunCommand(cmd::ToolsTrafficMonitor));
    }
    const auto faults = frame->findChildren<faults::FaultDialog*>();
    const auto servers = frame->findChildren<servers::NetworkServersDialog*>();
    ASSERT_EQ(faults.size(), 1);
    ASSERT_EQ(servers.size(), 1);
    for (QDialog* d : {static_cast<QDialog*>(faults.front()), static_cast<QDialog*>(servers.front())}) {
        EXPECT_TRUE(d->isVisible()) << d->windowTitle().toStdString();
        EXPECT_FALSE(d->isModal()) << d->windowTitle().toStdString();
    }
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
    EXPECT_EQ(modal.join(", ").toStdString(), "");   // no window ran modally
    auto* monitor = frame->findChild<monitor::TrafficMonitorWindow*>();
    ASSERT_NE(monitor, nullptr);
    EXPECT_TRUE(monitor->isVisible());
    // The data windows stay usable: a command on them runs while both are open.
    ASSERT_TRUE(frame->RunCommand(cmd::FileNew));
    EXPECT_EQ(frame->Children().size(), 2);
    EXPECT_TRUE(faults.front()->isVisible() && servers.front()->isVisible());
}

TEST_F(ToolsWindows, EveryControlSaysWhatItDoes)
{
    ASSERT_TRUE(frame->RunCommand(cmd::ToolsFaultInjection));
    ASSERT_TRUE(frame->RunCommand(cmd::ToolsNetworkServers));
    auto* faults = frame->findChild<faults::FaultDialog*>();
    auto* servers = frame->findChild<servers::NetworkServersDialog*>();
    ASSERT_TRUE(faults && servers);
    const faults::FaultRuleDialog rule(faults::FaultForm{}, {"tcp", "serial:1"});
    for (const QWidget* window : {static_cast<const QWidget*>(faults), static_cast<const QWidget*>(servers),
                                  static_cast<const QWidget*>(&rule)}) {
        EXPECT_GE(window->findChildren<QAbstractButton*>().size(), 3);   // the walk finds controls
        EXPECT_EQ(WithoutWhatsThis(*window).join(", ").toStdString(), "") << window->windowTitle().toStdString();
    }
}

// How wide a window must be for a window manager to show its whole title: the title in a bold
// title font and the frame's icon and three buttons, each about as wide as the bar is high.
int TitleRoom(const QString& title)
{
    QFont font = QApplication::font();
    font.setBold(true);
    const QFontMetrics metrics(font);
    return metrics.horizontalAdvance(title) + 4 * metrics.height();
}

TEST_F(ToolsWindows, EveryDialogIsWideEnoughForItsTitle)
{
    ComSettings com;
    com.port = 1;
    std::vector<std::unique_ptr<QDialog>> dialogs;
    dialogs.push_back(std::make_unique<SvcPortDlg>(502, frame));
    dialogs.push_back(std::make_unique<CWrFltDlg>(frame));
    dialogs.push_back(std::make_unique<CWrReg>(frame));
    dialogs.push_back(std::make_unique<CComDlg>(com, std::vector<std::string>{}, frame));
    dialogs.push_back(std::make_unique<CCountersDlg>(frame->Connections(), frame));
    dialogs.push_back(std::make_unique<faults::FaultRuleDialog>(faults::FaultForm{}, std::vector<std::string>{}, frame));
    for (const auto& d : dialogs) {
        d->show();
        EXPECT_GE(d->width(), TitleRoom(d->windowTitle())) << d->windowTitle().toStdString();
        EXPECT_GE(d->minimumWidth(), TitleRoom(d->windowTitle())) << d->windowTitle().toStdString();
        d->hide();
    }
    // A title set while it is open counts too.
    dialogs.front()->show();
    dialogs.front()->setWindowTitle("A much longer title than a service port dialog has ever had");
    EXPECT_GE(dialogs.front()->minimumWidth(), TitleRoom(dialogs.front()->windowTitle()));

    // The About box, seen while it is open.
    int aboutWidth = 0;
    QString aboutTitle;
    QTimer::singleShot(0, frame, [&] {
        if (auto* about = qobject_cast<QDialog*>(QApplication::activeModalWidget())) {
            aboutWidth = about->width();
            aboutTitle = about->windowTitle();
            about->accept();
        }
    });
    ASSERT_TRUE(frame->RunCommand(cmd::AppAbout));
    EXPECT_EQ(aboutTitle, "Kelvaro64...MODBUS SLAVE DATA SIMULATOR");
    EXPECT_GE(aboutWidth, TitleRoom(aboutTitle));
}

} // namespace
