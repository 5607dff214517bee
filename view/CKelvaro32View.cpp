#include "view/CKelvaro32View.h"

#include "app/CKelvaro32App.h"
#include "document/CKelvaro32Doc.h"

#include <QPainter>
#include <QTimerEvent>

CKelvaro32View::CKelvaro32View(CKelvaro32Doc* doc, QWidget* parent) : QWidget(parent), doc_(doc)
{
    doc_->AttachView(this);
    refreshTimer_ = startTimer(1000);
}

CKelvaro32View::~CKelvaro32View()
{
    if (blockHandle_ != pomrel::kNoHandle) {
        theApp().Engine().RemoveDataBlock(blockHandle_);
        blockHandle_ = pomrel::kNoHandle;
    }
    if (refreshTimer_)
        killTimer(refreshTimer_);
    doc_->DetachView(this);
}

void CKelvaro32View::RegisterBlock()
{
    auto& engine = theApp().Engine();
    if (blockHandle_ != pomrel::kNoHandle)
        engine.RemoveDataBlock(blockHandle_);
    blockHandle_ = pomrel::kNoHandle;
    blockHandle_ = engine.DefineDataBlock(doc_->deviceId, doc_->pointType, doc_->startAddress, doc_->length,
                                          doc_->memory.data());
}

void CKelvaro32View::SetupHeader()
{
    RegisterBlock();
    RepaintAll(true);
}

void CKelvaro32View::RepaintAll(bool)
{
    update();
}

void CKelvaro32View::OnRefreshTimer()
{
    update();
}

void CKelvaro32View::timerEvent(QTimerEvent* event)
{
    if (event->timerId() == refreshTimer_)
        OnRefreshTimer();
}

void CKelvaro32View::paintEvent(QPaintEvent* event)
{
    paintedTraffic_ = trafficMode_;
    if (trafficMode_) {
        PaintTrafficMode(event);
        return;
    }
    QPainter painter(this);
    const Colour bg = doc_->background;
    painter.fillRect(rect(), QColor(bg & 0xFF, (bg >> 8) & 0xFF, (bg >> 16) & 0xFF));
}
