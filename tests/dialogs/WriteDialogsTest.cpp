// The five write dialogs, offscreen, driven through their controls.
#include "ModalDriver.h"

#include "dialogs/CHexReg.h"
#include "dialogs/CWrBinary.h"
#include "dialogs/CWrCoil.h"
#include "dialogs/CWrFltDlg.h"
#include "dialogs/CWrReg.h"

#include <QFocusEvent>
#include <QRadioButton>
#include <gtest/gtest.h>

using namespace testdrive;
using namespace writedlg;

TEST(WriteDialogs, CaptionsNamesAndButtons)
{
    CWrReg reg;
    CHexReg hex;
    CWrBinary bin;
    CWrCoil coil;
    CWrFltDlg flt;
    struct Case { QDialog* dlg; const char* name; const char* caption; bool autoSim; };
    const Case cases[] = {
        {&reg, "dialog107", "Write Register", true},
        {&hex, "dialog109", "Write Register", true},
        {&bin, "dialog103", "Write Register", false},
        {&coil, "dialog108", "Write Coil", true},
        {&flt, "dialog127", "Write Floating Pt.", true},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.dlg->objectName(), c.name);
        EXPECT_EQ(c.dlg->windowTitle(), c.caption);
        EXPECT_EQ(Control<QPushButton>(c.dlg, 1)->text(), "&Update");
        EXPECT_TRUE(Control<QPushButton>(c.dlg, 1)->isDefault());
        EXPECT_EQ(Control<QPushButton>(c.dlg, 2)->text(), "Cancel");
        EXPECT_EQ(Control(c.dlg, 1000) != nullptr, c.autoSim) << c.name;
    }
    for (int id = 1008; id <= 1023; ++id)
        EXPECT_NE(Control<QCheckBox>(&bin, id), nullptr) << id;
}

TEST(WriteDialogs, RegisterShowsMembersAndRefusesAddressZeroWithFocusOnIt)
{
    CWrReg dlg;
    dlg.model.address = 40;
    dlg.model.value = -70000;
    dlg.model.alias = "Pump";
    MessageCatcher box;
    QString shownAddress, shownValue, shownAlias, focusAfterError;
    OnNextModal([&](QWidget* w) {
        shownAddress = Text(w, 1013);
        shownValue = Text(w, 1014);
        shownAlias = Text(w, 1015);
        SetText(w, 1013, "0");
        SetText(w, 1014, "123456");
        box.Arm(w);
        Click(w, 1);
        focusAfterError = w->focusWidget() ? w->focusWidget()->objectName() : QString();
        SetText(w, 1013, "65536");
        Click(w, 1);
    });
    ASSERT_EQ(dlg.exec(), QDialog::Accepted);
    EXPECT_EQ(shownAddress, "40");
    EXPECT_EQ(shownValue, "-70000");
    EXPECT_EQ(shownAlias, "Pump");
    EXPECT_EQ(box.count, 1);
    EXPECT_EQ(box.text, "Enter an integer between 1 and 65536.");
    EXPECT_EQ(focusAfterError, "control1013");
    EXPECT_EQ(dlg.model.address, 65536);
    EXPECT_EQ(dlg.model.value, 123456);
}

TEST(WriteDialogs, CancelKeepsTheMembers)
{
    CWrFltDlg dlg;
    dlg.model.address = 3;
    dlg.model.value = 2.5f;
    QString shown;
    OnNextModal([&](QWidget* w) {
        shown = Text(w, 1014);
        SetText(w, 1014, "7");
        SetText(w, 1013, "0");
        Click(w, 2);
    });
    EXPECT_EQ(dlg.exec(), QDialog::Rejected);
    EXPECT_EQ(shown, "2.5");
    EXPECT_EQ(dlg.model.value, 2.5f);
    EXPECT_EQ(dlg.model.address, 3);
}

TEST(WriteDialogs, FloatAcceptsAddressZeroAndRefusesText)
{
    CWrFltDlg dlg;
    MessageCatcher box;
    QString focus;
    OnNextModal([&](QWidget* w) {
        SetText(w, 1013, "0");
        SetText(w, 1014, "x");
        box.Arm(w);
        Click(w, 1);
        focus = w->focusWidget() ? w->focusWidget()->objectName() : QString();
        SetText(w, 1014, "1e3");
        Click(w, 1);
    });
    ASSERT_EQ(dlg.exec(), QDialog::Accepted);
    EXPECT_EQ(box.text, "Enter a number.");
    EXPECT_EQ(focus, "control1014");
    EXPECT_EQ(dlg.model.address, 0);
    EXPECT_EQ(dlg.model.value, 1000.0f);
}

