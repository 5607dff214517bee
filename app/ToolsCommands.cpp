// The Tools menu: the windows of what goes beyond the original program.
#include "app/CKelvaro32App.h"
#include "app/CMainFrame.h"
#include "app/CommandIds.h"
#include "app/SetupExtras.h"
#include "app/SubsystemCommands.h"
#include "document/FileAccess.h"
#include "faults/FaultDialog.h"
#include "monitor/TrafficMonitorWindow.h"
#include "servers/NetworkServersDialog.h"

void RegisterToolsCommands(CMainFrame& frame)
{
    frame.Commands().Add(cmd::ToolsFaultInjection, [&frame] {
        faults::FaultDialog dlg(frame.App().Faults(), &frame);
        dlg.loadScenario = [&frame](const std::string& path, std::string& error) {
            return frame.App().LoadScenario(path, error);
        };
        dlg.saveScenario = [](const std::string& path, const std::vector<pomrel::FaultRule>& rules, std::string& error) {
            SetupExtras extras;
            extras.faults = rules;
            const std::string text = SerializeSetupExtras(extras);
            return WriteFileAtomically(path, std::vector<std::uint8_t>(text.begin(), text.end()), &error);
        };
        dlg.exec();
    });
    frame.Commands().Add(cmd::ToolsNetworkServers, [&frame] {
        servers::NetworkServersDialog dlg(frame.App().Servers(), &frame);
        dlg.exec();
    });
    // A window beside the data windows, not a dialog: one at a time, brought to the front when
    // asked for again; it listens to the program's tap while open.
    frame.Commands().Add(cmd::ToolsTrafficMonitor, [&frame] {
        auto* window = frame.findChild<monitor::TrafficMonitorWindow*>(QString(), Qt::FindDirectChildrenOnly);
        if (!window)
            window = new monitor::TrafficMonitorWindow(frame.App().Tap(), &frame);
        window->show();
        window->raise();
        window->activateWindow();
    });
}
