// The headless program serving saved set-ups to third-party masters: the demo of examples/ polled
// by mbpoll and pymodbus, and a set-up built and saved in the desktop program, then served.
// Waits are bounded only to end a hung run; nothing here measures time.
#include "../app/ModalAnswerer.h"
#include "app/CKelvaro32App.h"
#include "app/CMainFrame.h"
#include "app/CommandIds.h"
#include "app/TestConfig.h"
#include "document/FileAccess.h"
#include "document/CKelvaro32Doc.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <pty.h>
#include <unistd.h>

namespace {

// Reads every item once, then again until each watched item ("!" in front) differs from its
// first reading. Prints {"first": {...}, "later": {...}}; items are "hr:ADDR:N", "ir:…", "co:…".
const char* const kPollScript = R"(
import json, sys, time
from pymodbus.client import ModbusTcpClient
port = int(sys.argv[1]); items = sys.argv[2:]
c = ModbusTcpClient("127.0.0.1", port=port, timeout=2)
if not c.connect(): sys.exit("cannot connect")
def read(item):
    kind, addr, n = item.lstrip("!").split(":"); addr = int(addr); n = int(n)
    if kind == "co": rr = c.read_coils(addr, n, slave=1)
    elif kind == "ir": rr = c.read_input_registers(addr, n, slave=1)
    else: rr = c.read_holding_registers(addr, n, slave=1)
    if rr.isError(): sys.exit("read %s failed: %s" % (item, rr))
    return [int(b) for b in rr.bits[:n]] if kind == "co" else list(rr.registers)
first = {i.lstrip("!"): read(i) for i in items}
later = dict(first)
deadline = time.time() + 30
while time.time() < deadline:
    later = {i.lstrip("!"): read(i) for i in items}
    if all(later[i[1:]] != first[i[1:]] for i in items if i.startswith("!")): break
    time.sleep(0.2)
print(json.dumps({"first": first, "later": later}))
)";

QProcessEnvironment Environment(const QString& configFolder)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "offscreen");
    env.insert("XDG_CONFIG_HOME", configFolder);
    return env;
}

// kelvaro64-headless on a port the system picks; the port comes from its "open:" line.
class Headless {
public:
    Headless(const QStringList& files, const QString& folder)
    {
        process_.setProcessEnvironment(Environment(folder + "/config"));
        process_.setWorkingDirectory(folder);
        process_.start(KV_HEADLESS, QStringList{"--tcp-port", "0", "--automation-port", "0"} + files);
        const QRegularExpression open(R"(^open: Modbus/TCP server \(port (\d+)\)$)");
        while (port_ == 0 && process_.state() != QProcess::NotRunning) {
            if (!process_.canReadLine() && !process_.waitForReadyRead(20000))
                break;
            while (process_.canReadLine()) {
                const QString line = QString::fromUtf8(process_.readLine()).trimmed();
                output_ += line + "\n";
                if (auto m = open.match(line); m.hasMatch())
                    port_ = m.captured(1).toInt();
            }
        }
    }
    ~Headless()
    {
        if (process_.state() != QProcess::NotRunning) {
            process_.kill();
            process_.waitForFinished(5000);
        }
    }
    int Port() const { return port_; }
    QString Output() { return output_ + process_.readAllStandardError(); }
    /// SIGTERM, then the exit code (-1 if it did not end normally).
    int Stop()
    {
        process_.terminate();
        if (!process_.waitForFinished(10000) || process_.exitStatus() != QProcess::NormalExit)
            return -1;
        return process_.exitCode();
    }

private:
    QProcess process_;
    int port_ = 0;
    QString output_;
};

QByteArray RunProgram(const QString& program, const QStringList& args, int* exitCode = nullptr)
{
    QProcess p;
    p.start(program, args);
    if (!p.waitForFinished(60000))
        p.kill();
    if (exitCode)
        *exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    return p.readAllStandardOutput() + p.readAllStandardError();
}

QJsonObject Poll(int port, const QStringList& items)
{
    int rc = 0;
    const QByteArray out = RunProgram(KV_PYTHON, QStringList{"-c", kPollScript, QString::number(port)} + items, &rc);
    EXPECT_EQ(rc, 0) << out.toStdString();
    return QJsonDocument::fromJson(out).object();
}

std::vector<int> Values(const QJsonObject& reading, const QString& item)
{
    std::vector<int> v;
    for (const auto& x : reading[item].toArray())
        v.push_back(x.toInt());
    return v;
}

