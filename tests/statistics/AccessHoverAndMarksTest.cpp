// A data window's access statistics through its workspace: the tooltip of the point under the
// mouse, and Display > Access Marks colouring the address labels — and nothing of either when
// the workspace has nothing to tell or the marks are off.
#include "FakeWorkspace.h"

#include "document/CKelvaro32Doc.h"
#include "view/CKelvaro32View.h"

#include <QApplication>
#include <QHelpEvent>
#include <QImage>
#include <QLineEdit>
#include <QTest>
#include <QToolTip>
#include <gtest/gtest.h>

#include <memory>

namespace {

struct Window {
    FakeWorkspace workspace;
    std::unique_ptr<CKelvaro32Doc> doc = std::make_unique<CKelvaro32Doc>(DocumentContext{});
    std::unique_ptr<CKelvaro32View> view;
    explicit Window(const char* address = "1")
    {
        doc->length = 8;
        doc->background = 0xFFFFFF;
        doc->foreground = 0x000000;
        view = std::make_unique<CKelvaro32View>(doc.get(), workspace);
        view->resize(700, 300);
        view->show();
        doc->SetupViews();
        QLineEdit* field = view->AddressField();
        field->selectAll();
        QTest::keyClicks(field, address);
        // No blinking cursor in the pictures compared.
        field->clearFocus();
        Paint();
    }
    QImage Paint() { return view->grab().toImage(); }
    // Where point k's text starts and how wide its label and its value are (the label of a
    // holding register, "40001:", is six characters).
    QRect LabelRect(int k) const
    {
        const auto p = view->Layout().ItemPosition(k);
        return QRect(p.x, p.y, 6 * view->Layout().cw, view->Layout().lh);
    }
    QRect ValueRect(int k) const
    {
        const QRect label = LabelRect(k);
        return QRect(label.right() + 1, label.top(), view->Layout().columnWidth - label.width() - 2, label.height());
    }
};

QImage Part(const QImage& image, const QRect& r) { return image.copy(r); }

// Pixels of a part that are not the white background, and the most saturated of each hue.
struct Ink {
    int pixels = 0;
    int darkest = 255;      // lowest channel of any inked pixel
    int greenest = -255;    // g - max(r, b)
    int reddest = -255;     // r - max(g, b)
};

Ink InkOf(const QImage& part)
{
    Ink ink;
    for (int y = 0; y < part.height(); ++y)
        for (int x = 0; x < part.width(); ++x) {
            const QColor c = part.pixelColor(x, y);
            if (c == Qt::white)
                continue;
            ++ink.pixels;
            ink.darkest = std::min({ink.darkest, c.red(), c.green(), c.blue()});
            ink.greenest = std::max(ink.greenest, c.green() - std::max(c.red(), c.blue()));
            ink.reddest = std::max(ink.reddest, c.red() - std::max(c.green(), c.blue()));
        }
    return ink;
}

TEST(AccessHover, TheTooltipTellsThePointUnderTheMouse)
{
    Window w("100");
    ASSERT_EQ(w.doc->StartAddress(), 100u);
    const std::string text = "40104\nreads 3, writes 1\nread 0.4 s ago\nwritten 12 s ago by tcp 127.0.0.1:50312";
    w.workspace.accessTexts[{1, 3, 104}] = text;
    w.workspace.accessTexts[{1, 3, 103}] = "the point before";
    const QPoint over4 = w.LabelRect(4).center();
    EXPECT_EQ(w.view->AccessToolTip(over4).toStdString(), text);
    // Over a point the workspace knows nothing of, and over the header: nothing.
    EXPECT_EQ(w.view->AccessToolTip(w.LabelRect(5).center()), "");
    EXPECT_EQ(w.view->AccessToolTip(QPoint(5, 5)), "");

    // The tooltip event shows it.
    QHelpEvent show(QEvent::ToolTip, over4, w.view->mapToGlobal(over4));
    QApplication::sendEvent(w.view.get(), &show);
    EXPECT_EQ(QToolTip::text().toStdString(), text);
}

TEST(AccessMarks, EachMarkHasAColourOfItsOwn)
{
    const QColor read = CKelvaro32View::AccessMarkColour(AccessMark::kRead);
    const QColor written = CKelvaro32View::AccessMarkColour(AccessMark::kWritten);
    const QColor never = CKelvaro32View::AccessMarkColour(AccessMark::kNeverRead);
    EXPECT_FALSE(CKelvaro32View::AccessMarkColour(AccessMark::kNone).isValid());
    for (const QColor& c : {read, written, never}) {
        ASSERT_TRUE(c.isValid());
        EXPECT_NE(c, QColor(Qt::black));
        EXPECT_NE(c, QColor(Qt::white));
    }
    EXPECT_NE(read, written);
    EXPECT_NE(read, never);
    EXPECT_NE(written, never);
}

TEST(AccessMarks, LabelsTakeTheColourOfTheirMarkAndValuesStayAsTheyWere)
{
    // The same window with the marks off is the original's look: the reference.
    Window plain;
    const QImage reference = plain.Paint();

    Window w;
    w.workspace.marks[{1, 3, 1}] = AccessMark::kRead;
    w.workspace.marks[{1, 3, 2}] = AccessMark::kWritten;
    w.workspace.marks[{1, 3, 3}] = AccessMark::kNeverRead;
    // Off, with marks to tell: nothing changes.
    w.view->RepaintAll(true);
    EXPECT_EQ(w.Paint(), reference);

    w.workspace.accessMarks = true;
    w.view->RepaintAll(true);
    const QImage marked = w.Paint();
    EXPECT_EQ(w.view->ShownMark(0), AccessMark::kRead);
    EXPECT_EQ(w.view->ShownMark(1), AccessMark::kWritten);
    EXPECT_EQ(w.view->ShownMark(2), AccessMark::kNeverRead);
    EXPECT_EQ(w.view->ShownMark(3), AccessMark::kNone);

    const Ink plainLabel = InkOf(Part(reference, w.LabelRect(0)));
    ASSERT_GT(plainLabel.pixels, 0);
    EXPECT_LT(plainLabel.darkest, 0x40);                  // black text
    const Ink read = InkOf(Part(marked, w.LabelRect(0)));
    EXPECT_GT(read.greenest, 0x60);
    EXPECT_LT(read.reddest, 0);
    const Ink written = InkOf(Part(marked, w.LabelRect(1)));
    EXPECT_GT(written.reddest, 0x80);
    const Ink never = InkOf(Part(marked, w.LabelRect(2)));
    ASSERT_GT(never.pixels, 0);
    EXPECT_GE(never.darkest, 0x80);                       // grey, nowhere black
    EXPECT_LT(never.greenest, 0x10);
    EXPECT_LT(never.reddest, 0x10);
    // The values, and the label of a point without a mark, look exactly as before.
    for (int k = 0; k < 4; ++k)
        EXPECT_EQ(Part(marked, w.ValueRect(k)), Part(reference, w.ValueRect(k))) << k;
    EXPECT_EQ(Part(marked, w.LabelRect(3)), Part(reference, w.LabelRect(3)));
}

TEST(AccessMarks, AMarkThatChangesAloneIsRepaintedAndTurningThemOffRestoresTheLook)
{
    Window plain;
    const QImage reference = plain.Paint();
    Window w;
    w.workspace.accessMarks = true;
    w.workspace.marks[{1, 3, 2}] = AccessMark::kRead;
    w.view->RepaintAll(true);
    w.Paint();
    ASSERT_EQ(w.view->ShownMark(1), AccessMark::kRead);
    // Nothing changed: no repaint.
    EXPECT_EQ(w.view->RefreshItems(), 0);
    // The read ages past two seconds while the value stays: the item is repainted all the same.
    w.workspace.marks.erase({1, 3, 2});
    EXPECT_EQ(w.view->RefreshItems(), 1);
    EXPECT_EQ(w.view->ShownMark(1), AccessMark::kNone);
    w.workspace.marks[{1, 3, 5}] = AccessMark::kWritten;
    EXPECT_EQ(w.view->RefreshItems(), 1);
    EXPECT_EQ(w.view->ShownMark(4), AccessMark::kWritten);
    // Marks off (the menu's command repaints every view; a refresh alone also notices).
    w.workspace.accessMarks = false;
    w.view->RefreshItems();
    EXPECT_EQ(w.view->ShownMark(4), AccessMark::kNone);
    EXPECT_EQ(w.Paint(), reference);
}

} // namespace
