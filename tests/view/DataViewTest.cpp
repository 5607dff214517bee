// The data view as a widget: header controls and their keystroke rules, the refresh that
// repaints only changed items, the banner, scrolling, format commands and printing.
#include "TestApp.h"
#include "app/CChildFrame.h"
#include "app/CKelvaro32App.h"
#include "app/CMainFrame.h"
#include "app/CommandIds.h"
#include "document/CKelvaro32Doc.h"
#include "document/FontConversion.h"
#include "view/CKelvaro32View.h"

#include <QAbstractEventDispatcher>
#include <QApplication>
#include <QComboBox>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPageSetupDialog>
#include <QPaintEvent>
#include <QPrintDialog>
#include <QPrinter>
#include <QRadioButton>
#include <QScreen>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QWheelEvent>
#include <gtest/gtest.h>

#include <cstring>
#include <functional>

namespace {

// Records the region of every paint the view receives.
class PaintSpy : public QObject {
public:
    std::vector<QRegion> regions;
    bool eventFilter(QObject*, QEvent* e) override
    {
        if (e->type() == QEvent::Paint)
            regions.push_back(static_cast<QPaintEvent*>(e)->region());
        return false;
    }
};

class DataViewFixture : public ::testing::Test {
protected:
    void SetUp() override
    {
        app = std::make_unique<CKelvaro32App>(TestAppOptions(dir.path().toStdString()));
        ASSERT_TRUE(app->InitInstance({}));
        frame = app->mainFrame;
        doc = app->NewDocument();
        view = frame->ActiveView();
        ASSERT_NE(view, nullptr);
        frame->resize(1000, 700);
        frame->ActiveChild()->resize(900, 450);
        Settle();
    }
    void TearDown() override { frame->Connections().enronMode = 0; }

    static void Settle()
    {
        QApplication::processEvents();
        QApplication::processEvents();
    }
    // Types into a field as a user does: focus, select all, keys one by one.
    static void Type(QLineEdit* field, const char* keys)
    {
        field->setFocus();
        field->selectAll();
        QTest::keyClicks(field, keys);
    }
    // Picks an entry of a drop-down list as the user does: the list selects it and says so.
    static void Choose(QComboBox* list, int index)
    {
        list->setCurrentIndex(index);
        emit list->activated(index);
    }
    // Moves the focus away from the header fields.
    void Leave() { view->PointTypeList()->setFocus(); Settle(); }

    QTemporaryDir dir;
    std::unique_ptr<CKelvaro32App> app;
    CMainFrame* frame = nullptr;
    CKelvaro32Doc* doc = nullptr;
    CKelvaro32View* view = nullptr;
};

} // namespace

TEST_F(DataViewFixture, HeaderSetUpFillsTheControlsAndRegistersTheBlock)
{
    EXPECT_EQ(view->DeviceIdField()->text(), "  1");
    EXPECT_EQ(view->AddressField()->text(), "0001");
    EXPECT_EQ(view->LengthField()->text(), "1000");
    EXPECT_EQ(view->PointTypeList()->count(), 4);
    EXPECT_EQ(view->PointTypeList()->currentText(), "03: HOLDING REGISTER");
    EXPECT_EQ(view->PointTypeList()->itemText(0), "01: COIL STATUS");
    EXPECT_EQ(view->PointTypeList()->itemText(3), "04: INPUT REGISTER");
    for (const char* id : {"1", "6", "7", "8", "13"})
        EXPECT_NE(view->findChild<QWidget*>(id), nullptr) << id;
    EXPECT_NE(view->BlockHandle(), pomrel::kNoHandle);
    EXPECT_EQ(view->Banner()->text(), "");
}

TEST_F(DataViewFixture, AWindowSetUpWhileHiddenShowsTheHeaderOfItsDocumentWhenShown)
{
    frame->hide();
    CKelvaro32Doc* later = app->NewDocument();
    CKelvaro32View* hidden = frame->ActiveView();
    ASSERT_NE(hidden, view);
    later->deviceId = 42;
    later->length = 12;
    later->SetupViews();
    frame->show();
    Settle();
    ASSERT_TRUE(hidden->isVisible());
    const std::pair<const char*, QString> fields[] = {{"6", " 42"}, {"7", "0001"}, {"8", "12"}};
    for (const auto& [id, text] : fields) {
        auto* field = hidden->findChild<QLineEdit*>(id);
        ASSERT_NE(field, nullptr) << id;
        EXPECT_TRUE(field->isVisible()) << id;
        EXPECT_EQ(field->text(), text) << id;
    }
    for (const char* id : {"1", "13"})
        EXPECT_NE(hidden->findChild<QWidget*>(id), nullptr) << id;
    EXPECT_NE(hidden->BlockHandle(), pomrel::kNoHandle);
}

