// Geometry of the data view: header positions from the fixed system font (W, H), the grid of
// point items below it (column by column, rows as fit), the hit test and horizontal scrolling
// by whole columns. Plain code: the view passes the font metrics in.
#pragma once

namespace layout {

struct Rect {
    int left = 0, top = 0, right = 0, bottom = 0;
    bool operator==(const Rect&) const = default;
};
struct Pos {
    int x = 0, y = 0;
    bool operator==(const Pos&) const = default;
};

// Header controls and texts, from the header unit width W and height H. They are placed once
// and do not follow later font changes.
Rect DeviceIdFieldRect(int W, int H);   // id 6
Rect AddressFieldRect(int W, int H);    // id 7
Rect LengthFieldRect(int W, int H);     // id 8
Rect PointTypeListRect(int W, int H);   // id 1, the height includes the dropped list
Rect BannerRect(int W, int H);          // id 13
Pos DeviceIdTextPos(int W, int H);      // "Device Id:"
Pos PointTypeTextPos(int W, int H);     // "MODBUS Point Type"
Pos AddressTextPos(int W, int H);       // "Address:"
Pos LengthTextPos(int W, int H);        // "Length:"
/// First pixel row of the data area (below the banner).
inline int DataAreaTop(int H) { return 7 * H + 1; }

/// Characters of one column: A+7 for coils/inputs, A+25 for registers in Binary, else A+13.
int ItemChars(int pointType, int displayFormat, int aliasWidth);

enum class ScrollCode { LineLeft, LineRight, PageLeft, PageRight, ThumbPosition, Other };

/// Layout state of one view. Data top, rows and column width are those of the last paint, so
/// the hit test matches what is on the screen.
struct DisplayLayout {
    int headerW = 8;         // W
    int headerH = 16;        // H
    int cw = 8;              // item character width
    int lh = 16;             // row height
    int clientWidth = 0;
    int clientHeight = 0;
    int dataTop = 0;         // of the last paint
    int rows = 0;            // R of the last paint
    int columnWidth = 0;     // of the last paint that drew an item
    int firstShown = 0;      // point at the top of the first column

    /// 7H + 1 + lh: the top edge of the first row.
    int ComputeDataTop() const { return 7 * headerH + 1 + lh; }
    /// (client height - data top) / lh; 0 or less means no whole row fits.
    int ComputeRows(int top) const { return lh > 0 ? (clientHeight - top) / lh : 0; }
    /// Paint-time update of data top and R.
    void MeasureForPaint();
    /// Paint-time column width.
    void SetColumnWidth(int chars) { columnWidth = chars * cw; }

    /// Column and row of point k (k >= firstShown) in the fill order with the last paint's R.
    Pos CellOf(int k) const;
    /// Where the item text of point k starts: x = column * width + 1, y = data top + row * lh.
    Pos ItemPosition(int k) const;
    /// The point under (x, y), or -1.
    int HitTest(int x, int y, int length) const;

    /// R as the scroll bar sees it: from the stored client height, not the last paint.
    int ScrollStep() const { return ComputeRows(ComputeDataTop()); }
    /// Largest scroll bar position: length / R, 0 when no row fits.
    int ScrollMax(int length) const;
    /// Applies a scroll request to firstShown (clamped to 0 .. length-1) and returns the scroll
    /// bar position to show.
    int Scroll(ScrollCode code, int thumb, int length);
};

} // namespace layout
