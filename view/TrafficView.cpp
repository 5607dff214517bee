// The data view's traffic side: keeps its lines current on every batch, paints them in traffic
// mode and switches between the modes.
#include "view/CKelvaro32View.h"

#include "app/CKelvaro32App.h"
#include "app/CMainFrame.h"
#include "document/CKelvaro32Doc.h"
#include "document/FontConversion.h"

#include <QFontDatabase>
#include <QFontMetrics>
#include <QPaintEvent>
#include <QPainter>
#include <QScrollBar>

const FontTextMeasurer& CKelvaro32View::TrafficMeasurer()
{
    if (!trafficMeasurer_ || !(trafficFont_ == doc_->font)) {
        trafficFont_ = doc_->font;
        trafficMeasurer_.emplace(FontFromLogFont(trafficFont_));
    }
    return *trafficMeasurer_;
}

TrafficGeometry CKelvaro32View::CurrentTrafficGeometry()
{
    TrafficGeometry g;
    g.rowHeight = TrafficMeasurer().TextHeight();
    g.clientWidth = width();
    g.clientHeight = height();
    if (!paintedTraffic_) {
        // Below the header, as the data painter lays it out: 7H + 1 + lh.
        const int h = QFontMetrics(QFontDatabase::systemFont(QFontDatabase::FixedFont)).height();
        g.dataTop = 7 * h + 1 + g.rowHeight;
    }
    g.hex = displayFormat == kHex;
    g.trafficMode = trafficMode_;
    return g;
}

void CKelvaro32View::ShiftTraffic(int shift)
{
    CKelvaro32App* app = CKelvaro32App::Instance();
    if (!app || !app->mainFrame)
        return;
    const TrafficGeometry g = CurrentTrafficGeometry();
    const TrafficUpdate u = trafficLines_.ShiftTraffic(shift, app->mainFrame->Traffic(), g, TrafficMeasurer());
    if (!trafficMode_)
        return;
    if (u.kind == TrafficUpdate::kAll)
        update();
    else if (u.kind == TrafficUpdate::kRows)
        update(TrafficDirtyRect(u, trafficLines_, g.clientWidth, g.clientHeight, g.rowHeight));
}

void CKelvaro32View::SetTrafficMode(bool on)
{
    trafficMode_ = on;
    // The five header controls; the scroll bar stays.
    for (QWidget* child : findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
        if (!qobject_cast<QScrollBar*>(child))
            child->setVisible(!on);
    update();
}

void CKelvaro32View::PaintTrafficMode(QPaintEvent* event)
{
    QPainter painter(this);
    painter.fillRect(event->rect(), palette().color(QPalette::Base));
    TrafficPaintArgs args;
    args.clientWidth = width();
    args.rowHeight = TrafficMeasurer().TextHeight();
    args.foreground = doc_->foreground;
    args.background = doc_->background;
    args.dirty = event->rect();
    PaintTraffic(painter, trafficLines_, TrafficMeasurer(), args);
}
