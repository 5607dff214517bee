// "Write Register" as sixteen bit boxes; box 1008 is bit 15. No Auto Simulation button.
#pragma once

#include "dialogs/WriteDialogBase.h"
#include "dialogs/WriteDialogModels.h"

class CWrBinary : public writedlg::WriteDialogBase {
    Q_OBJECT
public:
    explicit CWrBinary(QWidget* parent = nullptr);
    writedlg::WrBinaryModel model;

protected:
    void LoadControls() override;
    bool SaveControls() override;
};
