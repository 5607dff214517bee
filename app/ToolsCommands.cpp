// The Tools menu: the windows of what goes beyond the original program.
#include "app/CKelvaro32App.h"
#include "app/CMainFrame.h"
#include "app/CommandIds.h"
#include "app/LearnMode.h"
#include "app/SetupExtras.h"
#include "app/SubsystemCommands.h"
#include "app/ToolsCommands.h"
#include "app/TrafficCommands.h"
#include "behaviour/BehaviourWindow.h"
#include "behaviour/DocumentPoints.h"
#include "behaviour/TrendWindow.h"
#include "connections/ConnectionManager.h"
#include "document/CKelvaro32Doc.h"
#include "document/FileAccess.h"
#include "document/OpenDocuments.h"
#include "faults/FaultDialog.h"
#include "monitor/TrafficMonitorWindow.h"
#include "servers/NetworkServers.h"
#include "servers/NetworkServersDialog.h"
#include "statistics/AccessStatsWindow.h"

#include <algorithm>
#include <functional>

namespace {

// The links a fault rule can name that are open now: the Modbus/TCP server, each network server
// and each serial port.
std::vector<std::string> OpenLinks(CMainFrame& frame)
{
    std::vector<std::string> links;
    const auto add = [&links](const std::string& link) {
        if (std::find(links.begin(), links.end(), link) == links.end())
            links.push_back(link);
    };
    if (frame.Connections().IsServerOpen())
        add("tcp");
    for (const auto& e : frame.App().Servers().Entries()) {
        if (!e.Open())
            continue;
        switch (e.endpoint.protocol) {
        case pomrel::ServerProtocol::Tcp: add("tcp"); break;
        case pomrel::ServerProtocol::Udp: add("udp"); break;
        case pomrel::ServerProtocol::RtuOverTcp: add("rtu-over-tcp"); break;
        case pomrel::ServerProtocol::Tls: add("tls"); break;
        }
    }
    for (int port = 1; port <= PortTable::kPorts; ++port)
        if (frame.Connections().IsPortOpen(port))
            add("serial:" + std::to_string(port));
    return links;
}

// Tools windows live beside the data windows and the Traffic Monitor, not above them: one of
// each kind, shown (not run modally) and brought to the front when asked for again.
template <class Window>
void ShowOne(CMainFrame& frame, const std::function<Window*()>& make)
{
    auto* window = frame.findChild<Window*>(QString(), Qt::FindDirectChildrenOnly);
    if (!window)
        window = make();
    window->show();
    window->raise();
    window->activateWindow();
}

behaviour::TrendWindow* ShowTrend(CMainFrame& frame)
{
    auto* window = frame.findChild<behaviour::TrendWindow*>(QString(), Qt::FindDirectChildrenOnly);
    if (!window)
        window = new behaviour::TrendWindow(std::make_unique<behaviour::DocumentPoints>(frame.App().Documents()), &frame);
    window->show();
    window->raise();
    window->activateWindow();
    return window;
}

behaviour::BehaviourWindow* ShowBehaviour(CMainFrame& frame)
{
    auto* window = frame.findChild<behaviour::BehaviourWindow*>(QString(), Qt::FindDirectChildrenOnly);
    if (!window) {
        window = new behaviour::BehaviourWindow(frame.App().Behaviour(), &frame);
        window->trendPoint = [&frame](const behaviour::TrendPoint& point) { ShowTrend(frame)->AddPoint(point); };
    }
    window->show();
    window->raise();
    window->activateWindow();
    return window;
}

} // namespace

void AddGeneratorForPoint(CMainFrame& frame, const behaviour::TrendPoint& point)
{
    ShowBehaviour(frame)->AddGeneratorFor(behaviour::FormForPoint(point.unit, point.type, point.address, point.value, point.swapped));
}

void AddPointToTrend(CMainFrame& frame, const behaviour::TrendPoint& point) { ShowTrend(frame)->AddPoint(point); }

void RegisterToolsCommands(CMainFrame& frame)
{
    frame.Commands().Add(cmd::ToolsBehaviour, [&frame] { ShowBehaviour(frame); });
    frame.Commands().Add(cmd::ToolsTrend, [&frame] { ShowTrend(frame); });
    frame.Commands().Add(cmd::ToolsFaultInjection, [&frame] {
        ShowOne<faults::FaultDialog>(frame, [&frame] {
            auto* dlg = new faults::FaultDialog(frame.App().Faults(), &frame);
            dlg->openLinks = [&frame] { return OpenLinks(frame); };
            dlg->loadScenario = [&frame](const std::string& path, std::string& error) {
                return frame.App().LoadScenario(path, error);
            };
            dlg->saveScenario = [](const std::string& path, const std::vector<pomrel::FaultRule>& rules,
                                   std::string& error) {
                SetupExtras extras;
                extras.faults = rules;
                const std::string text = SerializeSetupExtras(extras);
                return WriteFileAtomically(path, std::vector<std::uint8_t>(text.begin(), text.end()), &error);
            };
            return dlg;
        });
    });
    frame.Commands().Add(cmd::ToolsNetworkServers, [&frame] {
        ShowOne<servers::NetworkServersDialog>(
            frame, [&frame] { return new servers::NetworkServersDialog(frame.App().Servers(), &frame); });
    });
    frame.Commands().Add(cmd::ToolsAccessStatistics, [&frame] {
        ShowOne<statistics::AccessStatsWindow>(frame, [&frame] {
            auto* window = new statistics::AccessStatsWindow(frame.App().Engine(), frame.App().Aliases(), &frame);
            // Only the devices and point types the open data windows serve are asked for: a
            // few questions a second instead of one per unit and type.
            window->takePoints = [&frame] {
                std::vector<std::pair<int, int>> served;
                for (const CKelvaro32Doc* doc : frame.App().Documents())
                    served.emplace_back(doc->deviceId, doc->pointType);
                return statistics::ServedPointsOf(frame.App().Engine(), std::move(served));
            };
            return window;
        });
    });
    // A window beside the data windows, not a dialog: one at a time, brought to the front when
    // asked for again; it listens to the program's tap while open.
    // Serving what masters ask for that nothing serves, as new data windows.
    frame.Commands().Add(
        cmd::ToolsLearn, [&frame] { frame.App().Learn().SetOn(!frame.App().Learn().On()); },
        [&frame](CommandState& state) {
            state.checkable = true;
            state.checked = frame.App().Learn().On();
        });
    frame.Commands().Add(cmd::ToolsTrafficMonitor, [&frame] {
        auto* window = frame.findChild<monitor::TrafficMonitorWindow*>(QString(), Qt::FindDirectChildrenOnly);
        if (!window) {
            window = new monitor::TrafficMonitorWindow(frame.App().Tap(), &frame);
            // Register values read as the data window serving them shows them.
            window->SetServingLookup(DataWindowLookup(frame));
        }
        window->show();
        window->raise();
        window->activateWindow();
    });
}
