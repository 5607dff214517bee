// kelvaro64-manual-shots: the real application, driven through its own commands, photographs
// its main window and every dialog for the manual (scripts/screenshot-manual.sh runs it under
// Xvfb). Each dialog is opened the way a user opens it; a watcher photographs it as soon as it
// is on screen and then closes it, so the modal loops end by themselves. Last come the windows
// learn mode made for a master's requests and Tools > Behaviour over the tank example.
//   kelvaro64-manual-shots EXAMPLES_FOLDER OUT_FOLDER
#include "app/CChildFrame.h"
#include "app/CKelvaro32App.h"
#include "app/CMainFrame.h"
#include "app/CommandIds.h"
#include "app/LearnMode.h"
#include "app/TestConfig.h"
#include "app/ToolsCommands.h"
#include "behaviour/BehaviourWindow.h"
#include "behaviour/TrendWindow.h"
#include "document/CKelvaro32Doc.h"
#include "document/RegisterValues.h"
#include "monitor/TrafficMonitorWindow.h"
#include "servers/NetworkServers.h"
#include "statistics/AccessStatsWindow.h"
#include "view/CKelvaro32View.h"
#include "view/PointEditingDialog.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDialog>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QElapsedTimer>
#include <QMdiArea>
#include <QMenu>
#include <QMenuBar>
#include <QPainter>
#include <QPointer>
#include <QSplitter>
#include <QTableView>
#include <QTableWidget>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>
#include <cstdio>
#include <deque>
#include <functional>

namespace {

QString g_out;
int g_failures = 0;

void Settle(int ms)
{
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < ms)
        QApplication::processEvents(QEventLoop::AllEvents, 20);
}

void Save(const QPixmap& picture, const QString& name)
{
    const QString path = g_out + "/" + name + ".png";
    if (!picture.save(path)) {
        std::fprintf(stderr, "could not write %s\n", qPrintable(path));
        ++g_failures;
        return;
    }
    std::printf("%s\n", qPrintable(path));
}

void Save(QWidget* w, const QString& name) { Save(w->grab(), name); }

// A window with one of its menus open, as the user sees it: the menu is a window of its own.
void SaveWithMenu(QWidget* window, QMenu* menu, const QString& name)
{
    QPixmap picture = window->grab();
    QPainter painter(&picture);
    painter.drawPixmap(window->mapFromGlobal(menu->pos()), menu->grab());
    painter.end();
    Save(picture, name);
}

// One step of a dialog chain: the picture's name, and what to do with the dialog afterwards
// (default: close it).
struct Step {
    QString name;
    std::function<void(QDialog*)> then;
};

QDialog* NewDialog(const QList<QPointer<QDialog>>& seen)
{
    for (QWidget* w : QApplication::topLevelWidgets()) {
        auto* d = qobject_cast<QDialog*>(w);
        if (d && d->isVisible() && !seen.contains(d))
            return d;
    }
    return nullptr;
}

// Runs `open` (which may block in a modal loop) and photographs the dialogs it brings up, in order.
// A modeless dialog leaves `open` at once: its picture is still to come then, so this waits for
// every step before it ends; nothing of one call may fire during the next.
void Shoot(std::deque<Step> steps, const std::function<void()>& open)
{
    auto seen = std::make_shared<QList<QPointer<QDialog>>>();
    auto pending = std::make_shared<std::deque<Step>>(std::move(steps));
    auto shooting = std::make_shared<bool>(false);
    QTimer watcher;
    QObject::connect(&watcher, &QTimer::timeout, [=] {
        if (pending->empty() || *shooting)
            return;
        QDialog* d = NewDialog(*seen);
        if (!d)
            return;
        seen->append(d);
        Step step = pending->front();
        pending->pop_front();
        *shooting = true;
        QTimer::singleShot(400, d, [=] {   // painted and laid out
            Save(d, step.name);
            if (step.then)
                step.then(d);
            else
                d->reject();
            *shooting = false;
        });
    });
    watcher.start(50);
    open();
    QElapsedTimer waited;
    waited.start();
    while ((!pending->empty() || *shooting) && waited.elapsed() < 10000)
        QApplication::processEvents(QEventLoop::AllEvents, 20);
    Settle(300);
    watcher.stop();
    for (QWidget* w : QApplication::topLevelWidgets())   // modeless dialogs and leftovers
        if (auto* d = qobject_cast<QDialog*>(w); d && d->isVisible())
            d->reject();
    if (!pending->empty() || *shooting) {
        std::fprintf(stderr, "no dialog appeared for %s\n",
                     qPrintable(pending->empty() ? QString("the last step") : pending->front().name));
        ++g_failures;
    }
}

