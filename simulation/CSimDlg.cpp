#include "simulation/CSimDlg.h"

#include "dialogs/DialogKit.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

using namespace simdlg;
using dialogkit::ControlName;
using dialogkit::MakeEdit;

CSimDlg::CSimDlg(const SimDlgModel& start, QWidget* parent) : QDialog(parent), model(start)
{
    setObjectName("dialog130");
    setWindowTitle("Auto Simulation");
    auto* layout = new QVBoxLayout(this);
    enabled_ = new QCheckBox("Enabled", this);
    enabled_->setObjectName(ControlName(kIdEnabled));
    enabled_->setChecked(model.enabled != 0);
    layout->addWidget(enabled_);

    auto* grid = new QGridLayout;
    type_ = new QComboBox(this);
    type_->setObjectName(ControlName(kIdType));
    type_->addItems({"Random", "Increment", "Decrement"});
    type_->setCurrentIndex(model.TypeIndex());
    grid->addWidget(new QLabel("Simulation Type:", this), 0, 0);
    grid->addWidget(type_, 0, 1);
    interval_ = MakeEdit(kIdInterval, QString::number(model.interval), this);
    grid->addWidget(new QLabel("Change Interval (secs):", this), 1, 0);
    grid->addWidget(interval_, 1, 1);
    step_ = MakeEdit(kIdStep, QString::fromStdString(fieldtext::FormatNumber(model.step)), this);
    grid->addWidget(new QLabel("Step Value:", this), 2, 0);
    grid->addWidget(step_, 2, 1);
    layout->addLayout(grid);

    auto* range = new QGroupBox("Simulation Range", this);
    auto* rangeGrid = new QGridLayout(range);
    low_ = MakeEdit(kIdLow, QString::fromStdString(fieldtext::FormatNumber(model.lowLimit)), range);
    high_ = MakeEdit(kIdHigh, QString::fromStdString(fieldtext::FormatNumber(model.highLimit)), range);
    rangeGrid->addWidget(new QLabel("Low Limit:", range), 0, 0);
    rangeGrid->addWidget(low_, 0, 1);
    rangeGrid->addWidget(new QLabel("High Limit:", range), 1, 0);
    rangeGrid->addWidget(high_, 1, 1);
    layout->addWidget(range);

    auto* ok = dialogkit::AddOkCancelButtons(this, layout);
    connect(ok, &QPushButton::clicked, this, &CSimDlg::OnOk);

    connect(enabled_, &QCheckBox::clicked, this, [this](bool checked) {
        model.ClickEnabled(checked);
        ApplyEnabling();
    });
    connect(type_, &QComboBox::activated, this, [this](int index) {
        model.ChooseType(index);
        ApplyEnabling();
    });
    ApplyEnabling();
}

void CSimDlg::ApplyEnabling()
{
    const auto e = model.Enables();
    type_->setEnabled(e.type);
    interval_->setEnabled(e.interval);
    step_->setEnabled(e.step);
    low_->setEnabled(e.low);
    high_->setEnabled(e.high);
}

void CSimDlg::OnOk()
{
    const auto error = model.Exchange(high_->text().toStdString(), interval_->text().toStdString(),
                                      low_->text().toStdString(), step_->text().toStdString());
    if (error) {
        dialogkit::ShowFieldError(this, *error);
        return;
    }
    accept();
}
