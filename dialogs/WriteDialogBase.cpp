#include "dialogs/WriteDialogBase.h"

#include "dialogs/DialogKit.h"
#include "dialogs/WriteDialogModels.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace writedlg {

using namespace dialogkit;

WriteDialogBase::WriteDialogBase(int templateId, const QString& caption, bool autoSimulation, QWidget* parent)
    : QDialog(parent)
{
    setObjectName(QString("dialog%1").arg(templateId));
    setWindowTitle(caption);
    auto* layout = new QVBoxLayout(this);
    fields_ = new QGridLayout;
    layout->addLayout(fields_);

    auto* buttons = new QHBoxLayout;
    auto* update = new QPushButton("&Update", this);
    update->setObjectName(ControlName(1));
    update->setDefault(true);
    auto* cancel = new QPushButton("Cancel", this);
    cancel->setObjectName(ControlName(2));
    buttons->addWidget(update);
    buttons->addWidget(cancel);
    layout->addLayout(buttons);
    connect(update, &QPushButton::clicked, this, &WriteDialogBase::OnUpdate);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);

    if (autoSimulation) {
        auto* sim = new QPushButton("Auto Simulation", this);
        sim->setObjectName(ControlName(kIdAutoSimulation));
        sim->setAutoDefault(false);
        layout->addWidget(sim);
        connect(sim, &QPushButton::clicked, this, [this] { OnAutoSimulation(); });
    }
}

void WriteDialogBase::OnUpdate()
{
    if (SaveControls())
        accept();
}

QLineEdit* WriteDialogBase::AddRegisterFields(const QString& valueLabel)
{
    fields_->addWidget(new QLabel("Address:", this), 0, 0);
    fields_->addWidget(MakeEdit(kIdAddress, {}, this), 0, 1);
    fields_->addWidget(new QLabel(valueLabel, this), 1, 0);
    auto* value = MakeEdit(kIdValue, {}, this);
    fields_->addWidget(value, 1, 1);
    fields_->addWidget(new QLabel("Alias", this), 2, 0, 1, 2, Qt::AlignHCenter);
    fields_->addWidget(MakeEdit(kIdAlias, {}, this), 3, 0, 1, 2);
    return value;
}

void WriteDialogBase::OnAutoSimulation()
{
    if (autoSimulation_)
        FinishAfterSimulation(autoSimulation_(this));
}

void WriteDialogBase::FinishAfterSimulation(AfterSimulation after)
{
    if (after == AfterSimulation::kUpdate)
        OnUpdate();
    else
        reject();
}

void WriteDialogBase::showEvent(QShowEvent* event)
{
    if (!loaded_) {
        loaded_ = true;
        LoadControls();
    }
    QDialog::showEvent(event);
}

} // namespace writedlg
