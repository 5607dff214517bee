#include "app/CChildFrame.h"

#include "app/CKelvaro32App.h"
#include "app/CMainFrame.h"
#include "app/DocumentCommands.h"
#include "app/ToolsCommands.h"
#include "behaviour/BehaviourBook.h"
#include "document/CKelvaro32Doc.h"
#include "view/CKelvaro32View.h"

#include <QCloseEvent>

CChildFrame::CChildFrame(std::unique_ptr<CKelvaro32Doc> doc, CMainFrame& frame, QWidget* parent)
    : QMdiSubWindow(parent), frame_(frame), doc_(std::move(doc))
{
    setAttribute(Qt::WA_DeleteOnClose);
    view_ = new CKelvaro32View(doc_.get(), frame_, this);
    setWidget(view_);
    connect(view_, &CKelvaro32View::AddGeneratorAsked, this,
            [this](const behaviour::TrendPoint& point) { AddGeneratorForPoint(frame_, point); });
    connect(view_, &CKelvaro32View::AddToTrendAsked, this,
            [this](const behaviour::TrendPoint& point) { AddPointToTrend(frame_, point); });
}

CChildFrame::~CChildFrame()
{
    frame_.RemoveChild(this);
    // The view unregisters the block and must go before the memory it registered.
    delete view_;
    view_ = nullptr;
    // Generators, reactions and scripts let go of its words first, as the engine did above.
    frame_.App().Behaviour().ForgetOwner(doc_.get());
    doc_.reset();
}

void CChildFrame::UpdateTitle()
{
    if (outOfSight_)
        return;
    setWindowTitle(QString::fromStdString(doc_->title));
}

void CChildFrame::ForceClose()
{
    forced_ = true;
    close();
}

void CChildFrame::closeEvent(QCloseEvent* event)
{
    if (!forced_ && !SaveModified(frame_, *doc_, this)) {
        event->ignore();
        return;
    }
    QMdiSubWindow::closeEvent(event);
}
