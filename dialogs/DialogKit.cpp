#include "dialogs/DialogKit.h"

#include <QBoxLayout>
#include <QDialog>
#include <QDialogButtonBox>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>

namespace dialogkit {

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

void ShowFieldError(QDialog* dialog, const fieldtext::FieldError& error)
{
    ShowFieldError(dialog, dialog->findChild<QWidget*>(ControlName(error.controlId)),
                   QString::fromStdString(error.message));
}

QString EditText(const QDialog* dialog, int id)
{
    const auto* edit = dialog->findChild<QLineEdit*>(ControlName(id));
    return edit ? edit->text() : QString();
}

bool AcceptOrReport(QDialog* dialog, const fieldtext::FieldCheck& check)
{
    if (check)
        ShowFieldError(dialog, *check);
    return !check;
}

QPushButton* AddOkCancelButtons(QDialog* dialog, QBoxLayout* layout)
{
    auto* buttons = new QDialogButtonBox(dialog);
    auto* ok = buttons->addButton("OK", QDialogButtonBox::AcceptRole);
    ok->setObjectName(ControlName(1));
    ok->setDefault(true);
    auto* cancel = buttons->addButton("Cancel", QDialogButtonBox::RejectRole);
    cancel->setObjectName(ControlName(2));
    layout->addWidget(buttons);
    QObject::connect(cancel, &QPushButton::clicked, dialog, &QDialog::reject);
    return ok;
}

void AddOkCancelBox(QDialog* dialog, QBoxLayout* layout)
{
    QPushButton* ok = AddOkCancelButtons(dialog, layout);
    QObject::connect(ok, &QPushButton::clicked, dialog, &QDialog::accept);
}

} // namespace dialogkit