TEST_F(DataViewFixture, AWindowNeverShownRunsNoRefreshTimerUntilItIsShown)
{
    auto refreshTimers = [](QObject* object) {
        int count = 0;
        for (const QAbstractEventDispatcher::TimerInfo& timer : QAbstractEventDispatcher::instance()->registeredTimers(object))
            count += timer.interval == 1000;
        return count;
    };
    EXPECT_EQ(refreshTimers(view), 1);
    frame->hide();
    app->NewDocument();
    CKelvaro32View* hidden = frame->ActiveView();
    ASSERT_NE(hidden, view);
    Settle();
    EXPECT_EQ(refreshTimers(hidden), 0);
    frame->show();
    Settle();
    ASSERT_TRUE(hidden->isVisible());
    EXPECT_EQ(refreshTimers(hidden), 1);
    hidden->hide();
    hidden->show();
    EXPECT_EQ(refreshTimers(hidden), 1);
}

TEST_F(DataViewFixture, KeystrokeRulesOfTheHeaderFields)
{
    // Whole texts, as a paste gives them.
    view->DeviceIdField()->setText("0");
    view->DeviceIdField()->setText("256");
    EXPECT_EQ(doc->deviceId, 1);
    view->DeviceIdField()->setText(" 17x");
    EXPECT_EQ(doc->deviceId, 17);

    Type(view->LengthField(), "12abc");
    EXPECT_EQ(doc->length, 12);
    Type(view->LengthField(), "120");
    EXPECT_EQ(doc->length, 120);

    Type(view->LengthField(), "1000");
    view->AddressField()->setText("64538");
    EXPECT_EQ(doc->StartAddress(), 1u);
    view->AddressField()->setText("64537");
    EXPECT_EQ(doc->StartAddress(), 64537u);
    Leave();
    EXPECT_EQ(view->AddressField()->text(), "64537");

    Type(view->LengthField(), "1");
    view->AddressField()->setText("65536");
    EXPECT_EQ(doc->startAddress, 0);
    view->LengthField()->setText("2");
    EXPECT_EQ(doc->length, 1);
    Leave();
    EXPECT_EQ(view->AddressField()->text(), "65536");
    EXPECT_EQ(view->LengthField()->text(), "1");

    // A leading zero is refused until a non-zero digit follows.
    Type(view->AddressField(), "0");
    EXPECT_EQ(doc->startAddress, 0);
    QTest::keyClicks(view->AddressField(), "05");
    EXPECT_EQ(doc->startAddress, 5);
    Leave();
    EXPECT_EQ(view->AddressField()->text(), "0005");

    // Refused text stays until the field loses the focus.
    Type(view->DeviceIdField(), "abc");
    EXPECT_EQ(view->DeviceIdField()->text(), "abc");
    Leave();
    EXPECT_EQ(view->DeviceIdField()->text(), " 17");

    // Overlong and huge numbers are refused without harm.
    view->LengthField()->setText("99999999999999999999999999999999999999999999");
    EXPECT_EQ(doc->length, 1);
    EXPECT_NE(view->BlockHandle(), pomrel::kNoHandle);
}

TEST_F(DataViewFixture, EnronClampsTheLengthAndDisablesTheFormats)
{
    frame->Connections().enronMode = 1;
    Choose(view->PointTypeList(), 0); // coils: no ENRON
    view->AddressField()->setText("7001");
    EXPECT_EQ(doc->length, 1000);
    Choose(view->PointTypeList(), 2);
    EXPECT_EQ(doc->pointType, 3);
    EXPECT_EQ(doc->length, 500);
    EXPECT_EQ(view->LengthField()->text(), "500");
    EXPECT_EQ(view->DisplayFormat(), kEnronFloat);
    for (int id : {cmd::FormatDecimal, cmd::FormatHex, cmd::FormatBinary, cmd::FormatFloat, cmd::FormatFloat64Swapped}) {
        const CommandState s = frame->Commands().State(id);
        EXPECT_FALSE(s.enabled) << id;
        EXPECT_FALSE(s.checked) << id;
    }
    view->LengthField()->setText("800");
    EXPECT_EQ(doc->length, 500);
    EXPECT_EQ(view->LengthField()->text(), "500");

    // Out of the range; then typing an ENRON long address cuts a longer block.
    view->AddressField()->setText("100");
    view->LengthField()->setText("800");
    EXPECT_EQ(doc->length, 800);
    EXPECT_EQ(view->DisplayFormat(), kEnronFloat); // stays until the user picks a format
    view->AddressField()->setText("5001");
    EXPECT_EQ(doc->length, 500);
    EXPECT_EQ(view->LengthField()->text(), "500");
    EXPECT_EQ(view->DisplayFormat(), kEnronLong);
}

