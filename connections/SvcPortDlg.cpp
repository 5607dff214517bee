#include "connections/SvcPortDlg.h"

#include "connections/ComSettings.h"
#include "dialogs/DialogKit.h"

#include <QLabel>
#include <QLineEdit>
#include <QVBoxLayout>

using namespace dialogkit;

SvcPortDlg::SvcPortDlg(std::uint16_t port, QWidget* parent) : QDialog(parent), port_(port)
{
    setObjectName("dialog132");
    setWindowTitle("Select Service Port");
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(new QLabel("Modbus/TCP Service Port", this));
    edit_ = new QLineEdit(QString::fromStdString(ServicePortText(port)), this);
    edit_->setObjectName(ControlName(1010));
    layout->addWidget(edit_);
    AddOkCancelBox(this, layout);
}

void SvcPortDlg::accept()
{
    const FieldCheck check = CheckServicePortField(edit_->text().toStdString());
    if (!check.ok) {
        ShowFieldError(this, edit_, QString::fromStdString(check.message));
        return;
    }
    port_ = static_cast<std::uint16_t>(check.value);
    QDialog::accept();
}

bool RunSvcPortDlg(std::uint16_t& port, QWidget* parent)
{
    SvcPortDlg dlg(port, parent);
    if (dlg.exec() != QDialog::Accepted)
        return false;
    port = dlg.Port();
    return true;
}
