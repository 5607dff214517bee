// The Display menu's number formats and Access Marks, File Print for the active data window and Print Setup.
#include "app/CMainFrame.h"
#include "app/CommandIds.h"
#include "app/SubsystemCommands.h"
#include "view/CKelvaro32View.h"

#include <QPageSetupDialog>
#include <QPrintDialog>
#include <QPrinter>

void RegisterViewCommands(CMainFrame& frame)
{
    struct FormatCommand {
        int id;
        int format;
    };
    static constexpr FormatCommand kFormats[] = {
        {cmd::FormatBinary, kBinary},   {cmd::FormatDecimal, kDecimal},
        {cmd::FormatHex, kHex},         {cmd::FormatLong, kLong},
        {cmd::FormatLongSwapped, kLongSwapped}, {cmd::FormatFloat, kFloat},
        {cmd::FormatFloatSwapped, kFloatSwapped}, {cmd::FormatFloat64, kFloat64},
        {cmd::FormatFloat64Swapped, kFloat64Swapped},
    };
    for (const FormatCommand& c : kFormats) {
        const int format = c.format;
        frame.Commands().Add(
            c.id,
            [&frame, format] {
                CKelvaro32View* view = frame.ActiveView();
                if (!view || view->EnronAppliesNow())
                    return;
                view->SetDisplayFormat(format);
                view->RepaintAll(true);
            },
            [&frame, format](CommandState& state) {
                // An ENRON block keeps its own format: all nine are off and unchecked.
                const CKelvaro32View* view = frame.ActiveView();
                state.checkable = true;
                state.enabled = view && !view->EnronAppliesNow();
                state.checked = view && view->DisplayFormat() == format;
            });
    }

    // Colours every data window's labels by what masters did lately; off, they look as before.
    frame.Commands().Add(
        cmd::DisplayAccessMarks, [&frame] { frame.SetAccessMarks(!frame.AccessMarksOn()); },
        [&frame](CommandState& state) {
            state.checkable = true;
            state.checked = frame.AccessMarksOn();
        });

    // Print Preview (57609) stays without a handler and so shows disabled.
    frame.Commands().Add(
        cmd::FilePrint,
        [&frame] {
            CKelvaro32View* view = frame.ActiveView();
            if (!view)
                return;
            // The printer Print Setup chose, with its paper and orientation.
            QPrintDialog dialog(&frame.Printer(), &frame);
            if (dialog.exec() == QDialog::Accepted)
                view->PrintItems(frame.Printer());
        },
        [&frame](CommandState& state) { state.enabled = frame.ActiveView() != nullptr; });
    // Offered with and without a data window, like the printer set-up of the platform's programs.
    frame.Commands().Add(cmd::FilePrintSetup, [&frame] {
        QPageSetupDialog dialog(&frame.Printer(), &frame);
        dialog.exec();
    });
}
