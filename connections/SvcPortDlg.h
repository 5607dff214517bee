// Select Service Port (dialog 132): the Modbus/TCP port, shown as a signed 16-bit number.
#pragma once

#include <QDialog>
#include <cstdint>

class QLineEdit;

class SvcPortDlg : public QDialog {
    Q_OBJECT
public:
    explicit SvcPortDlg(std::uint16_t port, QWidget* parent = nullptr);
    std::uint16_t Port() const { return port_; }
    void accept() override;

private:
    std::uint16_t port_;
    QLineEdit* edit_;
};

/// Runs the dialog modally on `port`; true and the new port on OK.
bool RunSvcPortDlg(std::uint16_t& port, QWidget* parent);
