// The connection manager against the real engine: serial ports on pseudo-terminals, the
// Modbus/TCP server on a free loopback port, the counters behind the Status dialog.
#include "TestPorts.h"
#include "connections/CComDlg.h"
#include "connections/CCountersDlg.h"
#include "connections/ConnectionManager.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <gtest/gtest.h>

namespace {

using Bytes = std::vector<std::uint8_t>;

// Read holding registers 1..2 of device 1 (a published RTU frame) and the same with a bad CRC.
const Bytes kRtuRead = {0x01, 0x03, 0x00, 0x00, 0x00, 0x02, 0xC4, 0x0B};
const Bytes kRtuBadCrc = {0x01, 0x03, 0x00, 0x00, 0x00, 0x02, 0xC4, 0x0C};
const Bytes kTcpRead = {0x00, 0x01, 0x00, 0x00, 0x00, 0x06, 0x01, 0x03, 0x00, 0x00, 0x00, 0x02};
const Bytes kTcpReply = {0x00, 0x01, 0x00, 0x00, 0x00, 0x07, 0x01, 0x03, 0x04, 0x04, 0xD2, 0x16, 0x2E};

class Connections : public ::testing::Test {
protected:
    Connections() : manager(engine)
    {
        memory[0] = 1234;
        memory[1] = 5678;
        block = engine.DefineDataBlock(1, 3, 1, 10, memory.data());
        manager.SetListener([this](const ConnectionEvent& e) { events.push_back(e); });
    }
    ~Connections() override
    {
        manager.CloseAllConnections();
        engine.RemoveDataBlock(block);
    }
    // A dialog that changes nothing and says OK.
    static bool Ok(ComSettings&) { return true; }
    std::vector<int> Closed() const
    {
        std::vector<int> ports;
        for (const auto& e : events)
            if (e.kind == ConnectionEvent::kClosed)
                ports.push_back(e.port);
        return ports;
    }
    std::pair<std::uint32_t, std::uint32_t> Counts(pomrel::Handle h)
    {
        std::uint32_t valid = 0, invalid = 0;
        engine.SlaveStatus(h, valid, invalid, 0);
        return {valid, invalid};
    }

    pomrel::ProtocolEngine engine;
    ConnectionManager manager;
    std::array<pomrel::RegisterWord, 10> memory{};
    pomrel::Handle block;
    std::vector<ConnectionEvent> events;
};

TEST_F(Connections, FailedOpenKeepsTheSettingsAndTellsWhy)
{
    manager.Ports().SetPortPath(3, "/nonexistent/ttyX");
    const bool shown = manager.ConnectPort(3, [](ComSettings& v) {
        v.baudRate = 19200;
        v.parity = 2;
        v.enron = true;
        return true;
    });
    EXPECT_TRUE(shown);
    EXPECT_EQ(manager.SerialHandle(3), pomrel::kNoHandle);
    EXPECT_TRUE(manager.NoConnectionOpen());
    std::uint8_t protocol = 0;
    pomrel::PortSettings s;
    manager.Ports().GetPortSettings(3, protocol, s);
    EXPECT_EQ(s.baudRate, 19200u);
    EXPECT_EQ(protocol, 0x81);
    EXPECT_EQ(manager.enronMode, 1);   // follows the attempt, as the restore of a test set-up does
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].kind, ConnectionEvent::kOpenFailed);
    const std::string head = "Port 3 (/nonexistent/ttyX): ";
    ASSERT_EQ(events[0].text.rfind(head, 0), 0u) << events[0].text;
    const std::string reason = events[0].text.substr(head.size());
    EXPECT_FALSE(reason.empty());
    EXPECT_EQ(reason.find("/nonexistent"), std::string::npos) << "device named twice: " << events[0].text;

    // Without a listener of its own the reason goes to stderr for whoever started the program.
    manager.SetListener(nullptr);
    testing::internal::CaptureStderr();
    manager.OpenSerialPort(3);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), events[0].text + "\n");
}

TEST_F(Connections, CancelStoresAndOpensNothing)
{
    PtyPair pty;
    ASSERT_TRUE(pty.Ok());
    manager.Ports().SetPortPath(2, pty.SlavePath());
    const bool shown = manager.ConnectPort(2, [](ComSettings& v) {
        v.baudRate = 110;
        v.devicePath = "/elsewhere";
        return false;
    });
    EXPECT_FALSE(shown);
    std::uint8_t protocol = 0;
    pomrel::PortSettings s;
    manager.Ports().GetPortSettings(2, protocol, s);
    EXPECT_EQ(s.baudRate, 9600u);
    EXPECT_EQ(manager.Ports().PortPath(2), pty.SlavePath());
    EXPECT_FALSE(manager.IsPortOpen(2));
    EXPECT_TRUE(events.empty());
}

