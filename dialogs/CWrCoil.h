// "Write Coil": a coil or input, Off or On.
#pragma once

#include "dialogs/WriteDialogBase.h"
#include "dialogs/WriteDialogModels.h"

class CWrCoil : public writedlg::WriteDialogBase {
    Q_OBJECT
public:
    explicit CWrCoil(QWidget* parent = nullptr);
    writedlg::WrCoilModel model;

protected:
    void LoadControls() override;
    bool SaveControls() override;
};
