// The Connection menu: Connect and Disconnect of the Modbus/TCP server and ports 1..32, and
// Status. Connect is enabled exactly while its connection is closed, Disconnect while open.
#include "app/CKelvaro32App.h"
#include "app/CMainFrame.h"
#include "app/CommandIds.h"
#include "app/SubsystemCommands.h"
#include "connections/CComDlg.h"
#include "connections/CCountersDlg.h"
#include "connections/SvcPortDlg.h"

#include <QMessageBox>

namespace {

// The dialog has closed as after a success; a failed open must not pass for one. The text names
// the port and the system's reason.
void TellFailedOpen(CMainFrame& frame)
{
    const std::string failure = frame.TakeOpenFailure();
    if (!failure.empty())
        QMessageBox::warning(&frame, "Kelvaro64", QString("Could not open %1.").arg(QString::fromStdString(failure)));
}

} // namespace

void RegisterConnectionCommands(CMainFrame& frame)
{
    CMainFrame* f = &frame;
    ConnectionManager* c = &frame.Connections();
    CommandTable& commands = frame.Commands();

    commands.Add(
        cmd::ConnectServer,
        [f, c] {
            f->TakeOpenFailure();
            if (c->ConnectServer(f->App().servicePort, [f](std::uint16_t& port) { return RunSvcPortDlg(port, f); }))
                TellFailedOpen(*f);
        },
        [c](CommandState& s) { s.enabled = !c->IsServerOpen(); });
    commands.Add(
        cmd::DisconnectServer, [c] { c->DisconnectServer(); }, [c](CommandState& s) { s.enabled = c->IsServerOpen(); });

    for (int port = 1; port <= PortTable::kPorts; ++port) {
        const std::size_t i = static_cast<std::size_t>(port - 1);
        commands.Add(
            cmd::ConnectPort[i],
            [f, c, port] {
                f->TakeOpenFailure();
                if (c->ConnectPort(port, [f](ComSettings& v) { return RunComDlg(v, f); }))
                    TellFailedOpen(*f);
            },
            [c, port](CommandState& s) { s.enabled = !c->IsPortOpen(port); });
        commands.Add(
            cmd::DisconnectPort[i], [c, port] { c->DisconnectPort(port); },
            [c, port](CommandState& s) { s.enabled = c->IsPortOpen(port); });
    }

    commands.Add(cmd::Status, [f, c] {
        CCountersDlg dlg(*c, f);
        dlg.ShowServers(&f->App().Servers());
        dlg.exec();
    });
}
