// "Write Floating Pt.": a 32-bit float (64-bit formats pass through single precision).
#pragma once

#include "dialogs/WriteDialogBase.h"
#include "dialogs/WriteDialogModels.h"

class CWrFltDlg : public writedlg::WriteDialogBase {
    Q_OBJECT
public:
    explicit CWrFltDlg(QWidget* parent = nullptr);
    writedlg::WrFltModel model;

protected:
    void LoadControls() override;
    bool SaveControls() override;
};