// mbpoll's "[ref]: value" lines.
std::map<int, QString> Mbpoll(int port, const QStringList& args)
{
    const QString out = RunProgram("mbpoll", QStringList{"-m", "tcp", "-p", QString::number(port), "-a", "1", "-1"} + args
                                          + QStringList{"127.0.0.1"});
    std::map<int, QString> values;
    const QRegularExpression line(R"(^\[(\d+)\]:\s+(\S+)\s*$)", QRegularExpression::MultilineOption);
    for (auto it = line.globalMatch(out); it.hasNext();) {
        const auto m = it.next();
        values[m.captured(1).toInt()] = m.captured(2);
    }
    return values;
}

TEST(DemoSetUp, TheCommittedFilesAreTheGeneratorsOutput)
{
    QTemporaryDir dir;
    int rc = -1;
    const QByteArray out = RunProgram(KV_MAKE_DEMO, {dir.path()}, &rc);
    ASSERT_EQ(rc, 0) << out.toStdString();
    const QStringList files = QDir(dir.path()).entryList(QDir::Files);
    EXPECT_EQ(files.size(), 4);
    for (const QString& name : files) {
        QFile made(dir.path() + "/" + name), committed(QString(KV_EXAMPLES) + "/" + name);
        ASSERT_TRUE(made.open(QIODevice::ReadOnly));
        ASSERT_TRUE(committed.open(QIODevice::ReadOnly)) << name.toStdString();
        EXPECT_EQ(made.readAll(), committed.readAll()) << name.toStdString() << ": run kelvaro64-make-demo examples";
    }
}

TEST(DemoSetUp, ServedHeadlessToMbpollAndPymodbus)
{
    QTemporaryDir dir;
    Headless server({QString(KV_EXAMPLES) + "/demo.tst"}, dir.path());
    ASSERT_NE(server.Port(), 0) << server.Output().toStdString();

    const auto floats = Mbpoll(server.Port(), {"-t", "4:float", "-r", "1", "-c", "4"});
    ASSERT_EQ(floats.size(), 4u);
    EXPECT_FLOAT_EQ(floats.at(1).toFloat(), 3.14159f);
    EXPECT_FLOAT_EQ(floats.at(3).toFloat(), 2.71828f);
    EXPECT_FLOAT_EQ(floats.at(5).toFloat(), -40.5f);
    EXPECT_FLOAT_EQ(floats.at(7).toFloat(), 1013.25f);

    const QJsonObject r = Poll(server.Port(), {"ir:0:9", "!co:0:2", "!hr:10:2"});
    const QJsonObject first = r["first"].toObject(), later = r["later"].toObject();
    EXPECT_EQ(Values(first, "ir:0:9"), (std::vector<int>{100, 200, 300, 400, 500, 600, 700, 800, 900}));
    EXPECT_NE(Values(later, "co:0:2"), Values(first, "co:0:2")) << "the coils toggle";
    EXPECT_NE(Values(later, "hr:10:2"), Values(first, "hr:10:2")) << "the ramp moves";
    EXPECT_EQ(server.Stop(), 0);
}

TEST(DemoSetUp, ADocumentAloneIsServedOnModbusTcp)
{
    QTemporaryDir dir;
    Headless server({QString(KV_EXAMPLES) + "/demo-input-registers.kvd"}, dir.path());
    ASSERT_NE(server.Port(), 0) << server.Output().toStdString();
    const auto values = Mbpoll(server.Port(), {"-t", "3", "-r", "2", "-c", "2"});
    EXPECT_EQ(values, (std::map<int, QString>{{2, "200"}, {3, "300"}}));
    EXPECT_EQ(server.Stop(), 0);
}

