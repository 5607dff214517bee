// Show Data / Show Traffic on the active data window.
#include "app/CMainFrame.h"
#include "app/CommandIds.h"
#include "app/SubsystemCommands.h"
#include "view/CKelvaro32View.h"

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
