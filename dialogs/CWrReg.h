// "Write Register": a register as a decimal integer, also used for 32-bit longs.
#pragma once

#include "dialogs/WriteDialogBase.h"
#include "dialogs/WriteDialogModels.h"

class CWrReg : public writedlg::WriteDialogBase {
    Q_OBJECT
public:
    explicit CWrReg(QWidget* parent = nullptr);
    writedlg::WrRegModel model;

protected:
    void LoadControls() override;
    bool SaveControls() override;
};
