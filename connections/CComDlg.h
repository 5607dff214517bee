// Setup Connection (dialog 102): the settings of one serial port, shown right before it opens.
#pragma once

#include "connections/ComSettings.h"

#include <QDialog>

class QCheckBox;
class QComboBox;
class QLineEdit;
class QRadioButton;

class CComDlg : public QDialog {
    Q_OBJECT
public:
    /// `devices` fills the device list (the port's own path is always offered).
    CComDlg(const ComSettings& values, const std::vector<std::string>& devices, QWidget* parent = nullptr);
    /// The values as they stand after OK (the caller's copy before).
    const ComSettings& Values() const { return values_; }

    /// OK: checks the delay fields, then takes every control into the values.
    void accept() override;

private:
    ComSettings values_;
    QRadioButton* rtu_;
    QRadioButton* ascii_;
    QCheckBox* enron_;
    QComboBox* baud_;
    QComboBox* dataBits_;
    QComboBox* stopBits_;
    QComboBox* parity_;
    QCheckBox* cts_;
    QCheckBox* dtr_;
    QLineEdit* rtsOn_;
    QLineEdit* rtsOff_;
    QComboBox* device_;
};

/// Runs the dialog modally on `values` (listing the devices present); true on OK.
bool RunComDlg(ComSettings& values, QWidget* parent);
