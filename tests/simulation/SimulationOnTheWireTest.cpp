// The running application: the main timer steps an incrementing register and a toggling coil,
// and a third-party master sees both change on the wire.
#include "app/CKelvaro32App.h"
#include "app/CMainFrame.h"
#include "document/CKelvaro32Doc.h"
#include "simulation/SimDialogModels.h"
#include "view/CKelvaro32View.h"

#include <QApplication>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

constexpr const char* kPython = "/usr/bin/python3";
constexpr const char* kReader = R"PY(
import sys
from pymodbus.client import ModbusTcpClient
with ModbusTcpClient("127.0.0.1", port=int(sys.argv[1]), timeout=3) as c:
    r = c.read_holding_registers(0, 1, slave=1)
    b = c.read_coils(4, 1, slave=1)
    print(r.registers[0], int(b.bits[0]))
)PY";

std::string ReadOverTcp(std::uint16_t port)
{
    QProcess p;
    p.start(kPython, {"-c", kReader, QString::number(port)});
    if (!p.waitForStarted(30000) || !p.waitForFinished(60000) || p.exitCode() != 0)
        return "failed: " + p.readAllStandardError().toStdString();
    return p.readAllStandardOutput().trimmed().toStdString();
}

} // namespace

TEST(SimulationOnTheWire, IncrementAndToggleFollowTheMainTimer)
{
    if (!QFileInfo::exists(kPython))
        GTEST_SKIP() << "no " << kPython;
    QTemporaryDir dir;
    AppOptions o;
    o.settingsFolder = dir.path().toStdString() + "/Orvane";
    o.executablePath = dir.path().toStdString() + "/kelvaro64";
    o.saveSettings = false;
    o.automationPort = 0;
    CKelvaro32App app(o);
    ASSERT_TRUE(app.InitInstance({}));

    CKelvaro32Doc* regs = app.NewDocument();
    CKelvaro32Doc* coils = app.NewDocument();
    CKelvaro32View* coilView = app.mainFrame->ActiveView();
    ASSERT_EQ(coilView->Document(), coils);
    coils->pointType = 1;
    coilView->RegisterBlock();

    // As the Auto Simulation dialogs leave them: Increment every second, Toggle every second.
    simdlg::SimDlgModel inc;
    inc.enabled = 1;
    inc.simulationType = 1;
    inc.interval = 1;
    simdlg::ApplySimDialog(*regs, 0, 1, inc);
    simdlg::CoilSimDlgModel toggle;
    toggle.enabled = 1;
    toggle.simulationType = 1;
    toggle.interval = 1;
    simdlg::ApplyCoilSimDialog(*coils, 4, toggle);

    auto& engine = app.Engine();
    engine.SetTCPServicePort(0);
    const pomrel::Handle server = engine.OpenTCPConnection(nullptr, 0);
    ASSERT_NE(server, pomrel::kNoHandle) << engine.LastOpenError();
    const std::uint16_t port = engine.BoundTcpPort(server);

    for (int k = 0; k < 3; ++k)
        app.mainFrame->OnMainTimer();
    EXPECT_EQ(ReadOverTcp(port), "3 1");
    app.mainFrame->OnMainTimer();
    EXPECT_EQ(ReadOverTcp(port), "4 0");
    EXPECT_FALSE(regs->IsModified());
    EXPECT_FALSE(coils->IsModified());
    engine.CloseConnection(server);
    app.Shutdown();
}
