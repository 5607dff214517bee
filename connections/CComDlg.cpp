#include "connections/CComDlg.h"

#include "dialogs/DialogKit.h"
#include "connections/SerialDevices.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QRadioButton>
#include <QVBoxLayout>

using namespace dialogkit;

namespace {

QComboBox* ChoiceBox(std::span<const ChoiceEntry> choices, std::uint32_t held, bool showHeld, int id, QWidget* parent)
{
    auto* box = new QComboBox(parent);
    box->setObjectName(ControlName(id));
    box->setEditable(true);
    box->setInsertPolicy(QComboBox::NoInsert);
    for (const auto& c : choices)
        box->addItem(QString::fromLatin1(c.text));
    box->setCurrentIndex(ChoiceIndex(choices, held));
    // No entry holds the value: nothing is selected, and OK keeps the value.
    if (box->currentIndex() < 0)
        box->setEditText(showHeld ? QString::number(held) : QString());
    return box;
}

QLineEdit* DelayEdit(std::int32_t value, int id, QWidget* parent)
{
    auto* edit = new QLineEdit(QString::number(value), parent);
    edit->setObjectName(ControlName(id));
    edit->setMaximumWidth(50);
    return edit;
}

} // namespace

CComDlg::CComDlg(const ComSettings& values, const std::vector<std::string>& devices, QWidget* parent)
    : QDialog(parent), values_(values)
{
    setObjectName("dialog102");
    setWindowTitle(QString("Setup Comm Port %1").arg(values.port));
    auto* layout = new QVBoxLayout(this);

    auto* protocol = new QGroupBox("Protocol", this);
    auto* protocolLayout = new QHBoxLayout(protocol);
    rtu_ = new QRadioButton("RTU", protocol);
    rtu_->setObjectName(ControlName(1000));
    ascii_ = new QRadioButton("ASCII", protocol);
    ascii_->setObjectName(ControlName(1001));
    (values.rtu ? rtu_ : ascii_)->setChecked(true);
    enron_ = new QCheckBox("Daniel/ENRON protocol", protocol);
    enron_->setObjectName(ControlName(1009));
    enron_->setChecked(values.enron);
    enron_->setEnabled(!values.enronLocked);
    protocolLayout->addWidget(rtu_);
    protocolLayout->addWidget(ascii_);
    protocolLayout->addWidget(enron_);
    layout->addWidget(protocol);

    auto* grid = new QGridLayout;
    baud_ = ChoiceBox(BaudRateChoices(), values.baudRate, true, 1002, this);
    dataBits_ = ChoiceBox(DataBitsChoices(), values.dataBits, true, 1003, this);
    stopBits_ = ChoiceBox(StopBitsChoices(), values.stopBits, false, 1004, this);
    parity_ = ChoiceBox(ParityChoices(), values.parity, false, 1005, this);
    const std::pair<const char*, QComboBox*> rows[] = {
        {"Baud Rate:", baud_}, {"Data Bits:", dataBits_}, {"Stop Bits:", stopBits_}, {"Parity:", parity_}};
    int row = 0;
    for (const auto& [label, box] : rows) {
        grid->addWidget(new QLabel(label, this), row, 0);
        grid->addWidget(box, row++, 1);
    }
    // Ports are device paths here: which device this port stands for.
    device_ = new QComboBox(this);
    device_->setObjectName("devicePath");
    device_->setEditable(true);
    device_->setInsertPolicy(QComboBox::NoInsert);
    const QString current = QString::fromStdString(values.devicePath);
    QStringList list;
    for (const auto& d : devices)
        list << QString::fromStdString(d);
    if (!current.isEmpty() && !list.contains(current))
        list.prepend(current);
    device_->addItems(list);
    device_->setCurrentIndex(list.indexOf(current));
    device_->setEditText(current);
    grid->addWidget(new QLabel("Device:", this), row, 0);
    grid->addWidget(device_, row++, 1);
    layout->addLayout(grid);

    auto* flow = new QGroupBox("Hardware Flow Control", this);
    auto* flowLayout = new QVBoxLayout(flow);
    cts_ = new QCheckBox("Wait for CTS from Master", flow);
    cts_->setObjectName(ControlName(1006));
    cts_->setChecked(values.waitCts);
    dtr_ = new QCheckBox("Wait for DTR from Master", flow);
    dtr_->setObjectName(ControlName(1007));
    dtr_->setChecked(values.waitDtr);
    flowLayout->addWidget(cts_);
    flowLayout->addWidget(dtr_);
    layout->addWidget(flow);

    rtsOn_ = DelayEdit(values.rtsOnDelay, 1037, this);
    rtsOff_ = DelayEdit(values.rtsOffDelay, 1039, this);
    for (const auto& [edit, after] : {std::pair{rtsOn_, "ms after RTS before transmitting first character"},
                                      std::pair{rtsOff_, "ms after last character before releasing RTS"}}) {
        auto* line = new QHBoxLayout;
        line->addWidget(new QLabel("Delay ", this));
        line->addWidget(edit);
        line->addWidget(new QLabel(after, this));
        line->addStretch();
        layout->addLayout(line);
    }

    AddOkCancelBox(this, layout);
}

void CComDlg::accept()
{
    // The delays are checked first: a refused field changes nothing.
    const FieldCheck on = CheckIntegerField(rtsOn_->text().toStdString(), 0, 100);
    if (!on.ok) {
        ShowFieldError(this, rtsOn_, QString::fromStdString(on.message));
        return;
    }
    const FieldCheck off = CheckIntegerField(rtsOff_->text().toStdString(), 0, 100);
    if (!off.ok) {
        ShowFieldError(this, rtsOff_, QString::fromStdString(off.message));
        return;
    }
    ComSettings v = values_;
    v.rtu = rtu_->isChecked();
    v.enron = enron_->isChecked();
    v.baudRate = ChoiceValue(BaudRateChoices(), baud_->currentText().toStdString(), v.baudRate);
    v.dataBits = static_cast<std::uint8_t>(ChoiceValue(DataBitsChoices(), dataBits_->currentText().toStdString(), v.dataBits));
    v.stopBits = static_cast<std::uint8_t>(ChoiceValue(StopBitsChoices(), stopBits_->currentText().toStdString(), v.stopBits));
    v.parity = static_cast<std::uint8_t>(ChoiceValue(ParityChoices(), parity_->currentText().toStdString(), v.parity));
    v.waitCts = cts_->isChecked();
    v.waitDtr = dtr_->isChecked();
    v.rtsOnDelay = static_cast<std::int32_t>(on.value);
    v.rtsOffDelay = static_cast<std::int32_t>(off.value);
    v.devicePath = device_->currentText().trimmed().toStdString();
    values_ = v;
    QDialog::accept();
}

bool RunComDlg(ComSettings& values, QWidget* parent)
{
    CComDlg dlg(values, ListSerialDevices(), parent);
    if (dlg.exec() != QDialog::Accepted)
        return false;
    values = dlg.Values();
    return true;
}
