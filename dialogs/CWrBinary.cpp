#include "dialogs/CWrBinary.h"

#include "dialogs/DialogKit.h"
#include "document/AnsiQString.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>

using namespace writedlg;
using namespace dialogkit;

CWrBinary::CWrBinary(QWidget* parent) : WriteDialogBase(103, "Write Register", false, parent)
{
    auto* label = new QLabel("Address:", this);
    label->setObjectName(ControlName(kIdBinaryAddressLabel));
    Fields()->addWidget(label, 0, 0);
    Fields()->addWidget(MakeEdit(kIdBinaryAddress, {}, this), 0, 1);
    auto* group = new QGroupBox("Bit Pattern", this);
    auto* row = new QHBoxLayout(group);
    for (int k = 0; k < 16; ++k) {
        if (k > 0 && k % 4 == 0)
            row->addSpacing(8); // nibbles stand apart
        auto* box = new QCheckBox(group);
        box->setObjectName(ControlName(kIdFirstBit + k));
        row->addWidget(box);
    }
    Fields()->addWidget(group, 1, 0, 1, 2);
    Fields()->addWidget(new QLabel("Alias", this), 2, 0, 1, 2, Qt::AlignHCenter);
    Fields()->addWidget(MakeEdit(kIdBinaryAlias, {}, this), 3, 0, 1, 2);
}

void CWrBinary::LoadControls()
{
    findChild<QLineEdit*>(ControlName(kIdBinaryAddress))->setText(QString::number(model.address));
    for (int k = 0; k < 16; ++k)
        findChild<QCheckBox*>(ControlName(kIdFirstBit + k))->setChecked(model.BoxChecked(kIdFirstBit + k));
    findChild<QLineEdit*>(ControlName(kIdBinaryAlias))->setText(QStringFromAnsi(model.alias));
}

bool CWrBinary::SaveControls()
{
    std::array<bool, 16> boxes{};
    for (int k = 0; k < 16; ++k)
        boxes[static_cast<std::size_t>(k)] = findChild<QCheckBox*>(ControlName(kIdFirstBit + k))->isChecked();
    return AcceptOrReport(this, model.Exchange(boxes, EditText(this, kIdBinaryAddress).toStdString(),
                                               EditText(this, kIdBinaryAlias).toStdString()));
}
