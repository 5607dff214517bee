// The data view's traffic side: keeps its lines current on every batch, paints them in traffic
// mode and switches between the modes.
#include "view/CKelvaro32View.h"

#include "document/CKelvaro32Doc.h"
#include "view/Workspace.h"

#include <QPaintEvent>
#include <QPainter>
#include <QScrollBar>
#include <QTimer>

namespace {
// Traffic paints at most every 50 ms: 20 per second.
constexpr int kTrafficPaintIntervalMs = 50;
} // namespace

const FontTextMeasurer& CKelvaro32View::TrafficMeasurer()
{
    // Follows the item font, which the font command changes.
    if (!trafficMeasurer_ || trafficMeasurer_->Font() != itemFont_)
        trafficMeasurer_ = std::make_unique<FontTextMeasurer>(itemFont_);
    return *trafficMeasurer_;
}

TrafficLines& CKelvaro32View::Lines()
{
    if (!trafficLines_)
        trafficLines_ = std::make_unique<TrafficLines>();
    return *trafficLines_;
}

const TrafficLines& CKelvaro32View::Traffic() const
{
    static const TrafficLines none;
    return trafficLines_ ? *trafficLines_ : none;
}

TrafficGeometry CKelvaro32View::CurrentTrafficGeometry()
{
    TrafficGeometry g;
    g.rowHeight = layout_.lh;
    g.clientWidth = width();
    g.clientHeight = ClientHeight();
    // Until a traffic paint, the rows start below the header as in data mode.
    g.dataTop = paintedTraffic_ ? 0 : layout_.ComputeDataTop();
    g.hex = model_.DisplayFormat() == kHex;
    g.trafficMode = trafficMode_;
    return g;
}

void CKelvaro32View::ShiftTraffic(int shift)
{
    const TrafficGeometry g = CurrentTrafficGeometry();
    const TrafficUpdate u = Lines().ShiftTraffic(shift, Services().Traffic(), g, TrafficMeasurer());
    if (!trafficMode_ || u.kind == TrafficUpdate::kNothing)
        return;
    trafficDirty_ += u.kind == TrafficUpdate::kAll
                         ? QRect(0, 0, g.clientWidth, g.clientHeight)
                         : TrafficDirtyRect(u, *trafficLines_, g.clientWidth, g.clientHeight, g.rowHeight);
    // A master polling flat out brings a batch every few milliseconds, each scrolling most of the
    // window: paint the first at once, then at most once per pacing interval.
    if (!trafficPaintTimer_) {
        trafficPaintTimer_ = new QTimer(this);
        trafficPaintTimer_->setSingleShot(true);
        trafficPaintTimer_->setInterval(kTrafficPaintIntervalMs);
        connect(trafficPaintTimer_, &QTimer::timeout, this, &CKelvaro32View::FlushTrafficPaint);
    }
    if (!trafficPaintTimer_->isActive())
        FlushTrafficPaint();
}

void CKelvaro32View::FlushTrafficPaint()
{
    if (trafficDirty_.isEmpty())
        return;
    update(trafficDirty_);
    trafficDirty_ = QRegion();
    if (trafficPaintTimer_)
        trafficPaintTimer_->start();
}

void CKelvaro32View::SetTrafficMode(bool on)
{
    trafficMode_ = on;
    // The five header controls; the scroll bar stays.
    for (QWidget* child : findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
        if (!qobject_cast<QScrollBar*>(child))
            child->setVisible(!on);
    trafficDirty_ = QRegion();
    RepaintAll(true);
}

void CKelvaro32View::PaintTrafficMode(QPaintEvent* event)
{
    QPainter painter(this);
    painter.fillRect(event->rect(), palette().color(QPalette::Base));
    TrafficPaintArgs args;
    args.clientWidth = width();
    args.rowHeight = layout_.lh;
    args.foreground = doc_->foreground;
    args.background = doc_->background;
    args.dirty = event->rect();
    PaintTraffic(painter, Lines(), TrafficMeasurer(), args);
}
