// Draws a view's traffic lines with a QPainter; the layout comes from TrafficDisplay.
#pragma once

#include "document/LogFont.h"
#include "view/TrafficDisplay.h"

#include <QFont>
#include <QFontMetrics>
#include <QRect>
#include <array>

class QPainter;

/// Text widths in one font; entry widths cached, since only 512 entry texts exist.
class FontTextMeasurer : public TextMeasurer {
public:
    explicit FontTextMeasurer(const QFont& font);
    int TextWidth(std::string_view text) const override;
    int TextHeight() const override { return metrics_.height(); }
    int EntryWidth(std::uint8_t value, bool hex) const override;
    const QFont& Font() const { return font_; }

private:
    QFont font_;
    QFontMetrics metrics_;
    mutable std::array<int, 512> entryWidths_;
};

struct TrafficPaintArgs {
    int clientWidth = 0;
    int rowHeight = 0;
    Colour foreground = 0x000000;
    Colour background = 0xC0C0C0;
    QRect dirty;   // only lines crossing it are drawn
};

/// The paint in traffic mode: the black rule along the top, then every line from the top, each
/// segment in the document's colours (inverted for a non-zero attribute). Stores the extents.
void PaintTraffic(QPainter& painter, TrafficLines& lines, const FontTextMeasurer& measurer,
                  const TrafficPaintArgs& args);

/// The area a line update asks to be drawn again (empty for none).
QRect TrafficDirtyRect(const TrafficUpdate& update, const TrafficLines& lines, int clientWidth, int clientHeight,
                       int rowHeight);
