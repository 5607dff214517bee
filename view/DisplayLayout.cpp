#include "view/DisplayLayout.h"

#include "document/RegisterValues.h"

namespace layout {

Rect DeviceIdFieldRect(int W, int H) { return {34 * W, 1, 38 * W, 3 * H / 2 + 1}; }
Rect AddressFieldRect(int W, int H) { return {10 * W, 2 * H, 18 * W, 2 * H + 3 * H / 2}; }
Rect LengthFieldRect(int W, int H) { return {10 * W, 4 * H, 18 * W, 4 * H + 3 * H / 2}; }
Rect PointTypeListRect(int W, int H) { return {20 * W, 3 * H, 45 * W, 9 * H}; }
Rect BannerRect(int W, int H) { return {W, 6 * H, 61 * W, 7 * H}; }
Pos DeviceIdTextPos(int W, int) { return {24 * W, 5}; }
Pos PointTypeTextPos(int W, int H) { return {24 * W, 2 * H - 4}; }
Pos AddressTextPos(int W, int H) { return {W, 2 * H}; }
Pos LengthTextPos(int W, int H) { return {W, 4 * H + 4}; }

int ItemChars(int pointType, int displayFormat, int aliasWidth)
{
    if (pointType == 1 || pointType == 2)
        return aliasWidth + 7;
    return aliasWidth + regval::LayoutOf(displayFormat).valueChars;
}

void DisplayLayout::MeasureForPaint()
{
    dataTop = ComputeDataTop();
    rows = ComputeRows(dataTop);
}

Pos DisplayLayout::CellOf(int k) const
{
    const int n = k - firstShown;
    if (rows <= 0)
        return {n, 0}; // no whole row: one item per column along the data top
    return {n / rows, n % rows};
}

Pos DisplayLayout::ItemPosition(int k) const
{
    Pos cell = CellOf(k);
    return {cell.x * columnWidth + 1, dataTop + cell.y * lh};
}

int DisplayLayout::HitTest(int x, int y, int length) const
{
    if (y <= dataTop || rows <= 0 || lh <= 0 || columnWidth <= 0 || x < 0)
        return -1;
    const int r = (y - dataTop) / lh;
    const int c = x / columnWidth;
    if (r >= rows)
        return -1;
    const long long k = static_cast<long long>(c) * rows + firstShown + r;
    return k < length ? static_cast<int>(k) : -1;
}

int DisplayLayout::ScrollMax(int length) const
{
    const int step = ScrollStep();
    return step > 0 ? length / step : 0;
}

int DisplayLayout::Scroll(ScrollCode code, int thumb, int length)
{
    const int step = ScrollStep();
    if (step <= 0)
        return 0;
    long long first = firstShown;
    switch (code) {
    case ScrollCode::LineLeft:
    case ScrollCode::PageLeft:
        first -= step;
        break;
    case ScrollCode::LineRight:
    case ScrollCode::PageRight:
        first += step;
        break;
    case ScrollCode::ThumbPosition:
        first = static_cast<long long>(thumb) * step;
        break;
    case ScrollCode::Other:
        break;
    }
    if (first < 0)
        first = 0;
    if (first >= length)
        first = length - 1;
    if (first < 0) // an empty block
        first = 0;
    firstShown = static_cast<int>(first);
    return firstShown / step;
}

} // namespace layout