TEST_F(Connections, PortOpensOnItsDeviceServesAndCloses)
{
    PtyPair pty;
    ASSERT_TRUE(pty.Ok());
    ASSERT_TRUE(manager.ConnectPort(7, [&](ComSettings& v) {
        v.devicePath = pty.SlavePath();   // chosen in the dialog's device list
        v.baudRate = 19200;
        return true;
    }));
    const pomrel::Handle h = manager.SerialHandle(7);
    ASSERT_NE(h, pomrel::kNoHandle) << (events.empty() ? "" : events.back().text);
    EXPECT_TRUE(manager.AnySerialOpen());
    EXPECT_FALSE(manager.NoConnectionOpen());
    for (int port = 1; port <= 32; ++port)
        EXPECT_EQ(manager.IsPortOpen(port), port == 7) << port;
    EXPECT_EQ(manager.enronMode, 0);

    pty.Write(kRtuRead);
    const Bytes reply = pty.Read(9);
    ASSERT_EQ(reply.size(), 9u);
    EXPECT_EQ(Bytes(reply.begin(), reply.begin() + 7), (Bytes{0x01, 0x03, 0x04, 0x04, 0xD2, 0x16, 0x2E}));

    manager.DisconnectPort(7);
    EXPECT_FALSE(manager.IsPortOpen(7));
    EXPECT_TRUE(manager.NoConnectionOpen());
    EXPECT_EQ(Closed(), (std::vector<int>{7}));
    // The engine let go of the device: it opens again.
    EXPECT_NE(manager.OpenSerialPort(7), pomrel::kNoHandle);
}

TEST_F(Connections, EnronChoiceIsSharedWhileASerialPortIsOpen)
{
    PtyPair pty3, pty5;
    ASSERT_TRUE(pty3.Ok() && pty5.Ok());
    manager.Ports().SetPortPath(3, pty3.SlavePath());
    manager.Ports().SetPortPath(5, pty5.SlavePath());
    manager.Ports().SetPortSettings(3, kProtocolRtu | kProtocolEnron, {});
    ASSERT_NE(manager.OpenSerialPort(3), pomrel::kNoHandle);
    EXPECT_EQ(manager.enronMode, 1);

    // Port 5 held the option off; the real dialog shows it on and locked, and OK stores it on.
    bool boxLocked = false, boxChecked = false;
    ASSERT_TRUE(manager.ConnectPort(5, [&](ComSettings& v) {
        CComDlg dlg(v, {});
        auto* box = dlg.findChild<QCheckBox*>("control1009");
        boxLocked = !box->isEnabled();
        boxChecked = box->isChecked();
        dlg.show();
        QTest::mouseClick(dlg.findChild<QPushButton*>("control1"), Qt::LeftButton);
        v = dlg.Values();
        return dlg.result() == QDialog::Accepted;
    }));
    EXPECT_TRUE(boxLocked);
    EXPECT_TRUE(boxChecked);
    std::uint8_t protocol = 0;
    pomrel::PortSettings s;
    manager.Ports().GetPortSettings(5, protocol, s);
    EXPECT_EQ(protocol, kProtocolRtu | kProtocolEnron);
    EXPECT_TRUE(manager.IsPortOpen(5));
    EXPECT_EQ(manager.enronMode, 1);

    // With nothing open the box edits the port's own bit again.
    manager.CloseAllConnections();
    manager.Ports().SetPortSettings(5, kProtocolRtu, {});
    const ComSettings free = ComSettingsFor(manager.Ports(), 5, manager.AnySerialOpen(), manager.enronMode);
    EXPECT_FALSE(free.enronLocked);
    EXPECT_FALSE(free.enron);
}

TEST_F(Connections, ServiceServerOnTheChosenPortAndItsFailure)
{
    std::uint16_t servicePort = 502;
    ASSERT_TRUE(manager.ConnectServer(servicePort, [](std::uint16_t& port) {
        EXPECT_EQ(port, 502);
        port = 0;   // any free port
        return true;
    }));
    EXPECT_EQ(servicePort, 0);
    ASSERT_TRUE(manager.IsServerOpen()) << events.back().text;
    EXPECT_FALSE(manager.AnySerialOpen());
    EXPECT_FALSE(manager.NoConnectionOpen());
    const std::uint16_t bound = engine.BoundTcpPort(manager.ServerHandle());
    TcpClient client(bound);
    ASSERT_TRUE(client.Ok());
    client.Write(kTcpRead);
    EXPECT_EQ(client.Read(kTcpReply.size()), kTcpReply);

    // A second server cannot listen on the same port; the first stays as it was.
    pomrel::ProtocolEngine other;
    ConnectionManager second(other);
    std::vector<ConnectionEvent> seen;
    second.SetListener([&](const ConnectionEvent& e) { seen.push_back(e); });
    EXPECT_EQ(second.OpenServer(bound), pomrel::kNoHandle);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].text.rfind("Modbus/TCP server (port " + std::to_string(bound) + "): ", 0), 0u) << seen[0].text;

    std::uint16_t kept = 1502;
    EXPECT_FALSE(manager.ConnectServer(kept, [](std::uint16_t& port) { port = 9; return false; }));
    EXPECT_EQ(kept, 1502);
    manager.DisconnectServer();
    EXPECT_FALSE(manager.IsServerOpen());
    EXPECT_FALSE(TcpPortAccepts(bound));
}

