#include "dialogs/CWrFltDlg.h"

#include "dialogs/AutoSimulationButton.h"
#include "dialogs/DialogFields.h"

#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>

using namespace writedlg;

CWrFltDlg::CWrFltDlg(QWidget* parent) : WriteDialogBase(127, "Write Floating Pt.", true, parent)
{
    Fields()->addWidget(new QLabel("Address:", this), 0, 0);
    Fields()->addWidget(MakeEdit(kIdAddress, {}, this), 0, 1);
    Fields()->addWidget(new QLabel("Value:", this), 1, 0);
    Fields()->addWidget(MakeEdit(kIdValue, {}, this), 1, 1);
    Fields()->addWidget(new QLabel("Alias", this), 2, 0, 1, 2, Qt::AlignHCenter);
    Fields()->addWidget(MakeEdit(kIdAlias, {}, this), 3, 0, 1, 2);
}

void CWrFltDlg::LoadControls()
{
    findChild<QLineEdit*>(ControlName(kIdAddress))->setText(QString::number(model.address));
    findChild<QLineEdit*>(ControlName(kIdValue))->setText(QString::fromStdString(model.ValueText()));
    findChild<QLineEdit*>(ControlName(kIdAlias))->setText(QString::fromStdString(model.alias));
}

bool CWrFltDlg::SaveControls()
{
    const auto error = model.Exchange(EditText(this, kIdAddress).toStdString(), EditText(this, kIdValue).toStdString(),
                                      EditText(this, kIdAlias).toStdString());
    if (error)
        ShowFieldError(this, *error);
    return !error;
}

void CWrFltDlg::OnAutoSimulation()
{
    if (RunRegisterSimulation(this, model.document, model.pointIndex, model.valueType) == AfterSimulation::kUpdate)
        OnUpdate();
    else
        reject();
}
