// "Auto Simulation": how a register point changes by itself.
#pragma once

#include "simulation/SimDialogModels.h"

#include <QDialog>

class QCheckBox;
class QComboBox;
class QLineEdit;

class CSimDlg : public QDialog {
    Q_OBJECT
public:
    explicit CSimDlg(const simdlg::SimDlgModel& start, QWidget* parent = nullptr);
    simdlg::SimDlgModel model;

    /// OK: reads the fields; stays open on the first failing one.
    void OnOk();

private:
    void ApplyEnabling();

    QCheckBox* enabled_;
    QComboBox* type_;
    QLineEdit* interval_;
    QLineEdit* step_;
    QLineEdit* low_;
    QLineEdit* high_;
};
