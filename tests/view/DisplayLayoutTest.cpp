// Grid geometry of the data view: data top, rows, column widths, hit test and scrolling.
#include "view/DisplayLayout.h"
#include "view/ValueFormat.h"

#include <gtest/gtest.h>

using namespace layout;

namespace {

DisplayLayout Painted(int H, int lh, int clientHeight, int chars, int cw = 8)
{
    DisplayLayout l;
    l.headerW = 8;
    l.headerH = H;
    l.lh = lh;
    l.cw = cw;
    l.clientWidth = 640;
    l.clientHeight = clientHeight;
    l.MeasureForPaint();
    l.SetColumnWidth(chars);
    return l;
}

} // namespace

TEST(DisplayLayout, DataTopAndRowsFollowTheMetrics)
{
    DisplayLayout l = Painted(16, 16, 300, 18);
    EXPECT_EQ(l.dataTop, 129);
    EXPECT_EQ(l.rows, 10);
    EXPECT_EQ(DataAreaTop(16), 113);
    EXPECT_EQ(Painted(16, 16, 129 + 15, 18).rows, 0);
    EXPECT_EQ(Painted(16, 16, 50, 18).rows, (50 - 129) / 16); // negative: no whole row
}

TEST(DisplayLayout, ColumnCharacters)
{
    EXPECT_EQ(ItemChars(3, kDecimal, 5), 18);
    EXPECT_EQ(ItemChars(4, kBinary, 5), 30);
    EXPECT_EQ(ItemChars(1, kBinary, 5), 12);
    EXPECT_EQ(ItemChars(2, kDecimal, 5), 12);
    EXPECT_EQ(ItemChars(3, kFloat64, 12), 25);
    EXPECT_EQ(Painted(16, 16, 300, 18, 8).columnWidth, 144);
}

TEST(DisplayLayout, HeaderGeometry)
{
    const int W = 7, H = 14;
    EXPECT_EQ(DeviceIdFieldRect(W, H), (Rect{238, 1, 266, 22}));
    EXPECT_EQ(AddressFieldRect(W, H), (Rect{70, 28, 126, 49}));
    EXPECT_EQ(LengthFieldRect(W, H), (Rect{70, 56, 126, 77}));
    EXPECT_EQ(PointTypeListRect(W, H), (Rect{140, 42, 315, 126}));
    EXPECT_EQ(BannerRect(W, H), (Rect{7, 84, 427, 98}));
    EXPECT_EQ(DeviceIdTextPos(W, H), (Pos{168, 5}));
    EXPECT_EQ(PointTypeTextPos(W, H), (Pos{168, 24}));
    EXPECT_EQ(AddressTextPos(W, H), (Pos{7, 28}));
    EXPECT_EQ(LengthTextPos(W, H), (Pos{7, 60}));
}

TEST(DisplayLayout, FillOrderAndItemPositions)
{
    DisplayLayout l = Painted(16, 16, 300, 18); // R = 10, column 144 px
    l.firstShown = 5;
    EXPECT_EQ(l.CellOf(5), (Pos{0, 0}));
    EXPECT_EQ(l.CellOf(14), (Pos{0, 9}));
    EXPECT_EQ(l.CellOf(15), (Pos{1, 0}));
    EXPECT_EQ(l.ItemPosition(17), (Pos{145, 129 + 32}));

    DisplayLayout none = Painted(16, 16, 100, 18); // no whole row: one item per column
    EXPECT_EQ(none.CellOf(3), (Pos{3, 0}));
    EXPECT_EQ(none.ItemPosition(3), (Pos{3 * 144 + 1, none.dataTop}));
}

TEST(DisplayLayout, HitTest)
{
    DisplayLayout l = Painted(16, 16, 300, 18); // data top 129, R 10, column 144
    struct Case { int x, y, length, first, hit; };
    const Case cases[] = {
        {10, 129, 100, 0, -1},      // on the data top line
        {10, 130, 100, 0, 0},       // one pixel below: top of the column
        {150, 130, 100, 0, 10},     // second column
        {150, 129 + 16 * 10 - 1, 100, 0, 19},
        {150, 129 + 16 * 10, 100, 0, -1}, // strip below the last whole row
        {150, 299, 100, 0, -1},
        {10, 50, 100, 0, -1},       // header
        {1500, 130, 100, 0, -1},    // column 10 starts at point 100: past the block
        {1500, 130, 101, 0, 100},
        {10, 131, 100, 95, 95},
        {300, 131, 100, 95, -1},
        {-5, 131, 100, 0, -1},
    };
    for (const Case& c : cases) {
        l.firstShown = c.first;
        EXPECT_EQ(l.HitTest(c.x, c.y, c.length), c.hit) << c.x << "," << c.y;
    }
    EXPECT_EQ(Painted(16, 16, 100, 18).HitTest(10, 140, 100), -1); // no whole row
}

TEST(DisplayLayout, ScrollingByColumnsWithClamps)
{
    DisplayLayout l = Painted(16, 16, 300, 18); // R = 10
    const int length = 100;
    EXPECT_EQ(l.ScrollMax(length), 10);
    for (int k = 0; k < 3; ++k)
        l.Scroll(ScrollCode::LineRight, 0, length);
    EXPECT_EQ(l.firstShown, 30);
    int pos = 0;
    for (int k = 0; k < 10; ++k)
        pos = l.Scroll(ScrollCode::PageRight, 0, length);
    EXPECT_EQ(l.firstShown, 99);
    EXPECT_EQ(pos, 9);
    pos = l.Scroll(ScrollCode::LineLeft, 0, length);
    EXPECT_EQ(l.firstShown, 89);
    EXPECT_EQ(pos, 8);
    l.Scroll(ScrollCode::Other, 7, length);
    EXPECT_EQ(l.firstShown, 89);
    pos = l.Scroll(ScrollCode::ThumbPosition, 4, length);
    EXPECT_EQ(l.firstShown, 40);
    EXPECT_EQ(pos, 4);
    for (int k = 0; k < 9; ++k)
        l.Scroll(ScrollCode::PageLeft, 0, length);
    EXPECT_EQ(l.firstShown, 0);
    l.Scroll(ScrollCode::ThumbPosition, 1 << 30, length);
    EXPECT_EQ(l.firstShown, 99);

    DisplayLayout none = Painted(16, 16, 100, 18);
    none.firstShown = 7;
    EXPECT_EQ(none.ScrollMax(length), 0);
    EXPECT_EQ(none.Scroll(ScrollCode::LineRight, 0, length), 0);
    EXPECT_EQ(none.firstShown, 7);
}