TEST(Headless, PrintsOneLinePerConnectionOpenedOrFailed)
{
    QTemporaryDir dir;
    int master = -1, slave = -1;
    char name[256] = {};
    ASSERT_EQ(::openpty(&master, &slave, name, nullptr, nullptr), 0);
    // Ports 30 and 31 stand for a pseudo-terminal and a device that does not exist.
    ASSERT_TRUE(QDir().mkpath(dir.path() + "/config/Orvane"));
    const std::string mapping = std::string("30=") + name + "\n31=" + dir.path().toStdString() + "/no-such-tty\n";
    ASSERT_TRUE(WriteFileAtomically(dir.path().toStdString() + "/config/Orvane/kelvaro64.ports",
                                    std::vector<std::uint8_t>(mapping.begin(), mapping.end())));
    std::vector<TestConfigPort> ports(32);
    for (auto& p : ports)
        p.settings.parity = 0;
    ports[29].open = 1;
    ports[30].open = 1;
    const std::string tst = dir.path().toStdString() + "/ports.tst";
    ASSERT_TRUE(WriteFileAtomically(tst, SerializeTestConfig({}, ports, true, {})));

    Headless server({QString::fromStdString(tst)}, dir.path());
    ASSERT_NE(server.Port(), 0) << server.Output().toStdString();
    const QStringList lines = server.Output().split('\n', Qt::SkipEmptyParts);
    ASSERT_GE(lines.size(), 3) << server.Output().toStdString();
    EXPECT_EQ(lines[0], QString("open: Port 30 (%1)").arg(name));
    EXPECT_TRUE(lines[1].startsWith(QString("failed: Port 31 (%1/no-such-tty): ").arg(dir.path()))) << lines[1].toStdString();
    EXPECT_EQ(lines[2], QString("open: Modbus/TCP server (port %1)").arg(server.Port()));
    EXPECT_EQ(server.Stop(), 0);
    ::close(master);
    ::close(slave);
}

// The whole road: a set-up made in the desktop program, saved as a test configuration, served by
// the headless program to a third-party master that reads the values and sees the points move.
TEST(DoneWhen, ASetUpSavedOnTheDesktopIsServedHeadless)
{
    QTemporaryDir dir;
    const QString tst = dir.path() + "/set-up.tst";
    {
        AppOptions o;
        o.settingsFolder = dir.path().toStdString() + "/Orvane";
        o.executablePath = dir.path().toStdString() + "/kelvaro64";
        CKelvaro32App app(o);
        ASSERT_TRUE(app.InitInstance({}));
        CMainFrame& frame = *app.mainFrame;
        app.servicePort = 0;

        ASSERT_TRUE(frame.RunCommand(cmd::FileNew));
        CKelvaro32Doc* registers = frame.ActiveDocument();
        for (int i = 0; i < 10; ++i)
            registers->SetWord(i, static_cast<std::uint16_t>(1000 + i));
        auto ramp = std::make_unique<CAutomatePt>();
        ramp->pointIndex = 5;
        ramp->valueType = kValueWord;
        ramp->simulationType = kSimIncrement;
        ramp->interval = 1;
        ramp->step = 1.0f;
        ramp->lowLimit = 0.0f;
        ramp->highLimit = 60000.0f;
        registers->AddSimulatedPoint(std::move(ramp));

        ASSERT_TRUE(frame.RunCommand(cmd::FileNew));
        CKelvaro32Doc* coils = frame.ActiveDocument();
        coils->pointType = 1;
        coils->startAddress = 101;
        coils->length = 8;
        coils->SetupViews();
        auto toggle = std::make_unique<CAutomatePt>();
        toggle->pointIndex = 0;
        toggle->valueType = kValueBit;
        toggle->simulationType = kSimToggle;
        toggle->interval = 1;
        toggle->step = 1.0f;            // what the Coil Simulation dialog gives every coil point
        toggle->lowLimit = 0.0f;
        toggle->highLimit = 100.0f;
        coils->AddSimulatedPoint(std::move(toggle));
        coils->SetWord(3, 1);

        ASSERT_NE(frame.Connections().OpenServer(app.servicePort), pomrel::kNoHandle);

        ModalAnswerer answers;
        answers.File(tst);
        answers.File(dir.path() + "/registers.kvd");
        answers.File(dir.path() + "/coils.kvd");
        ASSERT_TRUE(frame.RunCommand(cmd::SaveTestConfig));
        ASSERT_TRUE(answers.Done());
        ASSERT_EQ(answers.unexpected, 0);
    }

    Headless server({tst}, dir.path());
    ASSERT_NE(server.Port(), 0) << server.Output().toStdString();
    const QJsonObject r = Poll(server.Port(), {"hr:0:5", "!hr:5:1", "co:103:1", "!co:100:1"});
    const QJsonObject first = r["first"].toObject(), later = r["later"].toObject();
    EXPECT_EQ(Values(first, "hr:0:5"), (std::vector<int>{1000, 1001, 1002, 1003, 1004}));
    EXPECT_EQ(Values(first, "co:103:1"), std::vector<int>{1});
    EXPECT_NE(Values(later, "hr:5:1"), Values(first, "hr:5:1")) << "the simulated register moves";
    EXPECT_NE(Values(later, "co:100:1"), Values(first, "co:100:1")) << "the simulated coil toggles";
    EXPECT_EQ(server.Stop(), 0);
}

} // namespace
