#include "dialogs/CWrCoil.h"

#include "dialogs/DialogKit.h"
#include "document/AnsiQString.h"

#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QRadioButton>

using namespace writedlg;
using namespace dialogkit;

CWrCoil::CWrCoil(QWidget* parent) : WriteDialogBase(108, "Write Coil", true, parent)
{
    Fields()->addWidget(new QLabel("Address:", this), 0, 0);
    Fields()->addWidget(MakeEdit(kIdAddress, {}, this), 0, 1);
    auto* group = new QGroupBox("Value", this);
    auto* row = new QHBoxLayout(group);
    auto* off = new QRadioButton("Off", group);
    off->setObjectName(ControlName(kIdCoilOff));
    auto* on = new QRadioButton("On", group);
    on->setObjectName(ControlName(kIdCoilOn));
    row->addWidget(off);
    row->addWidget(on);
    Fields()->addWidget(group, 1, 0, 1, 2);
    Fields()->addWidget(new QLabel("Alias", this), 2, 0, 1, 2, Qt::AlignHCenter);
    Fields()->addWidget(MakeEdit(kIdCoilAlias, {}, this), 3, 0, 1, 2);
    // Only a click changes the value: a word holding 5 left alone is written back as 5.
    connect(off, &QRadioButton::clicked, this, [this] { model.ClickOff(); });
    connect(on, &QRadioButton::clicked, this, [this] { model.ClickOn(); });
}

void CWrCoil::LoadControls()
{
    findChild<QLineEdit*>(ControlName(kIdAddress))->setText(QString::number(model.address));
    findChild<QRadioButton*>(ControlName(model.OnChecked() ? kIdCoilOn : kIdCoilOff))->setChecked(true);
    findChild<QLineEdit*>(ControlName(kIdCoilAlias))->setText(QStringFromAnsi(model.alias));
}

bool CWrCoil::SaveControls()
{
    return AcceptOrReport(this, model.Exchange(EditText(this, kIdAddress).toStdString(),
                                               EditText(this, kIdCoilAlias).toStdString()));
}
