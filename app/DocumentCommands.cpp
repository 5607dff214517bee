#include "app/DocumentCommands.h"

#include "app/CChildFrame.h"
#include "app/CKelvaro32App.h"
#include "app/CMainFrame.h"
#include "app/CommandIds.h"
#include "app/SubsystemCommands.h"
#include "document/CKelvaro32Doc.h"

#include <QFileInfo>
#include <QMessageBox>

bool SaveModified(CMainFrame& frame, CKelvaro32Doc& doc, QWidget* parent)
{
    if (!doc.IsModified())
        return true;
    const auto answer = QMessageBox::question(parent, "Kelvaro64",
                                              QString("Save changes to %1?").arg(QString::fromStdString(doc.title)),
                                              QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel);
    if (answer == QMessageBox::Cancel)
        return false;
    if (answer == QMessageBox::Yes)
        return SaveDocument(frame, doc, parent, doc.pathName.empty());
    return true;
}

void RegisterDocumentCommands(CMainFrame& frame)
{
    CMainFrame* f = &frame;
    frame.Commands().Add(cmd::FileNew, [f] { f->App().NewDocument(); });
    frame.Commands().Add(cmd::FileClose, [f] {
        if (auto* child = f->ActiveChild())
            child->close();
    });
    frame.Commands().Add(cmd::FileSave, [f] {
        if (auto* doc = f->ActiveDocument())
            SaveDocument(*f, *doc, f, doc->pathName.empty());
    });
    frame.Commands().Add(cmd::FileSaveAs, [f] {
        if (auto* doc = f->ActiveDocument())
            SaveDocument(*f, *doc, f, true);
    });
    RegisterDocumentFileCommands(frame);
}