std::function<void(QDialog*)> Click(const QString& text)
{
    return [text](QDialog* d) {
        for (auto* b : d->findChildren<QAbstractButton*>())
            if (b->text() == text) {
                QTimer::singleShot(0, b, &QAbstractButton::click);
                return;
            }
        std::fprintf(stderr, "no button %s\n", qPrintable(text));
        ++g_failures;
        d->reject();
    };
}

CChildFrame* ChildShowing(CMainFrame& frame, int pointType)
{
    for (CChildFrame* c : frame.Children())
        if (c->Document()->pointType == pointType)
            return c;
    return nullptr;
}

// A Modbus/TCP master of a few lines, for traffic in the traffic view.
void Poll(quint16 port)
{
    QTcpSocket s;
    s.connectToHost(QHostAddress::LocalHost, port);
    if (!s.waitForConnected(2000)) {
        std::fprintf(stderr, "traffic: no connection to port %u\n", port);
        ++g_failures;
        return;
    }
    for (quint16 id = 1; id <= 6; ++id) {
        const char fc = id % 2 ? 3 : 1;   // holding registers, coils
        const QByteArray request = QByteArray::fromRawData("\0\0\0\0\0\6\1", 7) + QByteArray(1, fc) +
                                   QByteArray::fromHex("00000004");
        QByteArray r = request;
        r[1] = static_cast<char>(id);
        s.write(r);
        s.waitForBytesWritten(1000);
        s.waitForReadyRead(1000);
        if (s.readAll().isEmpty()) {
            std::fprintf(stderr, "traffic: no answer on port %u\n", port);
            ++g_failures;
        }
        Settle(150);
    }
}

// One Write Single Register from the same kind of master: a written point for Access Marks.
void WriteRegister(quint16 port, quint16 address, quint16 value)
{
    QTcpSocket s;
    s.connectToHost(QHostAddress::LocalHost, port);
    if (!s.waitForConnected(2000)) {
        std::fprintf(stderr, "write: no connection to port %u\n", port);
        ++g_failures;
        return;
    }
    QByteArray request = QByteArray::fromHex("000900000006010600000000");
    request[8] = static_cast<char>(address >> 8);
    request[9] = static_cast<char>(address & 0xFF);
    request[10] = static_cast<char>(value >> 8);
    request[11] = static_cast<char>(value & 0xFF);
    s.write(request);
    s.waitForBytesWritten(1000);
    s.waitForReadyRead(1000);
    if (s.readAll().isEmpty()) {
        std::fprintf(stderr, "write: no answer on port %u\n", port);
        ++g_failures;
    }
}

// One request of a master that asks once: the answer, or nothing when none came within a second.
QByteArray Ask(quint16 port, const QByteArray& request)
{
    QTcpSocket s;
    s.connectToHost(QHostAddress::LocalHost, port);
    if (!s.waitForConnected(2000)) {
        std::fprintf(stderr, "ask: no connection to port %u\n", port);
        ++g_failures;
        return {};
    }
    s.write(request);
    s.waitForBytesWritten(1000);
    s.waitForReadyRead(1000);
    return s.readAll();
}

// Every data window closed, unsaved changes dropped: the next picture starts from an empty frame.
void CloseAll(CMainFrame& frame)
{
    for (CKelvaro32Doc* doc : frame.App().Documents().All())
        doc->SetModified(false);
    CloseAllDocuments(frame);
    frame.App().Aliases().ClearAliases();   // the next set-up's names only
    Settle(200);
}

