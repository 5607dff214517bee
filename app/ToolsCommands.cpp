// The Tools menu: the windows of what goes beyond the original program.
#include "app/CKelvaro32App.h"
#include "app/CMainFrame.h"
#include "app/CommandIds.h"
#include "app/SubsystemCommands.h"
#include "faults/FaultDialog.h"

void RegisterToolsCommands(CMainFrame& frame)
{
    frame.Commands().Add(cmd::ToolsFaultInjection, [&frame] {
        faults::FaultDialog dlg(frame.App().Faults(), &frame);
        dlg.exec();
    });
}
