#include "connections/DialogSupport.h"

#include <QLineEdit>
#include <QMessageBox>

void ShowFieldError(QWidget* dialog, QWidget* field, const QString& text)
{
    QMessageBox box(QMessageBox::Warning, "Kelvaro64", text, QMessageBox::Ok, dialog);
    box.setObjectName("fieldError");
    box.exec();
    if (field) {
        field->setFocus(Qt::OtherFocusReason);
        if (auto* edit = qobject_cast<QLineEdit*>(field))
            edit->selectAll();
    }
}

QString ControlName(int id)
{
    return QString("control%1").arg(id);
}
