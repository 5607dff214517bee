// Show Data / Show Traffic on the active data window; the data windows as the Traffic Monitor
// sees them.
#include "app/TrafficCommands.h"

#include "app/CKelvaro32App.h"
#include "app/CMainFrame.h"
#include "app/CommandIds.h"
#include "app/SubsystemCommands.h"
#include "servers/NetworkServers.h"
#include "view/CKelvaro32View.h"

monitor::ServingLookup DataWindowLookup(CMainFrame& frame)
{
    CKelvaro32App& app = frame.App();
    return monitor::DocumentLookup(
        app.Documents(), [&frame] { return frame.EnronMode(); },
        [&app](const pomrel::LinkId& link, int unit) -> std::optional<int> {
            for (const auto& entry : app.Servers().Entries())
                if (entry.Open() && monitor::EndpointOfLink(entry.endpoint, link))
                    return monitor::MappedDevice(entry.endpoint.units, unit);
            return unit;
        });
}

void RegisterTrafficCommands(CMainFrame& frame)
{
    auto add = [&frame](int id, bool traffic) {
        frame.Commands().Add(
            id,
            [&frame, traffic] {
                if (CKelvaro32View* view = frame.ActiveView())
                    view->SetTrafficMode(traffic);
            },
            [&frame, traffic](CommandState& state) {
                state.enabled = true;
                state.checkable = true;
                const CKelvaro32View* view = frame.ActiveView();
                state.checked = view && view->TrafficMode() == traffic;
            });
    };
    add(cmd::ShowData, false);
    add(cmd::ShowTraffic, true);
}
