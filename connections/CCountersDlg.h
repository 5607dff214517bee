// Connection Status Counters (dialog 133): valid messages and bad CRCs of the Modbus/TCP
// server and ports 1 to 9, refreshed twice a second from the engine; below them, the network
// servers with all their counters.
#pragma once

#include <QDialog>
#include <array>

class ConnectionManager;
class QLineEdit;
class QTableWidget;
namespace servers { class NetworkServers; }

class CCountersDlg : public QDialog {
    Q_OBJECT
public:
    explicit CCountersDlg(ConnectionManager& connections, QWidget* parent = nullptr);

    /// Timer 1 (500 ms): every field from the engine's counts.
    void OnTimer();
    /// "Reset": the engine's counts of every open connection shown here, then "0" everywhere.
    void OnReset();
    QLineEdit* Field(int id) const;
    /// Lists the network servers under the original rows, with their counters (the desktop
    /// program's dialog; without it the dialog is the original's).
    void ShowServers(servers::NetworkServers* list);
    QTableWidget* ServersTable() const { return serversTable_; }

protected:
    void timerEvent(QTimerEvent* event) override;

private:
    ConnectionManager& connections_;
    std::array<QLineEdit*, 10> valid_{};
    std::array<QLineEdit*, 10> invalid_{};
    int timerId_ = 0;
    servers::NetworkServers* servers_ = nullptr;
    QTableWidget* serversTable_ = nullptr;
};