TEST_F(Connections, CloseAllClosesTheServerFirstThenPortsInOrder)
{
    PtyPair pty4, pty9;
    ASSERT_TRUE(pty4.Ok() && pty9.Ok());
    manager.Ports().SetPortPath(9, pty9.SlavePath());
    manager.Ports().SetPortPath(4, pty4.SlavePath());
    ASSERT_NE(manager.OpenSerialPort(9), pomrel::kNoHandle);
    ASSERT_NE(manager.OpenServer(0), pomrel::kNoHandle);
    ASSERT_NE(manager.OpenSerialPort(4), pomrel::kNoHandle);
    const std::uint16_t bound = engine.BoundTcpPort(manager.ServerHandle());
    const pomrel::Handle port4 = manager.SerialHandle(4);

    manager.CloseAllConnections();
    EXPECT_EQ(Closed(), (std::vector<int>{0, 4, 9}));
    EXPECT_TRUE(manager.NoConnectionOpen());
    EXPECT_FALSE(TcpPortAccepts(bound));
    std::uint32_t valid = 7, invalid = 7;
    engine.SlaveStatus(port4, valid, invalid, 0);   // the engine no longer knows the handle
    EXPECT_EQ(valid + invalid, 0u);

    manager.CloseAllConnections();   // nothing left to close
    EXPECT_EQ(Closed().size(), 3u);
}

TEST_F(Connections, CountersReadAndResetThroughTheEngine)
{
    PtyPair pty2, pty12;
    ASSERT_TRUE(pty2.Ok() && pty12.Ok());
    manager.Ports().SetPortPath(2, pty2.SlavePath());
    manager.Ports().SetPortPath(12, pty12.SlavePath());
    ASSERT_NE(manager.OpenServer(0), pomrel::kNoHandle);
    ASSERT_NE(manager.OpenSerialPort(2), pomrel::kNoHandle);
    ASSERT_NE(manager.OpenSerialPort(12), pomrel::kNoHandle);

    TcpClient client(engine.BoundTcpPort(manager.ServerHandle()));
    client.Write(kTcpRead);
    ASSERT_EQ(client.Read(kTcpReply.size()), kTcpReply);
    for (PtyPair* pty : {&pty2, &pty12}) {
        pty->Write(kRtuRead);
        ASSERT_EQ(pty->Read(9).size(), 9u);
        pty->Write(kRtuBadCrc);
    }
    const pomrel::Handle h2 = manager.SerialHandle(2), h12 = manager.SerialHandle(12), server = manager.ServerHandle();
    ASSERT_TRUE(WaitUntil([&] { return Counts(h2).second == 1 && Counts(h12).second == 1; }));

    CCountersDlg dlg(manager);
    for (const int id : {1012, 1013, 1022, 1031})
        EXPECT_TRUE(dlg.Field(id)->text().isEmpty()) << "empty until the first tick: " << id;
    EXPECT_EQ(dlg.findChildren<QLineEdit*>().size(), 20);   // nothing for ports above 9

    dlg.OnTimer();
    auto shown = [&](int id) { return dlg.Field(id)->text().toStdString(); };
    EXPECT_EQ(shown(1012), "1");   // modbus/TCP valid
    EXPECT_EQ(shown(1021), "0");
    EXPECT_EQ(shown(1014), "1");   // COMM 2 valid
    EXPECT_EQ(shown(1023), "1");   // COMM 2 invalid CRC
    for (const int id : {1013, 1022, 1015, 1024, 1030, 1031})
        EXPECT_EQ(shown(id), "0") << id;

    QTest::mouseClick(dlg.findChild<QPushButton*>("control1011"), Qt::LeftButton);
    for (QLineEdit* field : dlg.findChildren<QLineEdit*>())
        EXPECT_EQ(field->text(), "0") << field->objectName().toStdString();
    EXPECT_EQ(Counts(server), std::make_pair(0u, 0u));
    EXPECT_EQ(Counts(h2), std::make_pair(0u, 0u));
    EXPECT_EQ(Counts(h12), std::make_pair(1u, 1u)) << "a port above 9 is not reset";

    // New traffic shows on the next tick; a closed connection shows 0.
    pty2.Write(kRtuRead);
    ASSERT_EQ(pty2.Read(9).size(), 9u);
    dlg.OnTimer();
    EXPECT_EQ(shown(1014), "1");
    manager.DisconnectPort(2);
    dlg.OnTimer();
    EXPECT_EQ(shown(1014), "0");
}

TEST(CountersDialog, NothingOpenShowsZeroFromTheFirstTick)
{
    pomrel::ProtocolEngine engine;
    ConnectionManager manager(engine);
    CCountersDlg dlg(manager);
    EXPECT_EQ(dlg.windowTitle(), "Connection Status Counters");
    dlg.OnTimer();
    const auto fields = dlg.findChildren<QLineEdit*>();
    ASSERT_EQ(fields.size(), 20);
    for (QLineEdit* f : fields) {
        EXPECT_EQ(f->text(), "0");
        EXPECT_FALSE(f->isEnabled());
    }
}

} // namespace