// Choosing the entry already selected runs the selection rule too: a block typed in while
// EnronMode was off is clamped and gets its ENRON format once the user picks its type again.
TEST_F(DataViewFixture, ChoosingTheSelectedPointTypeAgainAppliesTheEnronRule)
{
    struct Case {
        int typeIndex;
        const char* address;
        int length;
        int format;
    };
    const Case cases[] = {
        {2, "7001", 500, kEnronFloat},
        {3, "5001", 500, kEnronLong},
        {2, "100", 1000, kHex},    // not an ENRON range: nothing is clamped
        {0, "7001", 1000, kHex},   // coils are never ENRON
    };
    for (const Case& c : cases) {
        frame->Connections().enronMode = 0;
        Choose(view->PointTypeList(), c.typeIndex);
        view->AddressField()->setText("1");
        view->LengthField()->setText("1000");
        view->AddressField()->setText(c.address);
        ASSERT_TRUE(frame->RunCommand(cmd::FormatHex));
        ASSERT_EQ(doc->length, 1000);
        const pomrel::Handle before = view->BlockHandle();

        frame->Connections().enronMode = 1;
        Choose(view->PointTypeList(), c.typeIndex);
        EXPECT_EQ(doc->pointType, c.typeIndex + 1) << c.address;
        EXPECT_EQ(doc->length, c.length) << c.address;
        EXPECT_EQ(view->LengthField()->text(), QString::number(c.length)) << c.address;
        EXPECT_EQ(view->DisplayFormat(), c.format) << c.address;
        EXPECT_NE(view->BlockHandle(), before) << c.address;   // registered again
    }
}

TEST_F(DataViewFixture, FormatCommandsCheckOneAndRedrawEverything)
{
    view->grab();
    EXPECT_EQ(view->CachedItem(0), "40001: <00000>");
    ASSERT_TRUE(frame->RunCommand(cmd::FormatHex));
    EXPECT_EQ(view->DisplayFormat(), kHex);
    EXPECT_TRUE(frame->Commands().State(cmd::FormatHex).checked);
    EXPECT_TRUE(frame->Commands().State(cmd::FormatHex).enabled);
    EXPECT_FALSE(frame->Commands().State(cmd::FormatDecimal).checked);
    EXPECT_EQ(view->CachedItem(0), ""); // erased: the next paint draws all items anew
    view->grab();
    EXPECT_EQ(view->CachedItem(0), "40001: <0000H>");
    EXPECT_FALSE(frame->Commands().State(cmd::FilePrintPreview).enabled);
    EXPECT_TRUE(frame->Commands().State(cmd::FilePrint).enabled);
}

TEST_F(DataViewFixture, RefreshRepaintsOnlyTheChangedItemOnAClearedBackground)
{
    doc->background = 0x00FF00; // green, so a blanked item shows in it
    ASSERT_TRUE(frame->RunCommand(cmd::FormatFloat));
    regval::WriteFloat(*doc, 2, 12345678.0f, kFloat);
    Settle();
    view->OnRefreshTimer();
    Settle();
    ASSERT_EQ(view->CachedItem(2), "40003:  12345678.0000");

    PaintSpy spy;
    view->installEventFilter(&spy);
    EXPECT_EQ(view->RefreshItems(), 0);
    Settle();
    EXPECT_TRUE(spy.regions.empty());

    regval::WriteFloat(*doc, 2, 1.0f, kFloat);
    EXPECT_EQ(view->RefreshItems(), 1);
    Settle();
    ASSERT_EQ(spy.regions.size(), 1u);
    EXPECT_EQ(spy.regions[0].rectCount(), 1);
    const QRect painted = spy.regions[0].boundingRect();
    const layout::Pos p = view->Layout().ItemPosition(2);
    EXPECT_EQ(painted.topLeft(), QPoint(p.x, p.y));
    EXPECT_EQ(painted.height(), view->Layout().lh);
    view->removeEventFilter(&spy);

    // What is on the screen: the tail of the old, longer text is blanked in the document's colour.
    const QImage shot = view->screen()->grabWindow(frame->winId()).toImage();
    const QPoint origin = view->mapTo(frame, QPoint(0, 0));
    const int tailLeft = p.x + static_cast<int>(std::string("40003:  1.0000").size()) * view->Layout().cw + 2;
    int nonBackground = 0;
    for (int y = p.y; y < p.y + view->Layout().lh; ++y)
        for (int x = tailLeft; x < view->Layout().columnWidth; ++x) // the next column starts there
            nonBackground += shot.pixelColor(origin + QPoint(x, y)) != QColor(0, 255, 0);
    EXPECT_EQ(nonBackground, 0);
}

