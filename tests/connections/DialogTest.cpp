// The Setup Connection and Select Service Port dialogs as widgets: what they show, what OK
// stores, and the messages of refused fields.
#include "connections/CComDlg.h"
#include "connections/SvcPortDlg.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

namespace {

// Clicks OK; a message box that comes up is read and closed. Returns its text ("" for none).
QString ClickOk(QDialog& dlg)
{
    QString message;
    QTimer::singleShot(0, [&] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            message = box->text();
            box->accept();
        }
    });
    dlg.show();
    QTest::mouseClick(dlg.findChild<QPushButton*>("control1"), Qt::LeftButton);
    QApplication::processEvents();
    return message;
}

template <class T>
T* Control(QWidget& dlg, int id)
{
    auto* w = dlg.findChild<T*>(QString("control%1").arg(id));
    EXPECT_NE(w, nullptr) << id;
    return w;
}

ComSettings Fresh(int port)
{
    PortTable table;
    return ComSettingsFor(table, port, false, 0);
}

TEST(SetupConnectionDialog, FreshPortShowsTheDefaultsAndOkKeepsThem)
{
    CComDlg dlg(Fresh(5), {"/dev/ttyS0", "/dev/ttyUSB0"});
    EXPECT_EQ(dlg.windowTitle(), "Setup Comm Port 5");
    EXPECT_TRUE(Control<QRadioButton>(dlg, 1000)->isChecked());
    EXPECT_EQ(Control<QRadioButton>(dlg, 1001)->text(), "ASCII");
    EXPECT_FALSE(Control<QCheckBox>(dlg, 1009)->isChecked());
    EXPECT_TRUE(Control<QCheckBox>(dlg, 1009)->isEnabled());
    EXPECT_EQ(Control<QComboBox>(dlg, 1002)->currentText(), "9600");
    EXPECT_EQ(Control<QComboBox>(dlg, 1002)->count(), 15);
    EXPECT_EQ(Control<QComboBox>(dlg, 1003)->currentText(), "8");
    EXPECT_EQ(Control<QComboBox>(dlg, 1004)->currentText(), "1");
    EXPECT_EQ(Control<QComboBox>(dlg, 1005)->currentText(), "ODD");
    EXPECT_EQ(Control<QCheckBox>(dlg, 1006)->text(), "Wait for CTS from Master");
    EXPECT_FALSE(Control<QCheckBox>(dlg, 1006)->isChecked());
    EXPECT_FALSE(Control<QCheckBox>(dlg, 1007)->isChecked());
    EXPECT_EQ(Control<QLineEdit>(dlg, 1037)->text(), "0");
    EXPECT_EQ(Control<QLineEdit>(dlg, 1039)->text(), "0");
    auto* device = dlg.findChild<QComboBox*>("devicePath");
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(device->currentText(), "/dev/ttyS4");   // not present, still offered first
    EXPECT_EQ(device->count(), 3);

    EXPECT_EQ(ClickOk(dlg), "");
    EXPECT_EQ(dlg.result(), QDialog::Accepted);
    const ComSettings v = dlg.Values();
    EXPECT_EQ(v.baudRate, 9600u);
    EXPECT_EQ(v.parity, 1);
    EXPECT_TRUE(v.rtu);
    EXPECT_EQ(v.devicePath, "/dev/ttyS4");
}

TEST(SetupConnectionDialog, OkTakesEveryControl)
{
    CComDlg dlg(Fresh(3), {});
    QTest::mouseClick(Control<QRadioButton>(dlg, 1001), Qt::LeftButton);
    Control<QCheckBox>(dlg, 1009)->setChecked(true);
    Control<QComboBox>(dlg, 1002)->setCurrentIndex(8);   // 19200
    Control<QComboBox>(dlg, 1003)->setCurrentIndex(0);   // 7
    Control<QComboBox>(dlg, 1004)->setCurrentIndex(2);   // 2
    Control<QComboBox>(dlg, 1005)->setCurrentIndex(1);   // EVEN
    Control<QCheckBox>(dlg, 1006)->setChecked(true);
    Control<QCheckBox>(dlg, 1007)->setChecked(true);
    Control<QLineEdit>(dlg, 1037)->setText("100");
    Control<QLineEdit>(dlg, 1039)->setText("25");
    dlg.findChild<QComboBox*>("devicePath")->setEditText("/dev/pts/9");
    EXPECT_EQ(ClickOk(dlg), "");
    const ComSettings v = dlg.Values();
    EXPECT_FALSE(v.rtu);
    EXPECT_TRUE(v.enron);
    EXPECT_EQ(v.baudRate, 19200u);
    EXPECT_EQ(v.dataBits, 7);
    EXPECT_EQ(v.stopBits, 2);
    EXPECT_EQ(v.parity, 2);
    EXPECT_TRUE(v.waitCts && v.waitDtr);
    EXPECT_EQ(v.rtsOnDelay, 100);
    EXPECT_EQ(v.rtsOffDelay, 25);
    EXPECT_EQ(v.devicePath, "/dev/pts/9");
}

