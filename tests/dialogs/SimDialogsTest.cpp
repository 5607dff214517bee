// The Auto Simulation and Coil Simulation dialogs and the hand-off from the write dialogs.
#include "ModalDriver.h"

#include "dialogs/CHexReg.h"
#include "dialogs/CWrCoil.h"
#include "dialogs/CWrReg.h"
#include "document/CKelvaro32Doc.h"
#include "simulation/AutoSimulation.h"
#include "simulation/CCoilSimDlg.h"
#include "simulation/CSimDlg.h"
#include "simulation/SimDialogModels.h"

#include <gtest/gtest.h>

using namespace testdrive;

namespace {

struct HandOff : ::testing::Test {
    HandOff() : doc(DocumentContext{}) {}

    void AddPoint(int index, int simType, int interval)
    {
        auto p = std::make_unique<CAutomatePt>();
        p->pointIndex = index;
        p->simulationType = simType;
        p->interval = interval;
        p->step = 2.5f;
        p->lowLimit = -1;
        p->highLimit = 9;
        p->tickCounter = 3;
        doc.AddSimulatedPoint(std::move(p));
    }

    CKelvaro32Doc doc;
};

struct SimState {
    bool enabled = false;
    int type = -1;
    QString interval, step, low, high;
    bool typeOn = true, intervalOn = true, stepOn = true, lowOn = true, highOn = true;
};

SimState Read(QWidget* w)
{
    SimState s;
    s.enabled = Control<QCheckBox>(w, 1006)->isChecked();
    s.type = Control<QComboBox>(w, 1001)->currentIndex();
    s.interval = Text(w, 1002);
    s.step = Text(w, 1003);
    s.low = Text(w, 1004);
    s.high = Text(w, 1005);
    s.typeOn = Control(w, 1001)->isEnabled();
    s.intervalOn = Control(w, 1002)->isEnabled();
    s.stepOn = Control(w, 1003)->isEnabled();
    s.lowOn = Control(w, 1004)->isEnabled();
    s.highOn = Control(w, 1005)->isEnabled();
    return s;
}

} // namespace

TEST_F(HandOff, NewRegisterSimulationStartsDisabledWithDefaultsThenAddsAndUpdates)
{
    CWrReg reg;
    reg.model.document = &doc;
    reg.model.pointIndex = 4;
    reg.model.valueType = 6;
    reg.SetAutoSimulation(simdlg::RegisterSimulation(doc, 4, 6));
    reg.model.address = 5;
    SimState opened;
    bool stepAfterIncrement = false, stepAfterRandom = true;
    QString title;
    OnNextModal([&](QWidget* w) {
        OnNextModal([&](QWidget* sim) {
            title = sim->windowTitle();
            opened = Read(sim);
            Click(sim, 1006);
            Choose(sim, 1001, 1);
            stepAfterIncrement = Control(sim, 1003)->isEnabled();
            Choose(sim, 1001, 0);
            stepAfterRandom = Control(sim, 1003)->isEnabled();
            Choose(sim, 1001, 1);
            SetText(sim, 1005, "1e3");
            SetText(sim, 1004, "2000"); // a low limit above the high one is accepted
            SetText(sim, 1002, "3");
            Click(sim, 1);
        }, w);
        SetText(w, 1014, "77");
        Click(w, 1000);
    });
    ASSERT_EQ(reg.exec(), QDialog::Accepted);
    EXPECT_EQ(title, "Auto Simulation");
    EXPECT_FALSE(opened.enabled);
    EXPECT_EQ(opened.type, 0);
    EXPECT_EQ(opened.interval, "5");
    EXPECT_EQ(opened.step, "1");
    EXPECT_EQ(opened.low, "0");
    EXPECT_EQ(opened.high, "32767");
    EXPECT_FALSE(opened.typeOn || opened.intervalOn || opened.stepOn || opened.lowOn || opened.highOn);
    EXPECT_TRUE(stepAfterIncrement);
    EXPECT_FALSE(stepAfterRandom);
    EXPECT_EQ(reg.model.value, 77); // Update ran as well

    const CAutomatePt* p = doc.FindSimulatedPoint(4);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->valueType, 6);
    EXPECT_EQ(p->simulationType, 1);
    EXPECT_EQ(p->interval, 3);
    EXPECT_EQ(p->step, 1.0f);
    EXPECT_EQ(p->lowLimit, 2000.0f);
    EXPECT_EQ(p->highLimit, 1000.0f);
    EXPECT_EQ(p->tickCounter, 0);
}

