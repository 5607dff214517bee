// Tools > Network Servers: the Modbus/UDP, RTU over TCP and Modbus/TCP Security servers (port,
// certificate, key, CA, read-only roles) and the extra endpoints, each opened and closed on its
// own, with its state kept up to date while the dialog is open. Nothing here waits on a modal
// window: a refused field is said in the row it belongs to.
#pragma once

#include <QDialog>

#include <cstdint>
#include <functional>

class QComboBox;
class QLabel;
class QLineEdit;
class QSpinBox;
class QTableWidget;

namespace servers {

class NetworkServers;

class NetworkServersDialog : public QDialog {
    Q_OBJECT
public:
    enum Column { kProtocol, kAddress, kPort, kUnits, kState, kColumns };
    /// The three main servers, in the order of their rows.
    enum Row { kUdp, kRtuOverTcp, kTls, kRows };

    explicit NetworkServersDialog(NetworkServers& list, QWidget* parent = nullptr);

    /// Opens (again) the main server of a row with the fields as they are.
    void OpenServer(Row row);
    void CloseServer(Row row);
    /// Adds an endpoint from the fields under the table and opens it.
    void AddEndpoint();
    /// The selected endpoint: opened again, closed, forgotten.
    void OpenEndpoint();
    void CloseEndpoint();
    void RemoveEndpoint();
    /// States and the table from the list.
    void Refresh();

    QTableWidget* Table() const { return table_; }
    QLabel* State(Row row) const { return states_[row]; }
    QSpinBox* Port(Row row) const { return ports_[row]; }

    /// How a file name is asked for (tests give one directly).
    std::function<QString(const QString& caption)> askFileName;

private:
    std::uint32_t MainId(Row row) const;
    std::uint32_t SelectedId() const;
    void Browse(QLineEdit* field, const QString& caption);

    NetworkServers& list_;
    QSpinBox* ports_[kRows] = {};
    QLabel* states_[kRows] = {};
    QLineEdit* cert_ = nullptr;
    QLineEdit* key_ = nullptr;
    QLineEdit* ca_ = nullptr;
    QLineEdit* roles_ = nullptr;
    QTableWidget* table_ = nullptr;
    QComboBox* protocol_ = nullptr;
    QLineEdit* address_ = nullptr;
    QSpinBox* port_ = nullptr;
    QLineEdit* units_ = nullptr;
    QLabel* endpointError_ = nullptr;
    QString tlsProblem_;   // why the TLS row did not open, until it is opened or closed
};

} // namespace servers
