#include "dialogs/CWrReg.h"

#include "dialogs/DialogKit.h"
#include "document/AnsiQString.h"

#include <QLineEdit>

using namespace writedlg;
using namespace dialogkit;

CWrReg::CWrReg(QWidget* parent) : WriteDialogBase(107, "Write Register", true, parent)
{
    AddRegisterFields("Value:");
}

void CWrReg::LoadControls()
{
    findChild<QLineEdit*>(ControlName(kIdAddress))->setText(QString::number(model.address));
    findChild<QLineEdit*>(ControlName(kIdValue))->setText(QString::number(model.value));
    findChild<QLineEdit*>(ControlName(kIdAlias))->setText(QStringFromAnsi(model.alias));
}

bool CWrReg::SaveControls()
{
    return AcceptOrReport(this, model.Exchange(EditText(this, kIdAddress).toStdString(),
                                               EditText(this, kIdValue).toStdString(),
                                               EditText(this, kIdAlias).toStdString()));
}