TEST_F(HandOff, ExistingPointFillsTheDialogAndDisablingItRemovesItAndCancels)
{
    AddPoint(2, 2, 7);
    AddPoint(8, 0, 1);
    CHexReg hex;
    hex.model.document = &doc;
    hex.model.pointIndex = 2;
    hex.SetAutoSimulation(simdlg::RegisterSimulation(doc, 2, kValueWord));
    hex.model.address = 3;
    SimState opened;
    OnNextModal([&](QWidget* w) {
        OnNextModal([&](QWidget* sim) {
            opened = Read(sim);
            Click(sim, 1006);
            Click(sim, 1);
        }, w);
        Click(w, 1000);
    });
    EXPECT_EQ(hex.exec(), QDialog::Rejected);
    EXPECT_TRUE(opened.enabled);
    EXPECT_EQ(opened.type, 2);
    EXPECT_EQ(opened.interval, "7");
    EXPECT_EQ(opened.step, "2.5");
    EXPECT_EQ(opened.low, "-1");
    EXPECT_EQ(opened.high, "9");
    EXPECT_TRUE(opened.typeOn && opened.intervalOn && opened.stepOn && opened.lowOn && opened.highOn);
    EXPECT_EQ(doc.FindSimulatedPoint(2), nullptr);
    EXPECT_NE(doc.FindSimulatedPoint(8), nullptr);
}

TEST_F(HandOff, HexReplacesThePointAsSixteenBitAndSimCancelLeavesEverything)
{
    AddPoint(2, 2, 7);
    {
        CHexReg hex;
        hex.model.document = &doc;
        hex.model.pointIndex = 2;
        hex.SetAutoSimulation(simdlg::RegisterSimulation(doc, 2, kValueWord));
        hex.model.address = 3;
        OnNextModal([&](QWidget* w) {
            OnNextModal([&](QWidget* sim) { Click(sim, 2); }, w);
            Click(w, 1000);
        });
        EXPECT_EQ(hex.exec(), QDialog::Rejected);
        ASSERT_NE(doc.FindSimulatedPoint(2), nullptr);
        EXPECT_EQ(doc.FindSimulatedPoint(2)->tickCounter, 3);
    }
    CHexReg hex;
    hex.model.document = &doc;
    hex.model.pointIndex = 2;
    hex.SetAutoSimulation(simdlg::RegisterSimulation(doc, 2, kValueWord));
    hex.model.address = 3;
    OnNextModal([&](QWidget* w) {
        OnNextModal([&](QWidget* sim) { Click(sim, 1); }, w);
        Click(w, 1000);
    });
    EXPECT_EQ(hex.exec(), QDialog::Accepted);
    ASSERT_EQ(doc.simulatedPoints.size(), 1u);
    EXPECT_EQ(doc.simulatedPoints[0]->valueType, 1);
    EXPECT_EQ(doc.simulatedPoints[0]->tickCounter, 0);
}

TEST_F(HandOff, FailingUpdateAfterTheHandOffKeepsTheWriteDialogOpenWithThePointInPlace)
{
    CWrReg reg;
    reg.model.document = &doc;
    reg.model.pointIndex = 0;
    reg.SetAutoSimulation(simdlg::RegisterSimulation(doc, 0, reg.model.valueType));
    MessageCatcher box;
    bool pointDuringError = false;
    OnNextModal([&](QWidget* w) {
        OnNextModal([&](QWidget* sim) {
            Click(sim, 1006);
            box.Arm(w);
            Click(sim, 1);
        }, w);
        SetText(w, 1013, "0");
        Click(w, 1000);
        pointDuringError = doc.FindSimulatedPoint(0) != nullptr;
        Click(w, 2);
    });
    EXPECT_EQ(reg.exec(), QDialog::Rejected);
    EXPECT_EQ(box.text, "Enter an integer between 1 and 65536.");
    EXPECT_TRUE(pointDuringError);
    EXPECT_NE(doc.FindSimulatedPoint(0), nullptr);
}

