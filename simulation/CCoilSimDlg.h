// "Coil Simulation": how a coil or input changes by itself.
#pragma once

#include "simulation/SimDialogModels.h"

#include <QDialog>

class QCheckBox;
class QComboBox;
class QLineEdit;

class CCoilSimDlg : public QDialog {
    Q_OBJECT
public:
    explicit CCoilSimDlg(const simdlg::CoilSimDlgModel& start, QWidget* parent = nullptr);
    simdlg::CoilSimDlgModel model;

    void OnOk();

private:
    void ApplyEnabling();

    QCheckBox* enabled_;
    QComboBox* type_;
    QLineEdit* interval_;
};
