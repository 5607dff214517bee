// "Write Register" in hexadecimal. The value field is checked when it loses the focus.
#pragma once

#include "dialogs/WriteDialogBase.h"
#include "dialogs/WriteDialogModels.h"

class QLineEdit;

class CHexReg : public writedlg::WriteDialogBase {
    Q_OBJECT
public:
    explicit CHexReg(QWidget* parent = nullptr);
    writedlg::HexRegModel model;

    /// The focus-loss check of the value field; false (after the message) when refused.
    bool CheckValueField();

protected:
    void LoadControls() override;
    bool SaveControls() override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QLineEdit* valueEdit_ = nullptr;
    bool checking_ = false;
};
