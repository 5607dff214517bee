#include "dialogs/DialogFields.h"

#include <QDialog>
#include <QLineEdit>
#include <QMessageBox>

namespace writedlg {

QString ControlName(int id)
{
    return QString("control%1").arg(id);
}

QLineEdit* MakeEdit(int id, const QString& text, QWidget* parent)
{
    auto* edit = new QLineEdit(text, parent);
    edit->setObjectName(ControlName(id));
    return edit;
}

void ShowFieldError(QDialog* dialog, const fieldtext::FieldError& error)
{
    QMessageBox box(QMessageBox::Warning, "Kelvaro64", QString::fromStdString(error.message), QMessageBox::Ok, dialog);
    box.setObjectName("fieldError");
    box.exec();
    if (auto* field = dialog->findChild<QWidget*>(ControlName(error.controlId))) {
        field->setFocus(Qt::OtherFocusReason);
        if (auto* edit = qobject_cast<QLineEdit*>(field))
            edit->selectAll();
    }
}

QString EditText(const QDialog* dialog, int id)
{
    const auto* edit = dialog->findChild<QLineEdit*>(ControlName(id));
    return edit ? edit->text() : QString();
}

} // namespace writedlg
