// The behaviour windows in the program on the offscreen platform: the Tools menu opens the trend
// beside the data windows, a data window's point context menu puts its point on the trend as the
// window shows it, and every control of the windows says what it does.
#include "TestApp.h"

#include "app/CMainFrame.h"
#include "app/CommandIds.h"
#include "behaviour/BehaviourWindow.h"
#include "behaviour/TrendWindow.h"
#include "document/CKelvaro32Doc.h"
#include "document/RegisterValues.h"
#include "view/CKelvaro32View.h"
#include "BehaviourTestDocs.h"

#include <QAbstractButton>
#include <QAbstractItemView>
#include <QAbstractSpinBox>
#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace behaviour;

namespace {

class BehaviourTools : public ::testing::Test {
protected:
    void SetUp() override
    {
        app = std::make_unique<CKelvaro32App>(TestAppOptions(dir.path().toStdString()));
        ASSERT_TRUE(app->InitInstance({}));
        frame = app->mainFrame;
    }
    void TearDown() override { app->Shutdown(); }

    QTemporaryDir dir;
    std::unique_ptr<CKelvaro32App> app;
    CMainFrame* frame = nullptr;
};

QStringList MenuTexts(const QMenu* menu)
{
    QStringList texts;
    for (const QAction* a : menu->actions())
        texts << a->text();
    return texts;
}

// Controls with no What's This text, by class and object name (parts of a control excepted).
QStringList WithoutWhatsThis(const QWidget& window)
{
    QStringList missing;
    for (QWidget* w : window.findChildren<QWidget*>()) {
        const bool control = qobject_cast<QAbstractButton*>(w) || qobject_cast<QLineEdit*>(w)
                          || qobject_cast<QComboBox*>(w) || qobject_cast<QAbstractSpinBox*>(w)
                          || qobject_cast<QAbstractItemView*>(w);
        if (!control)
            continue;
        bool part = false;
        for (QWidget* p = w->parentWidget(); p && p != &window; p = p->parentWidget())
            part = part || qobject_cast<QAbstractSpinBox*>(p) || qobject_cast<QComboBox*>(p)
                || qobject_cast<QAbstractItemView*>(p);
        if (!part && w->whatsThis().isEmpty())
            missing << QString("%1 %2").arg(w->metaObject()->className(), w->objectName());
    }
    return missing;
}

} // namespace

TEST_F(BehaviourTools, TheToolsMenuHoldsBehaviourAndTrendInBothMenuSets)
{
    for (int menu : {128, 129}) {
        if (menu == 129)
            app->NewDocument();
        ASSERT_EQ(frame->CurrentMenuId(), menu);
        QMenu* tools = nullptr;
        for (QAction* a : frame->menuBar()->actions())
            if (a->text() == "&Tools")
                tools = a->menu();
        ASSERT_NE(tools, nullptr) << menu;
        const QStringList texts = MenuTexts(tools);
        EXPECT_TRUE(texts.contains("&Behaviour...")) << texts.join(", ").toStdString();
        EXPECT_TRUE(texts.contains("T&rend...")) << texts.join(", ").toStdString();
    }
    EXPECT_NE(frame->Action(cmd::ToolsBehaviour), nullptr);
    EXPECT_NE(frame->Action(cmd::ToolsTrend), nullptr);
}

