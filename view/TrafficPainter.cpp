#include "view/TrafficPainter.h"

#include <QPainter>
#include <QString>

namespace {
QColor ToQColor(Colour c)
{
    return QColor(static_cast<int>(c & 0xFF), static_cast<int>((c >> 8) & 0xFF), static_cast<int>((c >> 16) & 0xFF));
}
} // namespace

FontTextMeasurer::FontTextMeasurer(const QFont& font) : font_(font), metrics_(font)
{
    entryWidths_.fill(-1);
}

int FontTextMeasurer::TextWidth(std::string_view text) const
{
    return metrics_.horizontalAdvance(QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size())));
}

int FontTextMeasurer::EntryWidth(std::uint8_t value, bool hex) const
{
    int& w = entryWidths_[(hex ? 256u : 0u) + value];
    if (w < 0)
        w = TextMeasurer::EntryWidth(value, hex);
    return w;
}

void PaintTraffic(QPainter& painter, TrafficLines& lines, const FontTextMeasurer& measurer,
                  const TrafficPaintArgs& args)
{
    painter.setPen(Qt::black);
    painter.drawLine(0, 0, args.clientWidth, 0);
    if (args.rowHeight <= 0)
        return;
    painter.setFont(measurer.Font());
    const QColor fg = ToQColor(args.foreground);
    const QColor bg = ToQColor(args.background);
    const int ascent = QFontMetrics(measurer.Font()).ascent();
    int y = 0;
    for (CDispLine& line : lines.Lines()) {
        const bool crosses = y < args.dirty.bottom() + 1 && y + args.rowHeight > args.dirty.top();
        if (!crosses) {
            y += args.rowHeight;
            continue;
        }
        int x = 0;
        for (CDispSeg& seg : line.segments) {
            seg.cx = measurer.TextWidth(seg.text);
            seg.cy = measurer.TextHeight();
            const bool inverted = seg.attribute != 0;
            painter.fillRect(x, y, seg.cx, seg.cy, inverted ? fg : bg);
            painter.setPen(inverted ? bg : fg);
            painter.drawText(x, y + ascent,
                             QString::fromLatin1(seg.text.data(), static_cast<qsizetype>(seg.text.size())));
            x += seg.cx;
        }
        line.width = x;
        y += args.rowHeight;
    }
}

QRect TrafficDirtyRect(const TrafficUpdate& update, const TrafficLines& lines, int clientWidth, int clientHeight,
                       int rowHeight)
{
    switch (update.kind) {
    case TrafficUpdate::kNothing:
        return {};
    case TrafficUpdate::kAll:
        return QRect(0, 0, clientWidth, clientHeight);
    case TrafficUpdate::kRows:
        break;
    }
    if (rowHeight <= 0 || update.firstLine < 0 || update.firstLine >= static_cast<int>(lines.Lines().size()))
        return {};
    const int top = update.firstLine * rowHeight;
    QRect first(update.firstX, top, std::max(clientWidth - update.firstX, 0), rowHeight);
    if (update.lastLine <= update.firstLine)
        return first;
    return first.united(QRect(0, top + rowHeight, clientWidth, (update.lastLine - update.firstLine) * rowHeight));
}
