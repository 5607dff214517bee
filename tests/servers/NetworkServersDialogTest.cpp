// Tools > Network Servers on the offscreen platform: each server row and endpoint opens and
// closes on a real engine, refused fields are said in the dialog (never in a modal box), the
// file pickers fill their fields, and the menu item sits in both menu sets.
#include "TestApp.h"

#include "app/CMainFrame.h"
#include "app/CommandIds.h"
#include "app/TestConfig.h"
#include "connections/CCountersDlg.h"
#include "connections/ConnectionManager.h"
#include "engine/ProtocolEngine.h"
#include "servers/NetworkServers.h"
#include "servers/NetworkServersDialog.h"

#include <QComboBox>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTableWidget>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

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

// A port that was free a moment ago, of the given socket type.
std::uint16_t FreePort(int type)
{
    const int fd = ::socket(AF_INET, type, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    ::close(fd);
    return ntohs(a.sin_port);
}

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

TEST(NetworkServersSetUp, SavedAndRestoredReopensTheServers)
{
    QTemporaryDir dir;
    auto app = std::make_unique<CKelvaro32App>(TestAppOptions(dir.path().toStdString()));
    ASSERT_TRUE(app->InitInstance({}));
    NetworkServers& list = app->Servers();
    servers::ServerSetup setup;
    pomrel::ServerEndpoint udp;
    udp.protocol = pomrel::ServerProtocol::Udp;
    udp.port = FreePort(SOCK_DGRAM);
    pomrel::ServerEndpoint tls;
    tls.protocol = pomrel::ServerProtocol::Tls;
    tls.port = FreePort(SOCK_STREAM);
    const std::string folder = dir.path().toStdString();
    tls.tls = {folder + "/certs/server.pem", folder + "/certs/server.key", "/etc/ssl/none.pem", {"Operator"}};
    pomrel::ServerEndpoint endpoint;
    endpoint.address = "127.0.0.3";
    endpoint.port = FreePort(SOCK_STREAM);
    endpoint.units = {{1, 7}};
    endpoint.number = 1;
    setup.servers = {udp, tls};
    setup.endpoints = {endpoint};
    setup.identities[7] = {{0, "Orvane"}, {0x80, "private object"}};
    list.Apply(setup);
    ASSERT_TRUE(list.Entries()[0].Open()) << list.Entries()[0].error;
    EXPECT_FALSE(list.Entries()[1].Open());   // no such files: still part of the set-up

    const std::string path = folder + "/plant.tst";
    ASSERT_TRUE(SaveTestConfigTo(*app->mainFrame, path));
    std::stringstream text;
    text << std::ifstream(path + ".json").rdbuf();
    for (const char* kept : {"\"servers\"", "\"endpoints\"", "\"identity\"", "\"cert\": \"certs/server.pem\"",
                             "\"ca\": \"/etc/ssl/none.pem\"", "\"0x80\": \"private object\""})
        EXPECT_NE(text.str().find(kept), std::string::npos) << kept << " in " << text.str();

    list.Apply({});
    EXPECT_TRUE(list.Entries().empty());
    ASSERT_TRUE(RestoreTestConfig(*app->mainFrame, path));
    EXPECT_EQ(list.Setup(), setup);
    ASSERT_EQ(list.Entries().size(), 3u);
    EXPECT_TRUE(list.Entries()[0].Open()) << list.Entries()[0].error;
    EXPECT_EQ(list.Entries()[0].boundPort, udp.port);
    EXPECT_TRUE(list.Entries()[2].Open()) << list.Entries()[2].error;

    // Closed by the user and saved again: nothing left to keep, the extras file goes.
    for (const auto& e : std::vector<NetworkServers::Entry>(list.Entries()))
        list.Close(e.id);
    list.SetIdentities({});
    ASSERT_TRUE(SaveTestConfigTo(*app->mainFrame, path));
    EXPECT_FALSE(QFileInfo::exists(QString::fromStdString(path + ".json")));

    // A set-up without extras closes the servers of the one before.
    list.Apply(setup);
    ASSERT_TRUE(RestoreTestConfig(*app->mainFrame, path));
    EXPECT_TRUE(list.Entries().empty());

    // A fault scenario leaves the servers open; one that names servers puts its own in force.
    list.Apply(setup);
    const std::string scenario = folder + "/scenario.json";
    std::ofstream(scenario) << R"({"faults": [{"unit": 1, "action": "no-reply"}]})";
    std::string error;
    ASSERT_TRUE(app->LoadScenario(scenario, error)) << error;
    EXPECT_EQ(list.Setup(), setup);
    std::ofstream(scenario) << R"({"endpoints": []})";
    ASSERT_TRUE(app->LoadScenario(scenario, error)) << error;
    EXPECT_EQ(list.Setup(), servers::ServerSetup{});
}

TEST(NetworkServersStatus, TheStatusDialogListsEachServersCounters)
{
    pomrel::ProtocolEngine engine;
    ConnectionManager connections(engine);
    NetworkServers list(engine);
    pomrel::ServerEndpoint udp;
    udp.protocol = pomrel::ServerProtocol::Udp;
    udp.address = "127.0.0.1";
    const std::uint32_t id = list.Open(udp);
    ASSERT_TRUE(list.Find(id)->Open()) << list.Find(id)->error;
    pomrel::ServerEndpoint closed;
    closed.protocol = pomrel::ServerProtocol::RtuOverTcp;
    list.Close(list.Open(closed));

    // One request to a block of device 9, its answer awaited.
    pomrel::RegisterWord memory[10] = {};
    const pomrel::Handle block = engine.DefineDataBlock(9, 3, 1, 10, memory);
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    timeval wait{10, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(list.Find(id)->boundPort);
    const unsigned char request[] = {0, 1, 0, 0, 0, 6, 9, 3, 0, 0, 0, 1};
    ASSERT_EQ(::sendto(fd, request, sizeof request, 0, reinterpret_cast<sockaddr*>(&to), sizeof to), 12);
    unsigned char answer[300];
    ASSERT_GT(::recv(fd, answer, sizeof answer, 0), 0);
    ::close(fd);
    engine.RemoveDataBlock(block);

    CCountersDlg dlg(connections);
    EXPECT_EQ(dlg.ServersTable(), nullptr);
    dlg.ShowServers(&list);
    QTableWidget* table = dlg.ServersTable();
    ASSERT_NE(table, nullptr);
    ASSERT_EQ(table->rowCount(), 2);
    const auto cell = [&](int row, int column) { return table->item(row, column)->text(); };
    EXPECT_EQ(cell(0, NetworkServers::kServer).toStdString(), NetworkServers::Title(*list.Find(id)));
    EXPECT_EQ(cell(0, NetworkServers::kValid), "1");
    EXPECT_EQ(cell(0, NetworkServers::kInvalid), "0");
    EXPECT_EQ(cell(0, NetworkServers::kSessions), "");   // no sessions over UDP
    EXPECT_EQ(cell(1, NetworkServers::kState), "closed");
    EXPECT_EQ(cell(1, NetworkServers::kValid), "");
    Child<QPushButton>(dlg, "control1011")->click();   // Reset
    EXPECT_EQ(cell(0, NetworkServers::kValid), "0");
}