QMenu* MenuNamed(CMainFrame& frame, const QString& title)
{
    for (QAction* a : frame.menuBar()->actions())
        if (a->menu() && a->text() == title)
            return a->menu();
    return nullptr;
}

// Tools > Learn ticked, a master asking a unit nothing serves: the windows it made, the menu open.
void ShootLearn(CKelvaro32App& app, CMainFrame& frame)
{
    CloseAll(frame);
    frame.RunCommand(cmd::ToolsLearn);
    const QByteArray readRegisters = QByteArray::fromHex("000100000006010300000008");
    const QByteArray readCoils = QByteArray::fromHex("000200000006010100000010");
    Ask(app.servicePort, readRegisters);   // nothing serves these yet: no answer
    Ask(app.servicePort, readCoils);
    app.Learn().Tick();
    // Served now; a value written shows in the learnt window.
    if (Ask(app.servicePort, QByteArray::fromHex("000300000006010600020457")).isEmpty() ||
        Ask(app.servicePort, readRegisters).isEmpty() || Ask(app.servicePort, readCoils).isEmpty()) {
        std::fprintf(stderr, "learn: the learnt windows did not answer\n");
        ++g_failures;
    }
    frame.findChild<QMdiArea*>()->tileSubWindows();
    Settle(1500);
    QMenu* tools = MenuNamed(frame, "&Tools");
    if (!tools || frame.Children().size() != 2) {
        std::fprintf(stderr, "learn: %s\n", tools ? "no two learnt windows" : "no Tools menu");
        ++g_failures;
    } else {
        frame.menuBar()->setActiveAction(tools->menuAction());
        Settle(300);
        for (QAction* a : tools->actions())
            if (a->text() == "&Learn")
                tools->setActiveAction(a);
        Settle(300);
        SaveWithMenu(&frame, tools, "learn");
        tools->close();
        Settle(200);
    }
    frame.RunCommand(cmd::ToolsLearn);
    CloseAll(frame);
}

// The tank example with the filler script and its reaction joined in, in a folder of its own.
QString TankWithFiller(const QString& examples, const QString& folder)
{
    const QDir from(examples + "/behaviour");
    for (const QString& name : from.entryList({"tank*.kvd", "tank.tst", "filler.lua"}, QDir::Files))
        QFile::copy(from.filePath(name), folder + "/" + name);
    const auto read = [&](const QString& name) {
        QFile f(from.filePath(name));
        f.open(QIODevice::ReadOnly);
        return QJsonDocument::fromJson(f.readAll()).object();
    };
    QJsonObject extras = read("tank.tst.json");
    const QJsonObject filler = read("filler.tst.json");
    for (auto it = filler.begin(); it != filler.end(); ++it)
        extras.insert(it.key(), it.value());
    QFile out(folder + "/tank.tst.json");
    out.open(QIODevice::WriteOnly);
    out.write(QJsonDocument(extras).toJson());
    return folder + "/tank.tst";
}

// Tools > Behaviour with the tank's generators running and the filler started by a master.
void ShootBehaviour(CKelvaro32App& app, CMainFrame& frame, const QString& examples)
{
    QTemporaryDir folder;
    if (!RestoreTestConfig(frame, TankWithFiller(examples, folder.path()).toStdString())) {
        std::fprintf(stderr, "behaviour: the tank set-up did not open\n");
        ++g_failures;
        return;
    }
    frame.findChild<QMdiArea*>()->tileSubWindows();
    frame.RunCommand(cmd::ToolsBehaviour);
    auto* window = frame.findChild<behaviour::BehaviourWindow*>(QString(), Qt::FindDirectChildrenOnly);
    if (!window) {
        std::fprintf(stderr, "Tools > Behaviour did not open\n");
        ++g_failures;
        return;
    }
    window->resize(1000, 760);
    if (auto* split = window->findChild<QSplitter*>())
        split->setSizes({170, 110, 90, 130});   // every generator in sight
    Settle(1500);
    WriteRegister(app.servicePort, 99, 1);   // 40100 = 1: the filler starts
    Settle(2500);
    window->Generators()->selectRow(0);
    Settle(300);
    Save(window, "window-behaviour");
    window->close();
    CloseAll(frame);
}

} // namespace

