#include "connections/DialogSupport.h"

#include <QBoxLayout>
#include <QDialog>
#include <QDialogButtonBox>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>

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

void AddOkCancelBox(QDialog* dialog, QBoxLayout* layout)
{
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, dialog);
    buttons->button(QDialogButtonBox::Ok)->setText("OK");
    buttons->button(QDialogButtonBox::Ok)->setObjectName(ControlName(1));
    buttons->button(QDialogButtonBox::Cancel)->setText("Cancel");
    buttons->button(QDialogButtonBox::Cancel)->setObjectName(ControlName(2));
    QObject::connect(buttons, &QDialogButtonBox::accepted, dialog, &QDialog::accept);
    QObject::connect(buttons, &QDialogButtonBox::rejected, dialog, &QDialog::reject);
    layout->addWidget(buttons);
}