TEST(WriteDialogs, HexFieldIsCheckedWhenItLosesTheFocus)
{
    struct Case { const char* typed; bool refused; int value; const char* shownAfter; };
    const Case cases[] = {
        {"fFfF", false, 0xFFFF, "fFfF"},
        {"10000", true, 0xFF, "00FF"},
        {"12G4", true, 0xFF, "00FF"},
        {"", false, 0, ""},
    };
    for (const Case& c : cases) {
        CHexReg dlg;
        dlg.model.value = 255;
        dlg.model.address = 1;
        MessageCatcher box;
        QString shownFirst, shownAfter;
        OnNextModal([&](QWidget* w) {
            shownFirst = Text(w, 1014);
            SetText(w, 1014, c.typed);
            box.Arm(w);
            QFocusEvent out(QEvent::FocusOut, Qt::TabFocusReason);
            QApplication::sendEvent(Control(w, 1014), &out);
            shownAfter = Text(w, 1014);
            Click(w, 1);
        });
        ASSERT_EQ(dlg.exec(), QDialog::Accepted) << c.typed;
        EXPECT_EQ(shownFirst, "00FF");
        EXPECT_EQ(box.count, c.refused ? 1 : 0) << c.typed;
        if (c.refused) {
            EXPECT_EQ(box.caption, "Invalid HEX Character");
            EXPECT_EQ(box.text, "Please Enter a Value between 0000 and ffff");
        }
        EXPECT_EQ(shownAfter, c.shownAfter) << c.typed;
        EXPECT_EQ(dlg.model.value, c.value) << c.typed;
    }
}

// Enter never takes the focus from the field: Update checks the typed text itself.
TEST(WriteDialogs, HexValueTypedBeforeEnterIsStoredOrRefused)
{
    struct Case { const char* typed; int value; int messages; };
    const Case cases[] = {{"1234", 0x1234, 0}, {"12G4", 0xFF, 1}};
    for (const Case& c : cases) {
        CHexReg dlg;
        dlg.model.value = 255;
        dlg.model.address = 1;
        MessageCatcher box;
        OnNextModal([&](QWidget* w) {
            SetText(w, 1014, c.typed);
            box.Arm(w);
            QTest::keyClick(Control(w, 1014), Qt::Key_Return);
            if (w->isVisible())
                Click(w, 1); // the field shows the last accepted value again
        });
        ASSERT_EQ(dlg.exec(), QDialog::Accepted) << c.typed;
        EXPECT_EQ(box.count, c.messages) << c.typed;
        EXPECT_EQ(dlg.model.value, c.value) << c.typed;
    }
}

TEST(WriteDialogs, BinaryBoxesBuildTheValue)
{
    CWrBinary dlg;
    dlg.model.value = 0x0005;
    dlg.model.address = 1;
    bool bit0Shown = false, bit2Shown = false, bit1Shown = true;
    OnNextModal([&](QWidget* w) {
        bit0Shown = Control<QCheckBox>(w, 1023)->isChecked();
        bit1Shown = Control<QCheckBox>(w, 1022)->isChecked();
        bit2Shown = Control<QCheckBox>(w, 1021)->isChecked();
        Click(w, 1021); // clear bit 2
        Click(w, 1008); // set bit 15
        Click(w, 1);
    });
    ASSERT_EQ(dlg.exec(), QDialog::Accepted);
    EXPECT_TRUE(bit0Shown);
    EXPECT_FALSE(bit1Shown);
    EXPECT_TRUE(bit2Shown);
    EXPECT_EQ(dlg.model.value, 0x8001);
}

TEST(WriteDialogs, CoilWordFiveStaysFiveUnlessClicked)
{
    for (bool clickOff : {false, true}) {
        CWrCoil dlg;
        dlg.model.value = 5;
        dlg.model.address = 10;
        bool onShown = false;
        OnNextModal([&](QWidget* w) {
            onShown = Control<QRadioButton>(w, 1016)->isChecked();
            if (clickOff)
                Click(w, 1015);
            Click(w, 1);
        });
        ASSERT_EQ(dlg.exec(), QDialog::Accepted);
        EXPECT_TRUE(onShown);
        EXPECT_EQ(dlg.model.value, clickOff ? 0 : 5);
    }
}