TEST(SetupConnectionDialog, ValuesNotInTheListsShowNoSelectionAndAreKept)
{
    ComSettings held = Fresh(4);
    held.baudRate = 12345;
    held.parity = 7;
    held.rtu = false;   // a mode byte of neither 1 nor 0 arrives as ASCII
    CComDlg dlg(held, {});
    EXPECT_EQ(Control<QComboBox>(dlg, 1002)->currentIndex(), -1);
    EXPECT_EQ(Control<QComboBox>(dlg, 1002)->currentText(), "12345");
    EXPECT_EQ(Control<QComboBox>(dlg, 1005)->currentIndex(), -1);
    EXPECT_TRUE(Control<QRadioButton>(dlg, 1001)->isChecked());
    Control<QComboBox>(dlg, 1003)->setEditText("nine");   // typed, matches no entry
    Control<QComboBox>(dlg, 1004)->setEditText("1.5");    // typed, matches an entry
    EXPECT_EQ(ClickOk(dlg), "");
    const ComSettings v = dlg.Values();
    EXPECT_EQ(v.baudRate, 12345u);
    EXPECT_EQ(v.parity, 7);
    EXPECT_EQ(v.dataBits, 8);
    EXPECT_EQ(v.stopBits, 1);
    EXPECT_FALSE(v.rtu);
}

TEST(SetupConnectionDialog, RefusedDelaysKeepTheDialogOpenWithTheFocusOnTheField)
{
    struct Case { int field; const char* text; const char* message; };
    const Case cases[] = {
        {1037, "abc", "Enter an integer."},
        {1037, "101", "Enter an integer between 0 and 100."},
        {1039, "", "Enter an integer."},
        {1039, "-1", "Enter an integer between 0 and 100."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        ComSettings held = Fresh(1);
        CComDlg dlg(held, {});
        Control<QComboBox>(dlg, 1002)->setCurrentIndex(0);   // a change that must not be stored
        auto* field = Control<QLineEdit>(dlg, c.field);
        field->setText(c.text);
        EXPECT_EQ(ClickOk(dlg), c.message);
        EXPECT_TRUE(dlg.isVisible());
        EXPECT_NE(dlg.result(), QDialog::Accepted);
        EXPECT_EQ(dlg.focusWidget(), field);
        EXPECT_EQ(dlg.Values().baudRate, 9600u);
        field->setText("100");
        EXPECT_EQ(ClickOk(dlg), "");
        EXPECT_EQ(dlg.result(), QDialog::Accepted);
    }
}

TEST(ServicePortDialog, ShowsSignedAndTakesEitherReading)
{
    {
        SvcPortDlg dlg(40000);
        EXPECT_EQ(dlg.windowTitle(), "Select Service Port");
        EXPECT_EQ(Control<QLineEdit>(dlg, 1010)->text(), "-25536");
        EXPECT_EQ(ClickOk(dlg), "");
        EXPECT_EQ(dlg.Port(), 40000);
    }
    for (const char* text : {"40000", " -25536"}) {
        SvcPortDlg dlg(502);
        Control<QLineEdit>(dlg, 1010)->setText(text);
        EXPECT_EQ(ClickOk(dlg), "");
        EXPECT_EQ(dlg.Port(), 40000) << text;
    }
    SvcPortDlg dlg(502);
    auto* edit = Control<QLineEdit>(dlg, 1010);
    edit->setText("port");
    EXPECT_EQ(ClickOk(dlg), "Enter an integer.");
    EXPECT_TRUE(dlg.isVisible());
    EXPECT_EQ(dlg.focusWidget(), edit);
    EXPECT_EQ(dlg.Port(), 502);
    edit->setText("70000");
    EXPECT_EQ(ClickOk(dlg), "Enter an integer between -32768 and 65535.");
    EXPECT_EQ(dlg.Port(), 502);
}

} // namespace
