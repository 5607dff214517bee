// JSON-RPC over a real loopback socket: the calls, bad input, many clients, the app's server.
#include "app/CKelvaro32App.h"
#include "app/CMainFrame.h"
#include "automation/AutomationServer.h"
#include "automation/Automation.h"
#include "document/CKelvaro32Doc.h"
#include "document/OpenDocuments.h"
#include "engine/ProtocolEngine.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <unistd.h>
#include <vector>

namespace {

// A bound for waits that should end at once; only a hang ever reaches it.
constexpr int kPatienceMs = 60000;

class Client {
public:
    explicit Client(quint16 port) {
        socket.connectToHost(QHostAddress::LocalHost, port);
        connected = QTest::qWaitFor([&] { return socket.state() == QAbstractSocket::ConnectedState; }, kPatienceMs);
    }
    void Send(const QByteArray& bytes) { socket.write(bytes); }
    /// The next reply line, parsed; an empty object if none came.
    QJsonObject Next() {
        if (!QTest::qWaitFor([&] { return socket.canReadLine(); }, kPatienceMs))
            return {};
        return QJsonDocument::fromJson(socket.readLine()).object();
    }
    QJsonObject Call(const QByteArray& line) {
        Send(line + '\n');
        return Next();
    }
    bool WaitClosed() {
        return QTest::qWaitFor([&] { return socket.state() == QAbstractSocket::UnconnectedState; }, kPatienceMs);
    }
    QTcpSocket socket;
    bool connected = false;
};

quint16 FreePort() {
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

int ErrorCode(const QJsonObject& reply) { return reply.value("error").toObject().value("code").toInt(); }

class Rpc : public ::testing::Test {
protected:
    void SetUp() override {
        DocumentContext context;
        context.openDocuments = &open;
        context.iniPath = "/nonexistent/Kelvaro32.ini";
        for (int i = 0; i < 2; ++i) {
            docs.push_back(std::make_unique<CKelvaro32Doc>(context));
            docs.back()->length = 10;
        }
        docs[0]->SetWord(0, 1234);
        server = std::make_unique<AutomationServer>(methods, [this] { ++created; });
        ASSERT_TRUE(server->Listen(0));
    }
    OpenDocuments open;
    std::vector<std::unique_ptr<CKelvaro32Doc>> docs;
    pomrel::ProtocolEngine engine;
    DocumentAutomation methods{open, engine};
    int created = 0;
    std::unique_ptr<AutomationServer> server;
};

TEST_F(Rpc, CallsAndErrorsInOrderOnOneConnection) {
    struct Case {
        const char* line;        // request, or a raw line
        int error;               // expected error code, 0 for a result
        const char* result;      // expected result (JSON) when error is 0
    };
    const Case cases[] = {
        {R"({"jsonrpc":"2.0","id":1,"method":"ReadPoint","params":[1,40001]})", 0, R"({"status":0,"value":1234})"},
        {R"({"jsonrpc":"2.0","id":1,"method":"ReadPoint","params":[1,25000]})", 0, R"({"status":-1,"value":0})"},
        {R"({"jsonrpc":"2.0","id":1,"method":"ReadPoint","params":[1,40011]})", 0, R"({"status":-1,"value":0})"},
        {R"({"jsonrpc":"2.0","id":1,"method":"ReadPoint","params":[65535,40001]})", 0, R"({"status":-1,"value":0})"},
        // -1 keeps its low 16 bits; both documents take it
        {R"({"jsonrpc":"2.0","id":1,"method":"WritePoint","params":[1,40002,-1]})", 0, R"({"status":0})"},
        {R"({"jsonrpc":"2.0","id":1,"method":"ReadPoint","params":[1,40002]})", 0, R"({"status":0,"value":65535})"},
        {R"({"jsonrpc":"2.0","id":1,"method":"WritePoint","params":[1,40002,-32768]})", 0, R"({"status":0})"},
        {R"({"jsonrpc":"2.0","id":1,"method":"ReadPointEx","params":[257,3,2]})", 0, R"({"status":0,"value":32768})"},
        {R"({"jsonrpc":"2.0","id":1,"method":"ReadPointEx","params":[1,5,2]})", 0, R"({"status":-1,"value":0})"},
        {R"({"jsonrpc":"2.0","id":1,"method":"WritePointEx","params":[1,3,3,7.0]})", 0, R"({"status":0})"},
        {R"({"jsonrpc":"2.0","id":1,"method":"ReadPoint","params":[1,40003]})", 0, R"({"status":0,"value":7})"},
        // floats
        {R"({"jsonrpc":"2.0","id":1,"method":"WriteFloat","params":[1,40004,1.0,false]})", 0, R"({"status":0})"},
        {R"({"jsonrpc":"2.0","id":1,"method":"ReadPoint","params":[1,40005]})", 0, R"({"status":0,"value":16256})"},
        {R"({"jsonrpc":"2.0","id":1,"method":"ReadFloat","params":[1,40004,false]})", 0, R"({"status":0,"value":1})"},
        {R"({"jsonrpc":"2.0","id":1,"method":"WriteFloat","params":[1,40004,0.1,true]})", 0, R"({"status":0})"},
        {R"({"jsonrpc":"2.0","id":1,"method":"ReadFloat","params":[1,40004,1]})", 0, R"({"status":0,"value":0.1})"},
        {R"({"jsonrpc":"2.0","id":1,"method":"ReadFloatEx","params":[1,3,4,true]})", 0, R"({"status":0,"value":0.1})"},
        {R"({"jsonrpc":"2.0","id":1,"method":"WriteFloatEx","params":[1,3,6,"NaN",false]})", 0, R"({"status":0})"},
        {R"({"jsonrpc":"2.0","id":1,"method":"ReadFloatEx","params":[1,3,6,false]})", 0, R"({"status":0,"value":"NaN"})"},
        {R"({"jsonrpc":"2.0","id":1,"method":"WriteFloat","params":[1,40010,1.0,false]})", 0, R"({"status":-1})"},
        {R"({"jsonrpc":"2.0","id":1,"method":"ReadFloat","params":[1,40010,false]})", 0, R"({"status":-1,"value":0})"},
        {R"({"jsonrpc":"2.0","id":1,"method":"EnableSlave","params":[7,false]})", 0, R"({"status":0})"},
        {R"({"jsonrpc":"2.0","id":1,"method":"EnableSlave","params":[7,true]})", 0, R"({"status":0})"},
        {R"({"jsonrpc":"2.0","id":1,"method":"CreateDocument"})", 0, R"({"status":0})"},
        {R"({"jsonrpc":"2.0","id":1,"method":"CreateDocument","params":[]})", 0, R"({"status":0})"},
        // wrong types and ranges
        {R"({"jsonrpc":"2.0","id":1,"method":"WritePoint","params":[1,40002,65536]})", -32602, nullptr},
        {R"({"jsonrpc":"2.0","id":1,"method":"WritePoint","params":[1,40002,-32769]})", -32602, nullptr},
        {R"({"jsonrpc":"2.0","id":1,"method":"WritePoint","params":[1,40002,1.5]})", -32602, nullptr},
        {R"({"jsonrpc":"2.0","id":1,"method":"WritePoint","params":[1,"40002",1]})", -32602, nullptr},
        {R"({"jsonrpc":"2.0","id":1,"method":"WritePoint","params":[true,40002,1]})", -32602, nullptr},
        {R"({"jsonrpc":"2.0","id":1,"method":"WritePoint","params":[1,40002,null]})", -32602, nullptr},
        {R"({"jsonrpc":"2.0","id":1,"method":"ReadPoint","params":[1,2147483648]})", -32602, nullptr},
        {R"({"jsonrpc":"2.0","id":1,"method":"ReadPoint","params":[1]})", -32602, nullptr},
        {R"({"jsonrpc":"2.0","id":1,"method":"ReadPoint","params":[1,40001,0]})", -32602, nullptr},
        {R"({"jsonrpc":"2.0","id":1,"method":"ReadPoint","params":{"device":1}})", -32602, nullptr},
        {R"({"jsonrpc":"2.0","id":1,"method":"ReadPoint"})", -32602, nullptr},
        {R"({"jsonrpc":"2.0","id":1,"method":"WriteFloat","params":[1,40004,1e39,false]})", -32602, nullptr},
        {R"({"jsonrpc":"2.0","id":1,"method":"WriteFloat","params":[1,40004,1.0,"yes"]})", -32602, nullptr},
        {R"({"jsonrpc":"2.0","id":1,"method":"CreateDocument","params":[1]})", -32602, nullptr},
        {R"({"jsonrpc":"2.0","id":1,"method":"readpoint","params":[1,40001]})", -32601, nullptr},
        {R"({"jsonrpc":"2.0","id":1,"method":"Shutdown","params":[]})", -32601, nullptr},
        // not a request
        {R"({"jsonrpc":"2.0","id":1,"method":"ReadPoint","params":[1,40001])", -32700, nullptr},
        {R"(ReadPoint 1 40001)", -32700, nullptr},
        {R"([{"jsonrpc":"2.0","id":1,"method":"ReadPoint","params":[1,40001]}])", -32600, nullptr},
        {R"({"id":1,"method":"ReadPoint","params":[1,40001]})", -32600, nullptr},
        {R"({"jsonrpc":"2.0","id":1,"method":7})", -32600, nullptr},
        {R"({"jsonrpc":"2.0","id":{"a":1},"method":"ReadPoint","params":[1,40001]})", -32600, nullptr},
    };
    Client client(server->Port());
    ASSERT_TRUE(client.connected);
    int id = 0;
    for (const Case& c : cases) {
        QByteArray line(c.line);
        // Give every request its own id so that a lost or extra reply shows.
        line.replace("\"id\":1,", QByteArray("\"id\":") + QByteArray::number(++id) + ",");
        const QJsonObject reply = client.Call(line);
        SCOPED_TRACE(c.line);
        ASSERT_FALSE(reply.isEmpty());
        EXPECT_EQ(reply.value("jsonrpc").toString(), "2.0");
        if (c.error == 0) {
            EXPECT_EQ(reply.value("id").toInt(), id);
            EXPECT_EQ(reply.value("result").toObject(), QJsonDocument::fromJson(c.result).object())
                << QJsonDocument(reply).toJson(QJsonDocument::Compact).toStdString();
        } else {
            EXPECT_EQ(ErrorCode(reply), c.error) << QJsonDocument(reply).toJson(QJsonDocument::Compact).toStdString();
            EXPECT_FALSE(reply.value("error").toObject().value("message").toString().isEmpty());
            EXPECT_FALSE(reply.contains("result"));
        }
    }
    EXPECT_EQ(docs[1]->Word(1), 32768);   // every write reached both documents
    EXPECT_EQ(created, 2);
    EXPECT_FALSE(docs[0]->IsModified());
}

TEST_F(Rpc, NotificationsBlankLinesAndSplitWrites) {
    Client client(server->Port());
    ASSERT_TRUE(client.connected);
    // A notification is carried out and not answered; blank and CR LF lines are fine; a request
    // may arrive in pieces.
    client.Send("{\"jsonrpc\":\"2.0\",\"method\":\"WritePoint\",\"params\":[1,40005,42]}\n\r\n\n");
    client.Send("{\"jsonrpc\":\"2.0\",\"id\":\"a\",\"method\":\"Read");
    QTest::qWait(1);
    client.Send("Point\",\"params\":[1,40005]}\r\n{\"jsonrpc\":\"2.0\",\"id\":null,\"method\":\"ReadPoint\",\"params\":[1,40001]}\n");
    const QJsonObject first = client.Next();
    EXPECT_EQ(first.value("id").toString(), "a");
    EXPECT_EQ(first.value("result").toObject().value("value").toInt(), 42);
    const QJsonObject second = client.Next();
    EXPECT_TRUE(second.value("id").isNull());
    EXPECT_EQ(second.value("result").toObject().value("value").toInt(), 1234);
}

TEST_F(Rpc, LineLimit) {
    Client client(server->Port());
    ASSERT_TRUE(client.connected);
    // Exactly the limit is still a request.
    QByteArray request = R"({"jsonrpc":"2.0","id":1,"method":"ReadPoint","params":[1,40001]})";
    request.insert(1, QByteArray(kMaxLineBytes - request.size(), ' '));
    ASSERT_EQ(request.size(), kMaxLineBytes);
    EXPECT_EQ(client.Call(request).value("result").toObject().value("value").toInt(), 1234);

    // One byte more closes the connection, with or without its newline in sight.
    for (const bool withNewline : {false, true}) {
        Client longLine(server->Port());
        ASSERT_TRUE(longLine.connected);
        longLine.Send(QByteArray(kMaxLineBytes + 1, ' ') + (withNewline ? "\n" : ""));
        const QJsonObject reply = longLine.Next();
        EXPECT_EQ(ErrorCode(reply), -32600);
        EXPECT_TRUE(longLine.WaitClosed());
    }
    // Megabytes without a newline: closed, nothing piled up, others still served.
    Client flood(server->Port());
    ASSERT_TRUE(flood.connected);
    for (int i = 0; i < 64 && flood.socket.state() == QAbstractSocket::ConnectedState; ++i)
        flood.Send(QByteArray(64 * 1024, 'x'));
    EXPECT_TRUE(flood.WaitClosed());
    EXPECT_EQ(client.Call(request).value("result").toObject().value("value").toInt(), 1234);
}

TEST_F(Rpc, ManyClientsPipelining) {
    constexpr int kClients = 8;
    constexpr int kRequests = 200;
    std::vector<std::unique_ptr<Client>> clients;
    for (int c = 0; c < kClients; ++c) {
        clients.push_back(std::make_unique<Client>(server->Port()));
        ASSERT_TRUE(clients.back()->connected);
        QByteArray batch;
        for (int i = 0; i < kRequests; ++i)
            batch += QByteArray(R"({"jsonrpc":"2.0","id":)") + QByteArray::number(i) +
                     R"(,"method":"WritePoint","params":[1,)" + QByteArray::number(40001 + c) + "," +
                     QByteArray::number(i) + "]}\n";
        clients.back()->Send(batch);
    }
    for (int c = 0; c < kClients; ++c)
        for (int i = 0; i < kRequests; ++i) {
            const QJsonObject reply = clients[c]->Next();
            ASSERT_EQ(reply.value("id").toInt(-1), i) << "client " << c;
            ASSERT_EQ(reply.value("result").toObject().value("status").toInt(-9), 0);
        }
    for (int c = 0; c < kClients; ++c)
        EXPECT_EQ(docs[0]->Word(c), kRequests - 1);
}

TEST_F(Rpc, ClientThatDoesNotReadIsHeldBackNotBuffered) {
    // More replies than the server keeps unsent: it stops reading, and goes on once the client reads.
    // They must also be more than the system's socket buffers take (a few MB on loopback): an
    // unknown method's name comes back in its error, so each 2 KB request brings a 2 KB reply.
    constexpr int kRequests = 8000;
    const QByteArray unknownMethod(2000, 'M');
    Client client(server->Port());
    ASSERT_TRUE(client.connected);
    // The client's socket takes only this much from the system: what it does not read stays unsent.
    client.socket.setReadBufferSize(64 * 1024);
    QByteArray batch;
    for (int i = 0; i < kRequests - 1; ++i)
        batch += QByteArray(R"({"jsonrpc":"2.0","id":)") + QByteArray::number(i) + R"(,"method":")" +
                 unknownMethod + "\"}\n";
    // The last request leaves a mark: the server reaches it only by taking every request.
    batch += QByteArray(R"({"jsonrpc":"2.0","id":)") + QByteArray::number(kRequests - 1) +
             R"(,"method":"WritePoint","params":[1,40002,7]})" + "\n";
    client.Send(batch);
    // A server that kept every reply would set the mark in a moment; one holding the client back never does.
    EXPECT_FALSE(QTest::qWaitFor([&] { return docs[0]->Word(1) == 7; }, 3000))
        << "every request was answered while the client read nothing";
    client.socket.setReadBufferSize(0);   // now it takes whatever comes
    for (int i = 0; i < kRequests; ++i)
        ASSERT_EQ(client.Next().value("id").toInt(-1), i);
    EXPECT_EQ(docs[0]->Word(1), 7);
}

TEST_F(Rpc, TooManyConnectionsAreToldSo) {
    std::vector<std::unique_ptr<Client>> clients;
    for (int i = 0; i < kMaxConnections; ++i) {
        clients.push_back(std::make_unique<Client>(server->Port()));
        ASSERT_TRUE(clients.back()->connected);
    }
    ASSERT_TRUE(QTest::qWaitFor([&] { return server->ConnectionCount() == kMaxConnections; }, kPatienceMs));
    Client extra(server->Port());
    EXPECT_EQ(ErrorCode(extra.Next()), -32000);
    EXPECT_TRUE(extra.WaitClosed());
    clients.front()->socket.disconnectFromHost();
    ASSERT_TRUE(QTest::qWaitFor([&] { return server->ConnectionCount() == kMaxConnections - 1; }, kPatienceMs));
    Client next(server->Port());
    EXPECT_EQ(next.Call(R"({"jsonrpc":"2.0","id":1,"method":"ReadPoint","params":[1,40001]})")
                  .value("result").toObject().value("value").toInt(), 1234);
}

TEST(AutomationPeer, ClientEndOfALoopbackConnection) {
    // Server on port 0x1F4A (8010); the client end of 0xB2FC belongs to uid 1000.
    const std::string table =
        "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  timeout inode\n"
        "   0: 0100007F:1F4A 00000000:0000 0A 00000000:00000000 00:00000000 00000000     0        0 1 1 0\n"
        "   1: 0100007F:1F4A 0100007F:B2FC 01 00000000:00000000 00:00000000 00000000     0        0 2 1 0\n"
        "   2: 0100007F:B2FC 0100007F:1F4A 01 00000000:00000000 00:00000000 00000000  1000        0 3 1 0\n"
        "   3: 0A00020F:B2FD 0100007F:1F4A 01 00000000:00000000 00:00000000 00000000  1001        0 4 1 0\n"
        "   4: garbage\n";
    struct Case { quint16 client; quint16 server; std::optional<unsigned> uid; };
    const Case cases[] = {
        {0xB2FC, 0x1F4A, 1000u},          // not the server's own end (uid 0)
        {0xB2FD, 0x1F4A, std::nullopt},   // not a loopback pair
        {0xB2FE, 0x1F4A, std::nullopt},
        {0x1F4A, 0xB2FC, 0u},             // the other direction is the server's end
    };
    for (const Case& c : cases)
        EXPECT_EQ(LoopbackClientUid(table, c.client, c.server), c.uid) << c.client;
    EXPECT_EQ(LoopbackClientUid("", 1, 2), std::nullopt);
}

TEST_F(Rpc, AnotherUserIsRefused) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to connect as another user";
    QProcess other;
    other.start("/usr/bin/python3", {"-c", QStringLiteral(
        "import os, socket\n"
        "os.setgid(65534); os.setuid(65534)\n"
        "s = socket.create_connection(('127.0.0.1', %1), timeout=60)\n"
        "s.sendall(b'{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"ReadPoint\",\"params\":[1,40001]}\\n')\n"
        "print(s.makefile().readline().strip())\n").arg(server->Port())});
    ASSERT_TRUE(QTest::qWaitFor([&] { return other.state() == QProcess::NotRunning; }, kPatienceMs));
    const QJsonObject reply = QJsonDocument::fromJson(other.readAllStandardOutput()).object();
    EXPECT_EQ(ErrorCode(reply), -32001) << other.readAllStandardError().toStdString();
    EXPECT_FALSE(server->EverConnected());
    // The owner is served as before.
    Client own(server->Port());
    EXPECT_EQ(own.Call(R"({"jsonrpc":"2.0","id":1,"method":"ReadPoint","params":[1,40001]})")
                  .value("result").toObject().value("value").toInt(), 1234);
}