TEST_F(HandOff, CoilSimulationAlwaysEndsWithUpdate)
{
    AddPoint(9, 1, 4);
    struct Case { bool clickEnabled; int entry; bool pointAfter; };
    // Existing point: unchecking removes it. New point: an empty entry gives Toggle.
    const Case cases[] = {{true, -1, false}, {true, 3, true}};
    for (const Case& c : cases) {
        CWrCoil coil;
        coil.model.document = &doc;
        coil.model.pointIndex = 9;
        coil.SetAutoSimulation(simdlg::CoilSimulation(doc, 9));
        coil.model.address = 10;
        coil.model.value = 0;
        bool opened = false;
        QString title;
        OnNextModal([&](QWidget* w) {
            OnNextModal([&](QWidget* sim) {
                title = sim->windowTitle();
                opened = Control<QCheckBox>(sim, 1006)->isChecked();
                if (c.clickEnabled)
                    Click(sim, 1006);
                if (c.entry >= 0)
                    Choose(sim, 1001, c.entry);
                Click(sim, 1);
            }, w);
            Click(w, 1016);
            Click(w, 1000);
        });
        EXPECT_EQ(coil.exec(), QDialog::Accepted);
        EXPECT_EQ(title, "Coil Simulation");
        EXPECT_EQ(coil.model.value, 1);
        const CAutomatePt* p = doc.FindSimulatedPoint(9);
        ASSERT_EQ(p != nullptr, c.pointAfter);
        EXPECT_EQ(opened, !c.pointAfter); // the second run starts without a point
        if (p) {
            EXPECT_EQ(p->valueType, 0);
            EXPECT_EQ(p->simulationType, 1);
            EXPECT_EQ(p->interval, 5);
            EXPECT_EQ(p->step, 1.0f);
            EXPECT_EQ(p->lowLimit, 0.0f);
            EXPECT_EQ(p->highLimit, 100.0f);
        }
    }
}

TEST(SimDialogs, OkReadsHighIntervalLowStepInOrderAndStopsAtTheFirstFailure)
{
    struct Case { QString high, interval, low, step; const char* message; const char* focus; };
    const Case cases[] = {
        {"x", "y", "0", "1", "Enter a number.", "control1005"},
        {"10", "2.5", "z", "1", "Enter an integer.", "control1002"},
        {"10", "2", "z", "", "Enter a number.", "control1004"},
        {"10", "2", "0", "", "Enter a number.", "control1003"},
    };
    for (const Case& c : cases) {
        simdlg::SimDlgModel start;
        start.enabled = 1;
        start.simulationType = 2;
        CSimDlg dlg(start);
        MessageCatcher box;
        QString focus;
        OnNextModal([&](QWidget* w) {
            SetText(w, 1005, c.high);
            SetText(w, 1002, c.interval);
            SetText(w, 1004, c.low);
            SetText(w, 1003, c.step);
            box.Arm(w);
            Click(w, 1);
            focus = w->focusWidget() ? w->focusWidget()->objectName() : QString();
            Click(w, 2);
        });
        EXPECT_EQ(dlg.exec(), QDialog::Rejected);
        EXPECT_EQ(box.text, c.message) << c.focus;
        EXPECT_EQ(focus, c.focus);
    }
}

TEST(SimDialogs, DisabledFieldsAreReadToo)
{
    CSimDlg dlg(simdlg::SimDlgModel{});
    OnNextModal([&](QWidget* w) {
        ASSERT_FALSE(Control(w, 1003)->isEnabled());
        Control<QLineEdit>(w, 1003)->setText("-4");
        Click(w, 1);
    });
    ASSERT_EQ(dlg.exec(), QDialog::Accepted);
    EXPECT_EQ(dlg.model.step, -4.0f);
    EXPECT_EQ(dlg.model.enabled, 0);
}

TEST(SimDialogs, CoilDialogListAndEnabling)
{
    simdlg::CoilSimDlgModel start;
    start.simulationType = 5;
    CCoilSimDlg dlg(start);
    auto* list = Control<QComboBox>(&dlg, 1001);
    ASSERT_EQ(list->count(), 4);
    EXPECT_EQ(list->itemText(0), "Random");
    EXPECT_EQ(list->itemText(1), "Toggle");
    EXPECT_EQ(list->itemText(2), "");
    EXPECT_EQ(list->itemText(3), "");
    EXPECT_EQ(list->currentIndex(), 1);
    EXPECT_FALSE(list->isEnabled());
    EXPECT_FALSE(Control(&dlg, 1002)->isEnabled());
    MessageCatcher box;
    OnNextModal([&](QWidget* w) {
        Click(w, 1006);
        Choose(w, 1001, 0);
        SetText(w, 1002, "");
        box.Arm(w);
        Click(w, 1);
        SetText(w, 1002, "0");
        Click(w, 1);
    });
    ASSERT_EQ(dlg.exec(), QDialog::Accepted);
    EXPECT_EQ(box.text, "Enter an integer.");
    EXPECT_EQ(dlg.model.enabled, 1);
    EXPECT_EQ(dlg.model.simulationType, 0);
    EXPECT_EQ(dlg.model.interval, 0);
}