TEST_F(DataViewFixture, BannerBlinksWhileNoConnectionIsOpen)
{
    const QString banner = "* * * NOT CONNECTED! * * *";
    QStringList seen;
    for (int tick = 0; tick < 4; ++tick) {
        view->OnRefreshTimer();
        seen << view->Banner()->text();
    }
    EXPECT_EQ(seen, (QStringList{banner, "", banner, ""}));
    frame->Connections().SetServerHandle(7); // a server counts as a connection
    view->OnRefreshTimer();
    EXPECT_EQ(view->Banner()->text(), "");
    frame->Connections().SetServerHandle(pomrel::kNoHandle);
}

TEST_F(DataViewFixture, ScrollBarMovesByWholeColumnsWithClamps)
{
    view->LengthField()->setText("100");
    view->grab();
    const int R = view->Layout().rows;
    ASSERT_GT(R, 0);
    QScrollBar* bar = view->HorizontalBar();
    EXPECT_EQ(bar->maximum(), 100 / R);
    for (int k = 0; k < 3; ++k)
        bar->triggerAction(QAbstractSlider::SliderSingleStepAdd);
    EXPECT_EQ(view->Layout().firstShown, 3 * R);
    EXPECT_EQ(bar->value(), 3);
    for (int k = 0; k < 200 / R; ++k)
        bar->triggerAction(QAbstractSlider::SliderPageStepAdd);
    EXPECT_EQ(view->Layout().firstShown, 99);
    bar->triggerAction(QAbstractSlider::SliderSingleStepSub);
    EXPECT_EQ(view->Layout().firstShown, 99 - R);
    EXPECT_EQ(bar->value(), (99 - R) / R);
    view->grab();
    EXPECT_EQ(view->HitTest(QPoint(2, view->Layout().dataTop + 1)), 99 - R);
    EXPECT_EQ(view->HitTest(QPoint(2, view->Layout().dataTop)), -1);
    view->Scroll(layout::ScrollCode::ThumbPosition, 4);
    EXPECT_EQ(view->Layout().firstShown, 4 * R);
}

// Whatever moves the bar, the thumb is put back where the view is: the edges, the wheel and
// "Scroll here" leave the first shown point, and the next arrow click steps from it, not from
// where the thumb was left.
TEST_F(DataViewFixture, EveryScrollActionLeavesTheThumbWhereTheViewIs)
{
    view->LengthField()->setText("300");
    view->grab();
    const int R = view->Layout().rows;
    ASSERT_GT(R, 0);
    ASSERT_GE(300 / R, 6);
    QScrollBar* bar = view->HorizontalBar();
    struct Case {
        const char* name;
        std::function<void()> act;
    };
    const Case cases[] = {
        {"left edge", [&] { bar->triggerAction(QAbstractSlider::SliderToMinimum); }},
        {"right edge", [&] { bar->triggerAction(QAbstractSlider::SliderToMaximum); }},
        {"wheel", [&] {
             QWheelEvent wheel(QPointF(5, 5), bar->mapToGlobal(QPointF(5, 5)), QPoint(), QPoint(0, -240), Qt::NoButton,
                               Qt::NoModifier, Qt::NoScrollPhase, false);
             QApplication::sendEvent(bar, &wheel);
         }},
        {"scroll here", [&] { bar->setValue(0); }},
        {"thumb dragged, not released", [&] {
             bar->setSliderDown(true);
             bar->setSliderPosition(5);
         }},
    };
    for (const Case& c : cases) {
        view->Scroll(layout::ScrollCode::ThumbPosition, 3);
        ASSERT_EQ(view->Layout().firstShown, 3 * R);
        c.act();
        EXPECT_EQ(view->Layout().firstShown, 3 * R) << c.name;
        if (bar->isSliderDown()) {
            bar->setSliderDown(false);   // the end of the drag moves the view there
            EXPECT_EQ(view->Layout().firstShown, 5 * R) << c.name;
            EXPECT_EQ(bar->value(), 5) << c.name;
            continue;
        }
        EXPECT_EQ(bar->value(), 3) << c.name;
        EXPECT_EQ(bar->sliderPosition(), 3) << c.name;
        bar->triggerAction(QAbstractSlider::SliderSingleStepAdd);
        EXPECT_EQ(view->Layout().firstShown, 4 * R) << c.name;
        EXPECT_EQ(bar->value(), 4) << c.name;
    }
}

