#include "app/CChildFrame.h"

#include "app/DocumentCommands.h"
#include "document/CKelvaro32Doc.h"
#include "view/CKelvaro32View.h"

#include <QCloseEvent>

CChildFrame::CChildFrame(std::unique_ptr<CKelvaro32Doc> doc, Workspace& workspace, QWidget* parent)
    : QMdiSubWindow(parent), doc_(std::move(doc))
{
    setAttribute(Qt::WA_DeleteOnClose);
    view_ = new CKelvaro32View(doc_.get(), workspace, this);
    setWidget(view_);
    UpdateTitle();
}

CChildFrame::~CChildFrame()
{
    // The view unregisters the block and must go before the memory it registered.
    delete view_;
    view_ = nullptr;
    doc_.reset();
}

void CChildFrame::UpdateTitle()
{
    setWindowTitle(QString::fromStdString(doc_->title));
}

void CChildFrame::ForceClose()
{
    forced_ = true;
    close();
}

void CChildFrame::closeEvent(QCloseEvent* event)
{
    if (!forced_ && !SaveModified(*doc_, this)) {
        event->ignore();
        return;
    }
    QMdiSubWindow::closeEvent(event);
}