int main(int argc, char** argv)
{
    QApplication qapp(argc, argv);
    if (argc != 3) {
        std::fprintf(stderr, "usage: kelvaro64-manual-shots EXAMPLES_FOLDER OUT_FOLDER\n");
        return 2;
    }
    const QString examples = QString::fromLocal8Bit(argv[1]);
    g_out = QString::fromLocal8Bit(argv[2]);

    QTemporaryDir settings;
    AppOptions options;
    options.settingsFolder = settings.path().toStdString() + "/Orvane";
    options.executablePath = QCoreApplication::applicationFilePath().toStdString();
    options.saveSettings = false;
    options.automationPort = 0;
    CKelvaro32App app(options);
    if (!app.InitInstance({}))
        return 1;
    CMainFrame& frame = *app.mainFrame;
    frame.resize(1000, 700);
    frame.move(0, 0);
    {
        QTcpServer probe;   // a free port for the demo's Modbus/TCP server
        probe.listen(QHostAddress::LocalHost, 0);
        app.servicePort = probe.serverPort();
    }
    Settle(300);
    Save(&frame, "main-window-empty");

    // The demo set-up: three windows of device 1, values moving.
    if (!RestoreTestConfig(frame, (examples + "/demo.tst").toStdString()))
        return 1;
    frame.findChild<QMdiArea*>()->tileSubWindows();
    Settle(2500);
    Save(&frame, "main-window");

    CChildFrame* holding = ChildShowing(frame, 3);
    CChildFrame* coils = ChildShowing(frame, 1);
    CChildFrame* inputs = ChildShowing(frame, 4);
    if (!holding || !coils || !inputs) {
        std::fprintf(stderr, "the demo set-up did not open its three windows\n");
        return 1;
    }
    holding->showMaximized();
    Settle(500);
    Save(holding, "data-window");
    holding->showNormal();
    frame.findChild<QMdiArea*>()->tileSubWindows();

    // Tools > Trend: points of the three windows, as their context menus add them, for a few seconds.
    AddPointToTrend(frame, holding->View()->PointAt(0));
    AddPointToTrend(frame, inputs->View()->PointAt(9));
    AddPointToTrend(frame, coils->View()->PointAt(0));
    if (auto* trend = frame.findChild<behaviour::TrendWindow*>(QString(), Qt::FindDirectChildrenOnly)) {
        trend->resize(1000, 480);
        Settle(6000);
        Save(trend, "window-trend");
        trend->close();
    } else {
        std::fprintf(stderr, "Tools > Trend did not open\n");
        ++g_failures;
    }

    auto edit = [&](CChildFrame* child, int format, int point) {
        return [&app, child, format, point] {
            RunPointEditor(child->View(), *child->Document(), app.Aliases(), format, false, point);
        };
    };
    Shoot({{"dialog-write-float", {}}}, edit(holding, kFloat, 0));
    Shoot({{"dialog-write-register", {}}}, edit(inputs, kDecimal, 0));
    Shoot({{"dialog-write-hex", {}}}, edit(inputs, kHex, 0));
    Shoot({{"dialog-write-binary", {}}}, edit(inputs, kBinary, 0));
    Shoot({{"dialog-write-coil", {}}}, edit(coils, kDecimal, 0));
    Shoot({{"dialog-write-register-sim", Click("Auto Simulation")}, {"dialog-simulation", {}}}, edit(inputs, kDecimal, 9));
    Shoot({{"dialog-write-coil-sim", Click("Auto Simulation")}, {"dialog-coil-simulation", {}}}, edit(coils, kDecimal, 0));

    frame.findChild<QMdiArea*>()->setActiveSubWindow(nullptr);
    Shoot({{"dialog-setup-connection", {}}}, [&] { frame.RunCommand(cmd::ConnectPort[0]); });
    // A Modbus/UDP server and a device at its own address, for the Status and Network Servers pictures.
    servers::ServerSetup network;
    network.servers.resize(1);
    network.servers[0].protocol = pomrel::ServerProtocol::Udp;
    network.servers[0].port = 1502;
    network.endpoints.resize(1);
    network.endpoints[0].address = "127.0.0.2";
    network.endpoints[0].port = 1502;
    network.endpoints[0].units = {{1, 7}};
    network.endpoints[0].number = 1;
    app.Servers().Apply(network);
    Shoot({{"dialog-status", {}}}, [&] { frame.RunCommand(cmd::Status); });
    Shoot({{"dialog-fault-injection", {}}}, [&] { frame.RunCommand(cmd::ToolsFaultInjection); });
    Shoot({{"dialog-network-servers", {}}}, [&] { frame.RunCommand(cmd::ToolsNetworkServers); });
    app.Servers().Apply({});
    Shoot({{"dialog-about", {}}}, [&] { frame.RunCommand(cmd::AppAbout); });
    Shoot({{"dialog-fonts", {}}}, [&] { frame.RunCommand(cmd::Fonts); });
    Shoot({{"dialog-colors", {}}}, [&] { frame.RunCommand(cmd::Background); });

    // Traffic: a few requests from a master, seen in the holding window turned to traffic.
    frame.findChild<QMdiArea*>()->setActiveSubWindow(nullptr);
    holding->showMaximized();
    holding->setFocus();
    frame.RunCommand(cmd::ShowTraffic);
    // Tools > Traffic Monitor open while the same master polls, raw bytes shown.
    frame.RunCommand(cmd::ToolsTrafficMonitor);
    auto* trafficMonitor = frame.findChild<monitor::TrafficMonitorWindow*>(QString(), Qt::FindDirectChildrenOnly);
    if (trafficMonitor) {
        trafficMonitor->resize(1260, 360);
        trafficMonitor->ShowBytes(true);
    }
    Poll(app.servicePort);
    Settle(1500);
    Save(holding, "traffic");
    if (trafficMonitor) {
        trafficMonitor->Table()->selectRow(1);
        Settle(300);
        Save(trafficMonitor, "window-traffic-monitor");
        trafficMonitor->close();
    } else {
        std::fprintf(stderr, "Tools > Traffic Monitor did not open\n");
        ++g_failures;
    }

    // Access Marks and Tools > Access Statistics after a master read four registers and wrote one.
    frame.RunCommand(cmd::ShowData);
    frame.RunCommand(cmd::DisplayAccessMarks);
    Poll(app.servicePort);
    WriteRegister(app.servicePort, 5, 1234);
    holding->View()->OnRefreshTimer();
    Settle(300);
    // The picture must show each mark the manual's legend explains.
    const CKelvaro32View* marked = holding->View();
    if (marked->ShownMark(0) != AccessMark::kRead || marked->ShownMark(5) != AccessMark::kWritten ||
        marked->ShownMark(10) != AccessMark::kNeverRead) {
        std::fprintf(stderr, "access marks: 40001 read, 40006 written, 40011 never read are not all shown\n");
        ++g_failures;
    }
    Save(holding, "access-marks");
    frame.RunCommand(cmd::ToolsAccessStatistics);
    if (auto* stats = frame.findChild<statistics::AccessStatsWindow*>(QString(), Qt::FindDirectChildrenOnly)) {
        stats->resize(1000, 360);
        stats->Tick();
        stats->PointsTable()->sortByColumn(statistics::AccessStatsModel::kLastWrite, Qt::DescendingOrder);
        stats->PointsTable()->selectRow(0);
        Settle(300);
        Save(stats, "window-access-statistics");
        stats->close();
    } else {
        std::fprintf(stderr, "Tools > Access Statistics did not open\n");
        ++g_failures;
    }
    frame.RunCommand(cmd::DisplayAccessMarks);

    ShootLearn(app, frame);
    ShootBehaviour(app, frame, examples);

    // Last: asking for the service port again means disconnecting the server first.
    Shoot({{"dialog-service-port", {}}}, [&] { frame.RunCommand(cmd::DisconnectServer); frame.RunCommand(cmd::ConnectServer); });

    app.Shutdown();
    return g_failures == 0 ? 0 : 1;
}
