#include "dialogs/CWrFltDlg.h"

#include "dialogs/DialogKit.h"
#include "document/AnsiQString.h"

#include <QLineEdit>

using namespace writedlg;
using namespace dialogkit;

CWrFltDlg::CWrFltDlg(QWidget* parent) : WriteDialogBase(127, "Write Floating Pt.", true, parent)
{
    AddRegisterFields("Value:");
}

void CWrFltDlg::LoadControls()
{
    findChild<QLineEdit*>(ControlName(kIdAddress))->setText(QString::number(model.address));
    findChild<QLineEdit*>(ControlName(kIdValue))->setText(QString::fromStdString(model.ValueText()));
    findChild<QLineEdit*>(ControlName(kIdAlias))->setText(QStringFromAnsi(model.alias));
}

bool CWrFltDlg::SaveControls()
{
    return AcceptOrReport(this, model.Exchange(EditText(this, kIdAddress).toStdString(),
                                               EditText(this, kIdValue).toStdString(),
                                               EditText(this, kIdAlias).toStdString()));
}
