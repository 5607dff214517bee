#include "dialogs/CHexReg.h"

#include "dialogs/DialogKit.h"
#include "document/AnsiQString.h"

#include <QFocusEvent>
#include <QLineEdit>
#include <QMessageBox>

using namespace writedlg;
using namespace dialogkit;

CHexReg::CHexReg(QWidget* parent) : WriteDialogBase(109, "Write Register", true, parent)
{
    valueEdit_ = AddRegisterFields("Value, (HEX):");
    valueEdit_->installEventFilter(this);
}

void CHexReg::LoadControls()
{
    findChild<QLineEdit*>(ControlName(kIdAddress))->setText(QString::number(model.address));
    valueEdit_->setText(QString::fromStdString(model.ValueText()));
    findChild<QLineEdit*>(ControlName(kIdAlias))->setText(QStringFromAnsi(model.alias));
}

bool CHexReg::SaveControls()
{
    // Update by the Enter key never takes the focus from the value field, so its text gets the
    // focus-loss check here as well; otherwise a value typed before Enter would be dropped.
    if (!CheckValueField())
        return false;
    return AcceptOrReport(this, model.Exchange(EditText(this, kIdAddress).toStdString(),
                                               EditText(this, kIdAlias).toStdString()));
}

bool CHexReg::CheckValueField()
{
    if (checking_)
        return false;
    if (model.TakeValueText(valueEdit_->text().toStdString()))
        return true;
    checking_ = true;
    QMessageBox box(QMessageBox::NoIcon, kHexRangeCaption, kHexRangeText, QMessageBox::Ok, this);
    box.setObjectName("hexError");
    box.exec();
    valueEdit_->setText(QString::fromStdString(model.ValueText()));
    valueEdit_->setFocus(Qt::OtherFocusReason);
    checking_ = false;
    return false;
}

bool CHexReg::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == valueEdit_ && event->type() == QEvent::FocusOut) {
        // Losing the focus to another window (the message box itself) is not leaving the field.
        const auto reason = static_cast<QFocusEvent*>(event)->reason();
        if (reason != Qt::ActiveWindowFocusReason && reason != Qt::PopupFocusReason)
            CheckValueField();
    }
    return WriteDialogBase::eventFilter(watched, event);
}
