#include "servers/NetworkServersDialog.h"

#include "servers/NetworkServers.h"

#include <nlohmann/json.hpp>

#include <QComboBox>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTableWidget>
#include <QTimer>
#include <QVBoxLayout>

namespace servers {

namespace {

struct RowInfo {
    pomrel::ServerProtocol protocol;
    const char* label;
    const char* name;      // object names: udpPort, udpState, udpOpen, udpClose
    int defaultPort;
    const char* help;      // what the server is, for What's This
};
constexpr RowInfo kRowInfo[] = {
    {pomrel::ServerProtocol::Udp, "Modbus/UDP", "udp", 502, "Modbus/UDP: one request per datagram, answered to its sender"},
    {pomrel::ServerProtocol::RtuOverTcp, "RTU over TCP", "rtu", 503,
     "RTU over TCP: RTU frames with their CRC on a TCP connection, as serial device servers send them"},
    {pomrel::ServerProtocol::Tls, "Modbus/TCP Security (TLS)", "tls", 802,
     "Modbus/TCP Security: Modbus/TCP inside TLS, with the certificate and key below"},
};

QString Q(const std::string& text) { return QString::fromStdString(text); }

QPushButton* Button(const QString& text, const QString& name, QWidget* parent)
{
    auto* b = new QPushButton(text, parent);
    b->setObjectName(name);
    b->setAutoDefault(false);
    return b;
}

QSpinBox* PortBox(const QString& name, int value, QWidget* parent)
{
    auto* box = new QSpinBox(parent);
    box->setObjectName(name);
    box->setRange(0, 65535);
    box->setValue(value);
    box->setToolTip("0: any free port");
    return box;
}

} // namespace

NetworkServersDialog::NetworkServersDialog(NetworkServers& list, QWidget* parent) : QDialog(parent), list_(list)
{
    setObjectName("networkServers");
    setWindowTitle("Network Servers");
    auto* layout = new QVBoxLayout(this);

    auto* serversBox = new QGroupBox("Servers", this);
    auto* grid = new QGridLayout(serversBox);
    for (int r = 0; r < kRows; ++r) {
        const RowInfo& info = kRowInfo[r];
        const QString name = info.name;
        const auto row = static_cast<Row>(r);
        grid->addWidget(new QLabel(info.label, serversBox), r, 0);
        ports_[r] = PortBox(name + "Port", info.defaultPort, serversBox);
        ports_[r]->setWhatsThis(QString("The port of the %1 server (0: any free port; the state then says which).")
                                    .arg(info.label));
        grid->addWidget(ports_[r], r, 1);
        states_[r] = new QLabel("closed", serversBox);
        states_[r]->setObjectName(name + "State");
        states_[r]->setMinimumWidth(220);
        grid->addWidget(states_[r], r, 2);
        auto* open = Button("Open", name + "Open", serversBox);
        auto* close = Button("Close", name + "Close", serversBox);
        open->setWhatsThis(QString("Opens the %1 server on the port beside (again, if it is open). %2.")
                               .arg(info.label, info.help));
        close->setWhatsThis(QString("Closes the %1 server; it leaves the set-up.").arg(info.label));
        connect(open, &QPushButton::clicked, this, [this, row] { OpenServer(row); });
        connect(close, &QPushButton::clicked, this, [this, row] { CloseServer(row); });
        grid->addWidget(open, r, 3);
        grid->addWidget(close, r, 4);
    }
    // The TLS server's files and roles (TLS endpoints take the same).
    int line = kRows;
    const auto fileRow = [&](const QString& label, const QString& name, QLineEdit*& field, const QString& caption,
                             const QString& help) {
        grid->addWidget(new QLabel(label, serversBox), line, 0);
        field = new QLineEdit(serversBox);
        field->setObjectName(name);
        field->setWhatsThis(help);
        grid->addWidget(field, line, 1, 1, 3);
        if (!caption.isEmpty()) {
            auto* browse = Button("Browse...", name + "Browse", serversBox);
            browse->setWhatsThis("Chooses the file of the field beside.");
            connect(browse, &QPushButton::clicked, this, [this, f = field, caption] { Browse(f, caption); });
            grid->addWidget(browse, line, 4);
        }
        ++line;
    };
    fileRow("TLS certificate (PEM):", "tlsCert", cert_, "Server certificate",
            "The server's certificate, a PEM file (TLS server and TLS endpoints).");
    fileRow("TLS private key (PEM):", "tlsKey", key_, "Server private key",
            "The private key of the server's certificate, a PEM file.");
    fileRow("Client CA (optional):", "tlsCa", ca_, "CA of client certificates",
            "With a CA, a master must show a certificate signed by it; empty: any master may connect.");
    fileRow("Read-only roles:", "tlsRoles", roles_, {},
            "Roles (from the Modbus role extension of a client certificate) that may only read: every write "
            "from a master with one of them gets exception 01. Separate them by commas.");
    roles_->setPlaceholderText("Operator, Viewer");
    layout->addWidget(serversBox);

    auto* endpointsBox = new QGroupBox("Endpoints (a device per address)", this);
    auto* endpoints = new QVBoxLayout(endpointsBox);
    table_ = new QTableWidget(0, kColumns, endpointsBox);
    table_->setObjectName("endpoints");
    table_->setHorizontalHeaderLabels({"Protocol", "Address", "Port", "Units", "State"});
    table_->setSelectionBehavior(QAbstractItemView::SelectRows);
    table_->setSelectionMode(QAbstractItemView::SingleSelection);
    table_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table_->horizontalHeader()->setStretchLastSection(true);
    table_->verticalHeader()->setVisible(false);
    table_->setWhatsThis("The endpoints: each gives devices an address of their own (protocol, address, port, the "
                         "units map), with its state. Select one to open, close or remove it.");
    endpoints->addWidget(table_);
    auto* form = new QHBoxLayout;
    protocol_ = new QComboBox(endpointsBox);
    protocol_->setObjectName("endpointProtocol");
    for (auto p : {pomrel::ServerProtocol::Tcp, pomrel::ServerProtocol::Udp, pomrel::ServerProtocol::RtuOverTcp,
                   pomrel::ServerProtocol::Tls})
        protocol_->addItem(ProtocolTitle(p), static_cast<int>(p));
    protocol_->setWhatsThis("The protocol of a new endpoint.");
    address_ = new QLineEdit("127.0.0.2", endpointsBox);
    address_->setWhatsThis("The address a new endpoint listens on: IPv4 or IPv6 (any 127.x.y.z works on Linux "
                           "without set-up); empty: every interface.");
    address_->setObjectName("endpointAddress");
    address_->setToolTip("IPv4 or IPv6 address; empty: every interface");
    port_ = PortBox("endpointPort", 502, endpointsBox);
    units_ = new QLineEdit(endpointsBox);
    units_->setObjectName("endpointUnits");
    units_->setPlaceholderText("unit=device: 1=7, 2=8");
    port_->setWhatsThis("The port of a new endpoint (0: any free port).");
    units_->setWhatsThis("Which device answers each unit a master sends to the endpoint, as unit=device pairs "
                         "(1=7: unit 1 is served from device 7).");
    form->addWidget(protocol_);
    form->addWidget(address_, 2);
    form->addWidget(port_);
    form->addWidget(units_, 2);
    auto* add = Button("Add and Open", "endpointAdd", endpointsBox);
    add->setWhatsThis("Adds an endpoint from the fields beside and opens it; a refused field is said below.");
    connect(add, &QPushButton::clicked, this, &NetworkServersDialog::AddEndpoint);
    form->addWidget(add);
    endpoints->addLayout(form);
    endpointError_ = new QLabel(endpointsBox);
    endpointError_->setObjectName("endpointError");
    endpoints->addWidget(endpointError_);
    auto* buttons = new QHBoxLayout;
    for (auto [text, name, help, slot] :
         {std::tuple{"Open", "endpointOpen", "Opens the selected endpoint again.", &NetworkServersDialog::OpenEndpoint},
          std::tuple{"Close", "endpointClose", "Closes the selected endpoint; it stays listed but leaves the set-up.",
                     &NetworkServersDialog::CloseEndpoint},
          std::tuple{"Remove", "endpointRemove", "Closes and forgets the selected endpoint.",
                     &NetworkServersDialog::RemoveEndpoint}}) {
        auto* b = Button(text, name, endpointsBox);
        b->setWhatsThis(help);
        connect(b, &QPushButton::clicked, this, slot);
        buttons->addWidget(b);
    }
    buttons->addStretch();
    endpoints->addLayout(buttons);
    layout->addWidget(endpointsBox);

    auto* box = new QDialogButtonBox(QDialogButtonBox::Close, this);
    box->button(QDialogButtonBox::Close)->setObjectName("close");
    box->button(QDialogButtonBox::Close)->setWhatsThis("Closes the window; the servers stay as they are.");
    connect(box, &QDialogButtonBox::rejected, this, &QDialog::reject);
    layout->addWidget(box);

    // The fields start from the servers set up now.
    for (int r = 0; r < kRows; ++r)
        if (const NetworkServers::Entry* e = list_.Find(MainId(static_cast<Row>(r)))) {
            ports_[r]->setValue(e->endpoint.port);
            if (r == kTls) {
                cert_->setText(Q(e->endpoint.tls.cert));
                key_->setText(Q(e->endpoint.tls.key));
                ca_->setText(Q(e->endpoint.tls.ca));
                roles_->setText(Q(RolesText(e->endpoint.tls.readOnlyRoles)));
            }
        }
    Refresh();
    auto* timer = new QTimer(this);
    connect(timer, &QTimer::timeout, this, &NetworkServersDialog::Refresh);
    timer->start(1000);
}

std::uint32_t NetworkServersDialog::MainId(Row row) const
{
    for (const auto& e : list_.Entries())
        if (e.endpoint.number == 0 && e.endpoint.protocol == kRowInfo[row].protocol)
            return e.id;
    return 0;
}

std::uint32_t NetworkServersDialog::SelectedId() const
{
    const int row = table_->currentRow();
    if (row < 0 || !table_->item(row, kProtocol))
        return 0;
    return table_->item(row, kProtocol)->data(Qt::UserRole).toUInt();
}

void NetworkServersDialog::Browse(QLineEdit* field, const QString& caption)
{
    const QString name = askFileName ? askFileName(caption)
                                     : QFileDialog::getOpenFileName(this, caption, field->text(),
                                                                    "PEM files (*.pem *.crt *.key);;All Files (*)");
    if (!name.isEmpty())
        field->setText(name);
}

void NetworkServersDialog::OpenServer(Row row)
{
    pomrel::ServerEndpoint endpoint;
    endpoint.protocol = kRowInfo[row].protocol;
    endpoint.port = static_cast<std::uint16_t>(ports_[row]->value());
    if (row == kTls) {
        tlsProblem_.clear();
        if (cert_->text().trimmed().isEmpty() || key_->text().trimmed().isEmpty()) {
            tlsProblem_ = "needs a certificate and a private key";
            Refresh();
            return;
        }
        endpoint.tls = {cert_->text().trimmed().toStdString(), key_->text().trimmed().toStdString(),
                        ca_->text().trimmed().toStdString(), ParseRolesText(roles_->text().toStdString())};
    }
    list_.Open(endpoint);
    Refresh();
}

void NetworkServersDialog::CloseServer(Row row)
{
    if (row == kTls)
        tlsProblem_.clear();
    list_.Close(MainId(row));
    Refresh();
}

void NetworkServersDialog::AddEndpoint()
{
    pomrel::ServerEndpoint endpoint;
    endpoint.protocol = static_cast<pomrel::ServerProtocol>(protocol_->currentData().toInt());
    endpoint.address = address_->text().trimmed().toStdString();
    endpoint.port = static_cast<std::uint16_t>(port_->value());
    std::string error;
    auto units = ParseUnitsText(units_->text().toStdString(), error);
    if (!units) {
        endpointError_->setText("Units: " + Q(error));
        units_->setFocus();
        return;
    }
    endpoint.units = *units;
    if (endpoint.protocol == pomrel::ServerProtocol::Tls) {
        if (cert_->text().trimmed().isEmpty() || key_->text().trimmed().isEmpty()) {
            endpointError_->setText("A TLS endpoint takes the certificate and key of the TLS fields above: give them.");
            cert_->setFocus();
            return;
        }
        endpoint.tls = {cert_->text().trimmed().toStdString(), key_->text().trimmed().toStdString(),
                        ca_->text().trimmed().toStdString(), ParseRolesText(roles_->text().toStdString())};
    }
    // The same checks as a set-up file's, with the same words.
    if (!ParseEndpoint(EndpointToJson(endpoint), "Endpoint", error)) {
        endpointError_->setText(Q(error));
        address_->setFocus();
        return;
    }
    endpointError_->clear();
    const std::uint32_t id = list_.Open(endpoint, true);
    Refresh();
    for (int r = 0; r < table_->rowCount(); ++r)
        if (table_->item(r, kProtocol)->data(Qt::UserRole).toUInt() == id)
            table_->selectRow(r);
}

void NetworkServersDialog::OpenEndpoint()
{
    if (const std::uint32_t id = SelectedId())
        list_.Reopen(id);
    Refresh();
}

void NetworkServersDialog::CloseEndpoint()
{
    if (const std::uint32_t id = SelectedId())
        list_.Close(id);
    Refresh();
}

void NetworkServersDialog::RemoveEndpoint()
{
    if (const std::uint32_t id = SelectedId())
        list_.Remove(id);
    Refresh();
}

void NetworkServersDialog::Refresh()
{
    for (int r = 0; r < kRows; ++r) {
        const NetworkServers::Entry* e = list_.Find(MainId(static_cast<Row>(r)));
        QString text = e ? Q(NetworkServers::StateText(*e)) : QString("closed");
        if (r == kTls && !tlsProblem_.isEmpty())
            text = tlsProblem_;
        states_[r]->setText(text);
        states_[r]->setToolTip(text);
    }
    const std::uint32_t selected = SelectedId();
    std::vector<const NetworkServers::Entry*> rows;
    for (const auto& e : list_.Entries())
        if (e.endpoint.number > 0)
            rows.push_back(&e);
    table_->setRowCount(static_cast<int>(rows.size()));
    for (int r = 0; r < static_cast<int>(rows.size()); ++r) {
        const NetworkServers::Entry& e = *rows[static_cast<std::size_t>(r)];
        const QString cells[kColumns] = {ProtocolTitle(e.endpoint.protocol), Q(e.endpoint.address),
                                         QString::number(e.Open() ? e.boundPort : e.endpoint.port),
                                         Q(UnitsText(e.endpoint.units)), Q(NetworkServers::StateText(e))};
        for (int c = 0; c < kColumns; ++c) {
            auto* item = table_->item(r, c);
            if (!item) {
                item = new QTableWidgetItem;
                table_->setItem(r, c, item);
            }
            item->setText(cells[c]);
        }
        table_->item(r, kProtocol)->setData(Qt::UserRole, e.id);
        if (e.id == selected && table_->currentRow() != r)
            table_->selectRow(r);
    }
}

} // namespace servers