// Add to Trend from a data window: the trend opens (one, not modal) with the point in the value
// the window shows it in; asked again, the same window and no second line.
TEST_F(BehaviourTools, AddToTrendFromADataWindowPlotsThePointAsShown)
{
    ASSERT_TRUE(frame->RunCommand(cmd::FileNew));
    CKelvaro32View* view = frame->ActiveView();
    ASSERT_NE(view, nullptr);
    CKelvaro32Doc& doc = *view->Document();
    doc.deviceId = 7;
    doc.pointType = 4;
    doc.startAddress = 100;
    view->SetDisplayFormat(kFloatSwapped);
    view->Document()->SetWord(4, 0x4049);   // 3.140625 as a float, high word first
    view->Document()->SetWord(5, 0x0000);

    for (int round = 0; round < 2; ++round) {
        std::unique_ptr<QMenu> menu(view->PointMenu(4, nullptr));
        const QStringList texts = MenuTexts(menu.get());
        ASSERT_EQ(texts, (QStringList{"Add &Generator...", "Add to &Trend"}));
        menu->actions()[1]->trigger();
    }
    const auto trends = frame->findChildren<TrendWindow*>();
    ASSERT_EQ(trends.size(), 1);
    EXPECT_TRUE(trends[0]->isVisible());
    EXPECT_FALSE(trends[0]->isModal());
    ASSERT_EQ(trends[0]->Series().size(), 1u);
    EXPECT_EQ(trends[0]->Series()[0]->Point(), (TrendPoint{7, 4, 104, Encoding::Float32, true}));
    trends[0]->Tick(1'000'000);
    ASSERT_EQ(trends[0]->Series()[0]->Samples().size(), 1u);
    EXPECT_EQ(trends[0]->Series()[0]->Samples()[0].value, 3.140625);

    ASSERT_TRUE(frame->RunCommand(cmd::ToolsTrend));
    EXPECT_EQ(frame->findChildren<TrendWindow*>().size(), 1);
}

// The point a data window's menu hands on: the first register of the value it shows and that
// value's layout; coils and inputs are bits.
TEST_F(BehaviourTools, APointIsTheValueItsWindowShows)
{
    ASSERT_TRUE(frame->RunCommand(cmd::FileNew));
    CKelvaro32View* view = frame->ActiveView();
    ASSERT_NE(view, nullptr);
    CKelvaro32Doc& doc = *view->Document();
    doc.deviceId = 3;
    doc.pointType = 3;
    doc.startAddress = 1;
    struct Case {
        int format;
        Encoding value;
        bool swapped;
    };
    const Case cases[] = {{kDecimal, Encoding::Uint16, false},  {kHex, Encoding::Uint16, false},
                          {kFloat, Encoding::Float32, false},   {kFloatSwapped, Encoding::Float32, true},
                          {kLong, Encoding::Int32, false},      {kLongSwapped, Encoding::Int32, true},
                          {kFloat64, Encoding::Float64, false}, {kFloat64Swapped, Encoding::Float64, true}};
    for (const Case& c : cases) {
        view->SetDisplayFormat(c.format);
        EXPECT_EQ(view->PointAt(8), (TrendPoint{3, 3, 9, c.value, c.swapped})) << c.format;
    }
    doc.pointType = 1;
    view->SetDisplayFormat(kDecimal);
    EXPECT_EQ(view->PointAt(8), (TrendPoint{3, 1, 9, Encoding::Bit, false}));
    std::vector<TrendPoint> asked;
    // Only what the menu asks for: the frame's own handler would open the (modal) editor.
    QObject::disconnect(view, &CKelvaro32View::AddGeneratorAsked, nullptr, nullptr);
    QObject::connect(view, &CKelvaro32View::AddGeneratorAsked, [&](const TrendPoint& p) { asked.push_back(p); });
    std::unique_ptr<QMenu> menu(view->PointMenu(8, nullptr));
    menu->actions()[0]->trigger();
    ASSERT_EQ(asked.size(), 1u);
    EXPECT_EQ(asked[0], (TrendPoint{3, 1, 9, Encoding::Bit, false}));
}

TEST(BehaviourWindows, EveryControlSaysWhatItDoes)
{
    BehaviourBench bench;
    const BehaviourWindow window(bench.book);
    const GeneratorDialog generator(FormForPoint(1, 3, 1));
    const ReactionDialog reaction;
    const TrendWindow trend(std::make_unique<DocumentPoints>(bench.open));
    for (const QWidget* w : {static_cast<const QWidget*>(&window), static_cast<const QWidget*>(&generator),
                             static_cast<const QWidget*>(&reaction), static_cast<const QWidget*>(&trend)}) {
        EXPECT_GE(w->findChildren<QAbstractButton*>().size(), 2);
        EXPECT_EQ(WithoutWhatsThis(*w).join(", ").toStdString(), "") << w->windowTitle().toStdString();
    }
}
