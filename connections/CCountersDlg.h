// Connection Status Counters (dialog 133): valid messages and bad CRCs of the Modbus/TCP
// server and ports 1 to 9, refreshed twice a second from the engine.
#pragma once

#include <QDialog>
#include <array>

class ConnectionManager;
class QLineEdit;

class CCountersDlg : public QDialog {
    Q_OBJECT
public:
    explicit CCountersDlg(ConnectionManager& connections, QWidget* parent = nullptr);

    /// Timer 1 (500 ms): every field from the engine's counts.
    void OnTimer();
    /// "Reset": the engine's counts of every open connection shown here, then "0" everywhere.
    void OnReset();
    QLineEdit* Field(int id) const;

protected:
    void timerEvent(QTimerEvent* event) override;

private:
    ConnectionManager& connections_;
    std::array<QLineEdit*, 10> valid_{};
    std::array<QLineEdit*, 10> invalid_{};
    int timerId_ = 0;
};
