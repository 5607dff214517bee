// Tools > Network Servers on the offscreen platform: each server row and endpoint opens and
// closes on a real engine, refused fields are said in the dialog (never in a modal box), the
// file pickers fill their fields, and the menu item sits in both menu sets.
#include "TestApp.h"

#include "app/CMainFrame.h"
#include "app/CommandIds.h"
#include "engine/ProtocolEngine.h"
#include "servers/NetworkServers.h"
#include "servers/NetworkServersDialog.h"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTableWidget>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using servers::NetworkServers;
using servers::NetworkServersDialog;

namespace {

template <typename T> T* Child(const QWidget& w, const char* name)
{
    T* child = w.findChild<T*>(name);
    EXPECT_NE(child, nullptr) << name;
    return child;
}

// A listening loopback socket holding a port.
struct TakenTcpPort {
    TakenTcpPort()
    {
        fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::listen(fd, 1);
        socklen_t len = sizeof a;
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
        port = ntohs(a.sin_port);
    }
    ~TakenTcpPort() { ::close(fd); }
    int fd = -1;
    int port = 0;
};

} // namespace

TEST(NetworkServersDialog, ServerRowsOpenAndCloseAndSayWhy)
{
    pomrel::ProtocolEngine engine;
    NetworkServers list(engine);
    NetworkServersDialog dlg(list);
    dlg.Port(NetworkServersDialog::kUdp)->setValue(0);
    Child<QPushButton>(dlg, "udpOpen")->click();
    ASSERT_EQ(list.Entries().size(), 1u);
    const NetworkServers::Entry& udp = list.Entries()[0];
    EXPECT_EQ(udp.endpoint.protocol, pomrel::ServerProtocol::Udp);
    EXPECT_EQ(dlg.State(NetworkServersDialog::kUdp)->text().toStdString(), NetworkServers::StateText(udp));
    Child<QPushButton>(dlg, "udpClose")->click();
    EXPECT_EQ(dlg.State(NetworkServersDialog::kUdp)->text(), "closed");
    EXPECT_TRUE(list.Setup().servers.empty());

    // TLS without its files: said in its row, nothing opened.
    Child<QPushButton>(dlg, "tlsOpen")->click();
    EXPECT_EQ(dlg.State(NetworkServersDialog::kTls)->text(), "needs a certificate and a private key");
    EXPECT_EQ(list.Entries().size(), 1u);

    // The file pickers fill their fields; the TLS server takes them and the roles.
    dlg.askFileName = [](const QString& caption) { return "/keys/" + caption.section(' ', -1) + ".pem"; };
    for (const char* name : {"tlsCertBrowse", "tlsKeyBrowse", "tlsCaBrowse"})
        Child<QPushButton>(dlg, name)->click();
    EXPECT_EQ(Child<QLineEdit>(dlg, "tlsCert")->text(), "/keys/certificate.pem");
    Child<QLineEdit>(dlg, "tlsRoles")->setText(" Operator ,, Viewer");
    Child<QPushButton>(dlg, "tlsOpen")->click();
    ASSERT_EQ(list.Entries().size(), 2u);
    const pomrel::TlsFiles& tls = list.Entries()[1].endpoint.tls;
    EXPECT_EQ(tls, (pomrel::TlsFiles{"/keys/certificate.pem", "/keys/key.pem", "/keys/certificates.pem",
                                      {"Operator", "Viewer"}}));
    // The files do not exist: the engine's reason is shown.
    EXPECT_EQ(dlg.State(NetworkServersDialog::kTls)->text().left(8), "failed: ");

    // A second dialog starts from what is set up.
    NetworkServersDialog again(list);
    EXPECT_EQ(Child<QLineEdit>(again, "tlsRoles")->text(), "Operator, Viewer");
    EXPECT_EQ(again.Port(NetworkServersDialog::kUdp)->value(), 0);
}

TEST(NetworkServersDialog, EndpointsAreAddedOpenedClosedAndRemoved)
{
    pomrel::ProtocolEngine engine;
    NetworkServers list(engine);
    NetworkServersDialog dlg(list);
    TakenTcpPort taken;

    struct Case { const char* address; const char* units; const char* error; };
    const Case refused[] = {
        {"127.0.0.2", "1=7, 2", "Units: \"2\": write unit=device"},
        {"127.0.0.2", "1=256", "Units: \"1=256\""},
        {"localhost", "", "Endpoint.address: must be an IPv4 or IPv6 address"},
    };
    for (const Case& c : refused) {
        Child<QLineEdit>(dlg, "endpointAddress")->setText(c.address);
        Child<QLineEdit>(dlg, "endpointUnits")->setText(c.units);
        Child<QPushButton>(dlg, "endpointAdd")->click();
        EXPECT_EQ(Child<QLabel>(dlg, "endpointError")->text().left(static_cast<int>(strlen(c.error))), c.error) << c.units;
        EXPECT_TRUE(list.Entries().empty()) << c.address;
    }

    Child<QLineEdit>(dlg, "endpointAddress")->setText("127.0.0.1");
    Child<QSpinBox>(dlg, "endpointPort")->setValue(taken.port);
    Child<QLineEdit>(dlg, "endpointUnits")->setText("1=7");
    Child<QPushButton>(dlg, "endpointAdd")->click();
    EXPECT_TRUE(Child<QLabel>(dlg, "endpointError")->text().isEmpty());
    ASSERT_EQ(dlg.Table()->rowCount(), 1);
    EXPECT_EQ(dlg.Table()->item(0, NetworkServersDialog::kProtocol)->text(), "Modbus/TCP");
    EXPECT_EQ(dlg.Table()->item(0, NetworkServersDialog::kAddress)->text(), "127.0.0.1");
    EXPECT_EQ(dlg.Table()->item(0, NetworkServersDialog::kUnits)->text(), "1=7");
    EXPECT_EQ(dlg.Table()->item(0, NetworkServersDialog::kState)->text().left(8), "failed: ");
    ASSERT_EQ(list.Setup().endpoints.size(), 1u);
    EXPECT_EQ(list.Setup().endpoints[0].number, 1);

    dlg.Table()->selectRow(0);
    Child<QPushButton>(dlg, "endpointClose")->click();
    EXPECT_EQ(dlg.Table()->item(0, NetworkServersDialog::kState)->text(), "closed");
    EXPECT_TRUE(list.Setup().endpoints.empty());
    Child<QPushButton>(dlg, "endpointOpen")->click();
    EXPECT_EQ(list.Setup().endpoints.size(), 1u);
    Child<QPushButton>(dlg, "endpointRemove")->click();
    EXPECT_EQ(dlg.Table()->rowCount(), 0);
    EXPECT_TRUE(list.Entries().empty());
}

TEST(NetworkServersDialog, ToolsMenuHasItInBothMenuSets)
{
    QTemporaryDir dir;
    auto app = std::make_unique<CKelvaro32App>(TestAppOptions(dir.path().toStdString()));
    ASSERT_TRUE(app->InitInstance({}));
    for (int menu : {128, 129}) {
        if (menu == 129)
            app->NewDocument();
        ASSERT_EQ(app->mainFrame->CurrentMenuId(), menu);
        QAction* action = app->mainFrame->Action(cmd::ToolsNetworkServers);
        ASSERT_NE(action, nullptr) << menu;
        EXPECT_EQ(action->text(), "&Network Servers...");
    }
}
