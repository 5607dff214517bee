#include "simulation/CCoilSimDlg.h"

#include "dialogs/DialogKit.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

using namespace simdlg;
using dialogkit::ControlName;

CCoilSimDlg::CCoilSimDlg(const CoilSimDlgModel& start, QWidget* parent) : QDialog(parent), model(start)
{
    setObjectName("dialog131");
    setWindowTitle("Coil Simulation");
    auto* layout = new QVBoxLayout(this);
    enabled_ = new QCheckBox("Enabled", this);
    enabled_->setObjectName(ControlName(kIdEnabled));
    enabled_->setChecked(model.enabled != 0);
    layout->addWidget(enabled_);

    auto* grid = new QGridLayout;
    type_ = new QComboBox(this);
    type_->setObjectName(ControlName(kIdType));
    type_->addItems({"Random", "Toggle", "", ""});
    type_->setCurrentIndex(model.TypeIndex());
    grid->addWidget(new QLabel("Simulation Type:", this), 0, 0);
    grid->addWidget(type_, 0, 1);
    interval_ = dialogkit::MakeEdit(kIdInterval, QString::number(model.interval), this);
    grid->addWidget(new QLabel("Change Interval (secs):", this), 1, 0);
    grid->addWidget(interval_, 1, 1);
    layout->addLayout(grid);

    auto* ok = dialogkit::AddOkCancelButtons(this, layout);
    connect(ok, &QPushButton::clicked, this, &CCoilSimDlg::OnOk);

    connect(enabled_, &QCheckBox::clicked, this, [this](bool checked) {
        model.ClickEnabled(checked);
        ApplyEnabling();
    });
    connect(type_, &QComboBox::activated, this, [this](int index) { model.ChooseEntry(index); });
    ApplyEnabling();
}

void CCoilSimDlg::ApplyEnabling()
{
    type_->setEnabled(model.FieldsEnabled());
    interval_->setEnabled(model.FieldsEnabled());
}

void CCoilSimDlg::OnOk()
{
    if (const auto error = model.Exchange(interval_->text().toStdString())) {
        dialogkit::ShowFieldError(this, *error);
        return;
    }
    accept();
}