TEST(AutomationPort, OptionThenEnvironmentThenDefault) {
    struct Case { std::optional<int> option; const char* env; std::optional<int> port; bool error; };
    const Case cases[] = {
        {std::nullopt, nullptr, 8502, false},
        {std::nullopt, "", 8502, false},
        {std::nullopt, "9000", 9000, false},
        {std::nullopt, "0", 0, false},
        {std::nullopt, "65535", 65535, false},
        {std::nullopt, "65536", std::nullopt, true},
        {std::nullopt, "-1", std::nullopt, true},
        {std::nullopt, "85o2", std::nullopt, true},
        {std::nullopt, " 8502", std::nullopt, true},
        {7000, "9000", 7000, false},
        {0, "9000", 0, false},
    };
    for (const Case& c : cases) {
        std::string error;
        EXPECT_EQ(ResolveAutomationPort(c.option, c.env, error), c.port) << (c.env ? c.env : "null");
        EXPECT_EQ(!error.empty(), c.error);
    }
}

// ---- The application's own server ----------------------------------------------------------------

class AppServer : public ::testing::Test {
protected:
    std::unique_ptr<CKelvaro32App> Start(quint16 port, const std::vector<std::string>& args, bool expectStarted = true) {
        AppOptions o;
        o.settingsFolder = dir.path().toStdString() + "/Orvane";
        o.executablePath = dir.path().toStdString() + "/kelvaro64";
        o.automationPort = port;
        auto app = std::make_unique<CKelvaro32App>(o);
        EXPECT_EQ(app->InitInstance(args), expectStarted);
        return app;
    }
    QTemporaryDir dir;
};

