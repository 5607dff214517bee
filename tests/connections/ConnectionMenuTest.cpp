// The Connection menu in the running application, and what survives a restart.
#include "TestPorts.h"
#include "app/CKelvaro32App.h"
#include "app/CMainFrame.h"
#include "app/CommandIds.h"
#include "connections/CComDlg.h"
#include "connections/CCountersDlg.h"
#include "document/CKelvaro32Doc.h"

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QMenu>
#include <QLineEdit>
#include <QProcess>
#include <QRegularExpression>
#include <QFile>
#include <QPushButton>
#include <QStandardPaths>
#include <QMessageBox>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTimer>
#include <filesystem>
#include <system_error>
#include <fstream>
#include <gtest/gtest.h>

namespace {

class ConnectionMenu : public ::testing::Test {
protected:
    std::unique_ptr<CKelvaro32App> Start()
    {
        AppOptions o;
        o.settingsFolder = Folder();
        o.executablePath = dir.path().toStdString() + "/kelvaro64";
        o.automationPort = 0;
        auto app = std::make_unique<CKelvaro32App>(o);
        EXPECT_TRUE(app->InitInstance({}));
        return app;
    }
    std::string Folder() const { return dir.path().toStdString() + "/Orvane"; }
    QTemporaryDir dir;
};

// The enabled states the update steps give right now: Connect and Disconnect of the server
// (index 0) and ports 1..32.
std::vector<bool> Enabled(CMainFrame& frame, bool connect)
{
    std::vector<bool> states{frame.Commands().State(connect ? cmd::ConnectServer : cmd::DisconnectServer).enabled};
    for (int i = 0; i < 32; ++i)
        states.push_back(frame.Commands().State(connect ? cmd::ConnectPort[i] : cmd::DisconnectPort[i]).enabled);
    return states;
}

TEST_F(ConnectionMenu, ItemsCarryTheirCommandIds)
{
    auto app = Start();
    CMainFrame& frame = *app->mainFrame;
    struct Case { int id; const char* caption; };
    for (const Case c : {Case{32780, "Port &1"}, Case{32771, "Port &1"}, Case{32850, "Port 32"}, Case{32862, "Port 32"},
                         Case{32786, "&Modbus/TCP Svr"}, Case{32787, "&Modbus/TCP Svr"}, Case{32804, "&Status"}}) {
        QAction* a = frame.Action(c.id);
        ASSERT_NE(a, nullptr) << c.id;
        EXPECT_EQ(a->text(), c.caption) << c.id;
        EXPECT_TRUE(frame.Commands().Has(c.id)) << c.id;
    }
    EXPECT_EQ(cmd::ConnectPort[0], 32780);
    EXPECT_EQ(cmd::DisconnectPort[31], 32862);
}

TEST_F(ConnectionMenu, UpdateStepsFollowTheHandles)
{
    auto app = Start();
    CMainFrame& frame = *app->mainFrame;
    ConnectionManager& c = frame.Connections();
    EXPECT_EQ(Enabled(frame, true), std::vector<bool>(33, true));
    EXPECT_EQ(Enabled(frame, false), std::vector<bool>(33, false));
    EXPECT_TRUE(frame.Commands().State(cmd::Status).enabled);

    PtyPair pty;
    ASSERT_TRUE(pty.Ok());
    c.Ports().SetPortPath(7, pty.SlavePath());
    ASSERT_NE(c.OpenSerialPort(7), pomrel::kNoHandle);
    ASSERT_NE(c.OpenServer(0), pomrel::kNoHandle);
    std::vector<bool> connect(33, true), disconnect(33, false);
    connect[0] = connect[7] = false;
    disconnect[0] = disconnect[7] = true;
    EXPECT_EQ(Enabled(frame, true), connect);
    EXPECT_EQ(Enabled(frame, false), disconnect);

    // The menu itself shows those states when it opens, without check marks.
    QAction* connect7 = frame.Action(cmd::ConnectPort[6]);
    QAction* disconnect7 = frame.Action(cmd::DisconnectPort[6]);
    for (QAction* a : {connect7, disconnect7}) {
        auto* menu = qobject_cast<QMenu*>(a->parent());
        ASSERT_NE(menu, nullptr);
        emit menu->aboutToShow();
    }
    EXPECT_FALSE(connect7->isEnabled());
    EXPECT_TRUE(disconnect7->isEnabled());
    EXPECT_FALSE(connect7->isCheckable() || disconnect7->isCheckable());

    EXPECT_FALSE(frame.RunCommand(cmd::ConnectPort[6]));   // disabled while open
    EXPECT_TRUE(frame.RunCommand(cmd::DisconnectPort[6]));
    EXPECT_TRUE(frame.RunCommand(cmd::DisconnectServer));
    EXPECT_TRUE(c.NoConnectionOpen());
    EXPECT_EQ(Enabled(frame, true), std::vector<bool>(33, true));
}

TEST_F(ConnectionMenu, SetUpPortThreeOnAPtyAndFindItAfterARestart)
{
    PtyPair pty;
    ASSERT_TRUE(pty.Ok());
    {
        auto app = Start();
        CMainFrame& frame = *app->mainFrame;
        // Connect > Port 3 through the real dialog: RTU 19200 8E1 on the pseudo-terminal.
        QString title;
        QTimer::singleShot(0, [&] {
            auto* dlg = qobject_cast<CComDlg*>(QApplication::activeModalWidget());
            if (!dlg)
                return;
            title = dlg->windowTitle();
            dlg->findChild<QComboBox*>("control1002")->setCurrentText("19200");
            dlg->findChild<QComboBox*>("control1005")->setCurrentText("EVEN");
            dlg->findChild<QComboBox*>("devicePath")->setEditText(QString::fromStdString(pty.SlavePath()));
            dlg->findChild<QPushButton*>("control1")->click();
        });
        ASSERT_TRUE(frame.RunCommand(cmd::ConnectPort[2]));
        EXPECT_EQ(title, "Setup Comm Port 3");
        ASSERT_TRUE(frame.Connections().IsPortOpen(3));

        app->servicePort = 40000;
        app->Aliases().SetAlias(3, 40001, "Pump speed");
        app->Shutdown();
    }
    EXPECT_EQ(std::filesystem::file_size(Folder() + "/kv64comm2.cfg"), 746u);
    {
        auto app = Start();
        CMainFrame& frame = *app->mainFrame;
        EXPECT_TRUE(frame.Connections().NoConnectionOpen()) << "no port is reopened at start-up";
        std::uint8_t protocol = 0;
        pomrel::PortSettings s;
        frame.Connections().Ports().GetPortSettings(3, protocol, s);
        EXPECT_EQ(protocol, kProtocolRtu);
        EXPECT_EQ(s.baudRate, 19200u);
        EXPECT_EQ(s.dataBits, 8);
        EXPECT_EQ(s.parity, 2);
        EXPECT_EQ(s.stopBits, 0);
        EXPECT_EQ(frame.Connections().Ports().PortPath(3), pty.SlavePath());
        EXPECT_EQ(app->servicePort, 40000);
        EXPECT_EQ(app->Aliases().GetAlias(3, 40001), "Pump speed");

        // Reset Alias List empties the table, and the file written at exit says so.
        EXPECT_TRUE(frame.RunCommand(cmd::ResetAliasList));
        EXPECT_EQ(app->Aliases().LongestAliasLength(), 0);
        app->Shutdown();
    }
    EXPECT_EQ(std::filesystem::file_size(Folder() + "/kelvaro64.ali"), 8u);
}

TEST_F(ConnectionMenu, PortsFileWrittenByAScriptPointsAPortAtADevice)
{
    PtyPair pty;
    ASSERT_TRUE(pty.Ok());
    std::filesystem::create_directories(Folder());
    std::ofstream(Folder() + "/kelvaro64.ports") << "# set by a test script\n5=" << pty.SlavePath() << "\n";
    auto app = Start();
    ConnectionManager& c = app->mainFrame->Connections();
    EXPECT_EQ(c.Ports().PortPath(5), pty.SlavePath());
    EXPECT_NE(c.OpenSerialPort(5), pomrel::kNoHandle);
}

// A third-party master polls port 3, set up as RTU 19200 8E1 on one end of a socat pair.
TEST_F(ConnectionMenu, ThirdPartyMasterPollsAConnectedPort)
{
    const QString socat = QStandardPaths::findExecutable("socat");
    const QString mbpoll = QStandardPaths::findExecutable("mbpoll");
    if (socat.isEmpty() || mbpoll.isEmpty())
        GTEST_SKIP() << "socat or mbpoll missing";
    QTemporaryDir links;
    const QString master = links.path() + "/master", slave = links.path() + "/slave";
    QProcess pair;
    pair.start(socat, {"pty,raw,echo=0,link=" + master, "pty,raw,echo=0,link=" + slave});
    ASSERT_TRUE(pair.waitForStarted());
    ASSERT_TRUE(WaitUntil([&] { return QFile::exists(master) && QFile::exists(slave); }));

    auto app = Start();
    CMainFrame& frame = *app->mainFrame;
    app->NewDocument()->SetWord(0, 4242);   // holding register 1 of device 1
    ConnectionManager& c = frame.Connections();
    ASSERT_TRUE(c.ConnectPort(3, [&](ComSettings& v) {
        v.baudRate = 19200;
        v.parity = 2;
        v.devicePath = slave.toStdString();
        return true;
    }));
    ASSERT_TRUE(c.IsPortOpen(3));

    QProcess poll;
    poll.start(mbpoll, {"-m", "rtu", "-b", "19200", "-d", "8", "-s", "1", "-P", "even", "-a", "1", "-r", "1", "-c", "1",
                        "-t", "4", "-1", "-o", "2", master});
    ASSERT_TRUE(poll.waitForFinished(15000));
    const QString out = QString::fromLocal8Bit(poll.readAllStandardOutput());
    EXPECT_EQ(poll.exitCode(), 0) << poll.readAllStandardError().toStdString();
    EXPECT_TRUE(out.contains(QRegularExpression("\\[1\\]:\\s+4242"))) << out.toStdString();

    CCountersDlg counters(c);
    counters.OnTimer();
    EXPECT_EQ(counters.Field(1015)->text(), "1");   // COMM 3 valid messages
    EXPECT_TRUE(frame.RunCommand(cmd::DisconnectPort[2]));
    counters.OnTimer();
    EXPECT_EQ(counters.Field(1015)->text(), "0");

    app->Shutdown();
    pair.terminate();
    pair.waitForFinished(5000);
}

// A failed open through the Connect menu is not passed off as a success: a message names the
// port and the system's reason. An open that works says nothing.
TEST_F(ConnectionMenu, AFailedConnectSaysWhichPortAndWhy)
{
    auto app = Start();
    CMainFrame& frame = *app->mainFrame;
    QTcpServer taken;
    ASSERT_TRUE(taken.listen(QHostAddress::Any, 0));
    const quint16 takenPort = taken.serverPort();
    PtyPair pty;
    ASSERT_TRUE(pty.Ok());
    const std::string missing = dir.path().toStdString() + "/no-such-device";
    const std::string folder = dir.path().toStdString();

    QString device, servicePort;   // what the dialog gets typed in
    QStringList messages;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        QWidget* modal = QApplication::activeModalWidget();
        if (!modal || !modal->isVisible())
            return;
        if (auto* box = qobject_cast<QMessageBox*>(modal)) {
            messages << box->text();
            box->accept();
        } else if (auto* com = qobject_cast<CComDlg*>(modal)) {
            com->findChild<QComboBox*>("devicePath")->setEditText(device);
            com->findChild<QPushButton*>("control1")->click();
        } else if (auto* svc = qobject_cast<QDialog*>(modal); svc && svc->objectName() == "dialog132") {
            svc->findChild<QLineEdit*>("control1010")->setText(servicePort);
            svc->accept();
        }
    });
    poll.start(5);

    const auto reason = [](int error) { return std::error_code(error, std::generic_category()).message(); };
    struct Case {
        int command;
        std::string device;   // or the service port
        std::string message;  // empty: the open works and nothing is said
    };
    const Case cases[] = {
        {cmd::ConnectServer, std::to_string(takenPort),
         "Could not open Modbus/TCP server (port " + std::to_string(takenPort) + "): " + reason(EADDRINUSE) + "."},
        {cmd::ConnectPort[2], missing, "Could not open Port 3 (" + missing + "): " + reason(ENOENT) + "."},
        {cmd::ConnectPort[3], folder, "Could not open Port 4 (" + folder + "): " + reason(EISDIR) + "."},
        {cmd::ConnectPort[4], pty.SlavePath(), ""},
        {cmd::ConnectServer, "0", ""},
    };
    for (const Case& c : cases) {
        device = servicePort = QString::fromStdString(c.device);
        messages.clear();
        ASSERT_TRUE(frame.RunCommand(c.command)) << c.device;
        if (c.message.empty()) {
            EXPECT_EQ(messages, QStringList{}) << c.device;
            continue;
        }
        EXPECT_EQ(messages, QStringList{QString::fromStdString(c.message)}) << c.device;
    }
    EXPECT_TRUE(frame.Connections().IsPortOpen(5));
    EXPECT_TRUE(frame.Connections().IsServerOpen());
    EXPECT_FALSE(frame.Connections().IsPortOpen(3));
    app->Shutdown();
}

TEST_F(ConnectionMenu, StatusOpensTheCountersDialog)
{
    auto app = Start();
    QString title;
    QTimer::singleShot(0, [&] {
        if (auto* dlg = qobject_cast<QDialog*>(QApplication::activeModalWidget())) {
            title = dlg->windowTitle();
            dlg->findChild<QPushButton*>("control2")->click();
        }
    });
    EXPECT_TRUE(app->mainFrame->RunCommand(cmd::Status));
    EXPECT_EQ(title, "Connection Status Counters");
}

} // namespace