TEST_F(DataViewFixture, PrintingPutsTheItemsOnAsManyPagesAsNeeded)
{
    auto print = [&](const QString& name) {
        QPrinter printer(QPrinter::HighResolution);
        printer.setOutputFormat(QPrinter::PdfFormat);
        printer.setOutputFileName(dir.filePath(name));
        return view->PrintItems(printer);
    };
    const int pages = print("all.pdf");
    EXPECT_GE(pages, 2);
    QFile pdf(dir.filePath("all.pdf"));
    ASSERT_TRUE(pdf.open(QIODevice::ReadOnly));
    EXPECT_TRUE(pdf.read(5) == "%PDF-");
    view->LengthField()->setText("10");
    EXPECT_EQ(print("ten.pdf"), 1);
}

// Print Setup sets up the printer that File Print then prints on, with or without a window.
TEST_F(DataViewFixture, PrintSetupChoosesThePageOfThePrinterPrintingUses)
{
    QPrinter& printer = frame->Printer();
    printer.setOutputFormat(QPrinter::PdfFormat);
    printer.setOutputFileName(dir.filePath("setup.pdf"));
    printer.setPageOrientation(QPageLayout::Portrait);
    const QPageLayout::Orientation chosen = QPageLayout::Landscape;

    QStringList seen;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        QWidget* modal = QApplication::activeModalWidget();
        if (!modal || !modal->isVisible())
            return;
        if (auto* setup = qobject_cast<QPageSetupDialog*>(modal)) {
            seen << "setup";
            EXPECT_EQ(setup->printer(), &printer);
            auto* landscape = setup->findChild<QRadioButton*>("landscape");
            if (landscape)
                landscape->click();
            else
                seen << "no landscape button";
            setup->accept();
        } else if (auto* print = qobject_cast<QPrintDialog*>(modal)) {
            seen << "print";
            EXPECT_EQ(print->printer(), &printer);
            EXPECT_EQ(print->printer()->pageLayout().orientation(), chosen);
            print->reject();
        } else if (auto* d = qobject_cast<QDialog*>(modal)) {
            seen << modal->metaObject()->className();
            d->reject();
        }
    });
    poll.start(5);

    for (const bool withWindow : {true, false}) {
        if (!withWindow) {
            delete frame->ActiveChild();
            Settle();
            ASSERT_EQ(frame->CurrentMenuId(), 128);
        }
        EXPECT_TRUE(frame->Commands().State(cmd::FilePrintSetup).enabled) << withWindow;
        ASSERT_NE(frame->Action(cmd::FilePrintSetup), nullptr);
    }
    printer.setPageOrientation(QPageLayout::Portrait);
    ASSERT_TRUE(frame->RunCommand(cmd::FilePrintSetup));
    EXPECT_EQ(printer.pageLayout().orientation(), chosen);
    doc = app->NewDocument();
    ASSERT_TRUE(frame->RunCommand(cmd::FilePrint));
    EXPECT_EQ(seen, (QStringList{"setup", "print"}));
}

TEST_F(DataViewFixture, FontCommandMeasuresByMaximumWidthANewWindowByAverage)
{
    LogFont proportional;
    std::strcpy(proportional.faceName, "DejaVu Sans");
    proportional.pitchAndFamily = 0x22; // variable pitch, swiss
    QFont f = FontFromLogFont(proportional);
    f.setHintingPreference(QFont::PreferFullHinting);
    const QFontMetrics fm(f);
    ASSERT_GT(fm.maxWidth(), fm.averageCharWidth());

    view->ApplyFont(proportional);
    EXPECT_EQ(view->Layout().cw, fm.maxWidth());
    EXPECT_EQ(view->Layout().lh, fm.height());
    view->grab();
    EXPECT_EQ(view->Layout().columnWidth, 18 * fm.maxWidth());

    frame->Look().font = proportional;
    app->NewDocument();
    CKelvaro32View* second = frame->ActiveView();
    ASSERT_NE(second, view);
    EXPECT_EQ(second->Layout().cw, fm.averageCharWidth());
}