TEST_F(AppServer, CreateDocumentMakesAWindowWithItsBlock) {
    auto app = Start(FreePort(), {});
    ASSERT_NE(app->Automation(), nullptr);
    Client client(app->Automation()->Port());
    ASSERT_TRUE(client.connected);
    const QJsonObject reply = client.Call(R"({"jsonrpc":"2.0","id":1,"method":"CreateDocument"})");
    EXPECT_EQ(reply.value("result").toObject().value("status").toInt(-9), 0);
    ASSERT_EQ(app->Documents().Size(), 1u);
    EXPECT_EQ(app->mainFrame->Children().size(), 1);
    EXPECT_EQ(client.Call(R"({"jsonrpc":"2.0","id":2,"method":"WritePoint","params":[1,40001,99]})")
                  .value("result").toObject().value("status").toInt(-9), 0);
    EXPECT_EQ(app->Documents().All().front()->Word(0), 99);
    app->Shutdown();
    EXPECT_EQ(app->Automation(), nullptr);
    EXPECT_TRUE(client.WaitClosed());
}

TEST_F(AppServer, HiddenStartEndsWhenTheLastClientLeaves) {
    auto app = Start(FreePort(), {"-Automation"});
    ASSERT_TRUE(app->StartedHidden());
    EXPECT_FALSE(app->mainFrame->isVisible());
    AutomationServer* server = app->Automation();
    ASSERT_NE(server, nullptr);
    QSignalSpy last(server, &AutomationServer::LastConnectionClosed);

    auto first = std::make_unique<Client>(server->Port());
    auto second = std::make_unique<Client>(server->Port());
    ASSERT_TRUE(QTest::qWaitFor([&] { return server->ConnectionCount() == 2; }, kPatienceMs));
    first.reset();
    ASSERT_TRUE(QTest::qWaitFor([&] { return server->ConnectionCount() == 1; }, kPatienceMs));
    EXPECT_EQ(last.count(), 0);

    // The program's own event loop ends with 0 when the last client leaves.
    QTimer::singleShot(0, [&] { second.reset(); });
    QTimer patience;
    patience.setSingleShot(true);
    QObject::connect(&patience, &QTimer::timeout, [] { QCoreApplication::exit(2); });
    patience.start(kPatienceMs);
    EXPECT_EQ(QCoreApplication::exec(), 0);
    EXPECT_EQ(last.count(), 1);
}

TEST_F(AppServer, PortTakenRunsWithoutAutomationUnlessHidden) {
    QTcpServer holder;
    ASSERT_TRUE(holder.listen(QHostAddress::LocalHost, 0));
    testing::internal::CaptureStderr();
    auto app = Start(holder.serverPort(), {});
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_EQ(app->Automation(), nullptr);
    EXPECT_NE(said.find("running without automation"), std::string::npos) << said;
    EXPECT_TRUE(app->mainFrame->isVisible());
    app.reset();

    // Hidden, nobody could reach it: it does not start.
    testing::internal::CaptureStderr();
    auto hidden = Start(holder.serverPort(), {"/Embedding"}, false);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("ending"), std::string::npos);
    hidden.reset();
    // Automation switched off on purpose: a hidden start still runs.
    auto off = Start(0, {"-Automation"});
    EXPECT_EQ(off->Automation(), nullptr);
}

}  // namespace
