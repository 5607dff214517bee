// JSON-RPC over a real loopback socket: the calls, bad input, many clients, the app's server.
#include "app/CKelvaro32App.h"
#include "app/CMainFrame.h"
#include "automation/AutomationServer.h"
#include "automation/Automation.h"
#include "automation/PeerOwner.h"
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
#include <QThread>
#include <gtest/gtest.h>

#include <limits>
#include <memory>
#include <optional>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
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
        auto registry = std::make_shared<MethodRegistry>();
        RegisterDocumentMethods(*registry, methods, [this] { ++created; });
        server = std::make_unique<AutomationServer>(std::move(registry));
        // Idle times pass only when a test moves this clock on.
        server->SetClock([this] { return now; });
        ASSERT_TRUE(server->Listen(0));
    }
    qint64 now = 0;
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

// A connected pair of plain sockets from `source` to a listener on `target` (IPv4 or IPv6).
struct SocketPair {
    SocketPair(const char* source, const char* target) {
        const int family = std::string(target).find(':') == std::string::npos ? AF_INET : AF_INET6;
        sockaddr_storage from{}, to{};
        socklen_t size = 0;
        if (family == AF_INET) {
            auto* f = reinterpret_cast<sockaddr_in*>(&from);
            auto* t = reinterpret_cast<sockaddr_in*>(&to);
            f->sin_family = t->sin_family = AF_INET;
            inet_pton(AF_INET, source, &f->sin_addr);
            inet_pton(AF_INET, target, &t->sin_addr);
            size = sizeof(sockaddr_in);
        } else {
            auto* f = reinterpret_cast<sockaddr_in6*>(&from);
            auto* t = reinterpret_cast<sockaddr_in6*>(&to);
            f->sin6_family = t->sin6_family = AF_INET6;
            inet_pton(AF_INET6, source, &f->sin6_addr);
            inet_pton(AF_INET6, target, &t->sin6_addr);
            size = sizeof(sockaddr_in6);
        }
        listener = ::socket(family, SOCK_STREAM, 0);
        client = ::socket(family, SOCK_STREAM, 0);
        socklen_t len = size;
        ok = ::bind(listener, reinterpret_cast<sockaddr*>(&to), size) == 0 && ::listen(listener, 1) == 0 &&
             ::getsockname(listener, reinterpret_cast<sockaddr*>(&to), &len) == 0 &&
             ::bind(client, reinterpret_cast<sockaddr*>(&from), size) == 0 &&
             ::connect(client, reinterpret_cast<sockaddr*>(&to), size) == 0 &&
             (server = ::accept(listener, nullptr, nullptr)) >= 0;
    }
    ~SocketPair() {
        for (int fd : {client, server, listener})
            if (fd >= 0) ::close(fd);
    }
    static std::optional<unsigned> Owner(int fd, bool corruptPeerPort = false) {
        sockaddr_storage self{}, peer{};
        socklen_t a = sizeof self, b = sizeof peer;
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&self), &a);
        ::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &b);
        if (corruptPeerPort) {
            auto* port = peer.ss_family == AF_INET ? &reinterpret_cast<sockaddr_in*>(&peer)->sin_port
                                                   : &reinterpret_cast<sockaddr_in6*>(&peer)->sin6_port;
            *port = htons(static_cast<std::uint16_t>(ntohs(*port) ^ 1));
        }
        return TcpSocketOwner(reinterpret_cast<sockaddr*>(&self), reinterpret_cast<sockaddr*>(&peer));
    }
    int listener = -1, client = -1, server = -1;
    bool ok = false;
};

TEST(AutomationPeer, OwnerOfEitherEndOfAnyLoopbackPair) {
    // The old lookup knew only 127.0.0.1 on both ends; every pair here must be found exactly.
    const std::pair<const char*, const char*> pairs[] = {
        {"127.0.0.1", "127.0.0.1"}, {"127.0.0.2", "127.0.0.1"}, {"127.1.2.3", "127.0.0.1"},
        {"127.0.0.1", "127.9.9.9"}, {"::1", "::1"},
    };
    const unsigned me = ::geteuid();
    for (const auto& [source, target] : pairs) {
        SocketPair pair(source, target);
        if (!pair.ok && std::string(target) == "::1")
            continue;  // no IPv6 loopback on this machine
        ASSERT_TRUE(pair.ok) << source << " -> " << target;
        EXPECT_EQ(SocketPair::Owner(pair.client), me) << source;
        EXPECT_EQ(SocketPair::Owner(pair.server), me) << source;
        // One port off is another (absent) socket: unknown, never somebody's.
        EXPECT_EQ(SocketPair::Owner(pair.client, true), std::nullopt) << source;
        // What a server asks at accept: both ends are ours.
        EXPECT_TRUE(ConnectionIsOwnUser(pair.server)) << source;
        EXPECT_TRUE(ConnectionIsOwnUser(pair.client)) << source;
    }
    // A listening socket has no peer, and -1 is no socket: neither counts as ours.
    SocketPair pair("127.0.0.1", "127.0.0.1");
    EXPECT_FALSE(ConnectionIsOwnUser(pair.listener));
    EXPECT_FALSE(ConnectionIsOwnUser(-1));
}

TEST_F(Rpc, OtherUsersAreRefusedFromEverySourceAddressTheOwnerFromAny) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to connect as another user";
    struct Case { const char* source; const char* target; bool otherUser; int wantError; };
    const Case cases[] = {
        {"127.0.0.2", "127.0.0.1", true, -32001},
        {"127.1.2.3", "127.0.0.1", true, -32001},
        {"127.0.0.1", "127.0.0.1", true, -32001},
        {"::1", "::1", true, -32001},
        {"127.0.0.2", "127.0.0.1", false, 0},
        {"::1", "::1", false, 0},
    };
    int value = 1;
    for (const Case& c : cases) {
        const bool v6 = std::string(c.target) == "::1";
        QStringList program;
        if (c.otherUser)
            program << "setpriv" << "--reuid=65534" << "--regid=65534" << "--clear-groups";
        program << "/usr/bin/python3" << "-c" << QStringLiteral(
            "import socket, sys\n"
            "s = socket.socket(socket.AF_INET6 if ':' in sys.argv[1] else socket.AF_INET)\n"
            "s.settimeout(60); s.bind((sys.argv[1], 0)); s.connect((sys.argv[2], int(sys.argv[3])))\n"
            "s.sendall(b'{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"WritePoint\",\"params\":[1,40002,%1]}\\n')\n"
            "print(s.makefile().readline().strip())\n").arg(value)
                << c.source << c.target << QString::number(server->Port());
        QProcess client;
        client.start(program.takeFirst(), program);
        ASSERT_TRUE(QTest::qWaitFor([&] { return client.state() == QProcess::NotRunning; }, kPatienceMs));
        const QByteArray out = client.readAllStandardOutput();
        if (v6 && out.isEmpty())
            continue;  // no IPv6 loopback here
        const QJsonObject reply = QJsonDocument::fromJson(out).object();
        EXPECT_EQ(ErrorCode(reply), c.wantError) << c.source << " other user " << c.otherUser << " "
                                                 << client.readAllStandardError().toStdString();
        // Nothing a refused client sent was carried out.
        EXPECT_EQ(docs[0]->Word(1), c.otherUser ? 0 : value) << c.source;
        docs[0]->SetWord(1, 0);
        ++value;
    }
}

// A client whose idle time the fixture's clock decides.
std::unique_ptr<Client> Connected(AutomationServer& server, int expectedCount) {
    auto client = std::make_unique<Client>(server.Port());
    if (!client->connected || !QTest::qWaitFor([&] { return server.ConnectionCount() == expectedCount; }, kPatienceMs))
        return nullptr;
    return client;
}

TEST_F(Rpc, FullTableMakesRoomByClosingTheLongestIdleNeverABusyOne) {
    const QByteArray read = R"({"jsonrpc":"2.0","id":1,"method":"ReadPoint","params":[1,40001]})";
    std::vector<std::unique_ptr<Client>> clients;
    for (int i = 0; i < kMaxConnections; ++i) {
        clients.push_back(Connected(*server, i + 1));
        ASSERT_TRUE(clients.back());
    }
    // Everyone but client 7 calls at 1.5 s; client 7 has been idle since 0.
    now = 1500;
    for (int i = 0; i < kMaxConnections; ++i) {
        if (i == 7)
            continue;
        ASSERT_EQ(clients[static_cast<std::size_t>(i)]->Call(read).value("result").toObject().value("value").toInt(), 1234);
    }
    now = 2100;
    Client owner(server->Port());
    EXPECT_EQ(owner.Call(read).value("result").toObject().value("value").toInt(), 1234);
    EXPECT_EQ(ErrorCode(clients[7]->Next()), rpc::kIdleClosed);
    EXPECT_TRUE(clients[7]->WaitClosed());
    // The others have been idle only 0.6 s: the next newcomer is told the table is full.
    Client late(server->Port());
    EXPECT_EQ(ErrorCode(late.Next()), rpc::kServerBusy);
    for (int i = 0; i < kMaxConnections; ++i) {
        if (i == 7)
            continue;
        EXPECT_EQ(clients[static_cast<std::size_t>(i)]->socket.state(), QAbstractSocket::ConnectedState) << i;
    }
}

TEST_F(Rpc, IdleClientsAreToldAndClosedActiveOnesStay) {
    AutomationLimits limits;
    limits.idleTimeoutMs = 60000;
    server->SetLimits(limits);
    auto quiet = Connected(*server, 1);
    auto busy = Connected(*server, 2);
    ASSERT_TRUE(quiet && busy);
    const QByteArray read = R"({"jsonrpc":"2.0","id":1,"method":"ReadPoint","params":[1,40001]})";
    now = 59999;
    ASSERT_EQ(busy->Call(read).value("result").toObject().value("value").toInt(), 1234);
    server->Sweep();
    now = 60000;
    server->Sweep();
    EXPECT_EQ(ErrorCode(quiet->Next()), rpc::kIdleClosed);
    EXPECT_TRUE(quiet->WaitClosed());
    EXPECT_EQ(busy->Call(read).value("result").toObject().value("value").toInt(), 1234);
}

TEST_F(Rpc, ClientThatNeverTakesItsRepliesIsClosed) {
    AutomationLimits limits;
    limits.maxUnsentBytes = 4096;
    limits.stalledOutputMs = 10000;
    limits.idleTimeoutMs = std::numeric_limits<qint64>::max() / 2;
    server->SetLimits(limits);
    auto reader = Connected(*server, 1);
    ASSERT_TRUE(reader);
    // This client's socket takes in only a little and never reads, so replies pile up at the server.
    auto stuck = std::make_unique<Client>(server->Port());
    ASSERT_TRUE(stuck->connected);
    stuck->socket.setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, 2048);
    stuck->socket.setReadBufferSize(1);
    // More replies than the system's socket buffers take (a few MB on loopback): an unknown
    // method's name comes back in its error, so each 2 KB request brings a 2 KB reply.
    const QByteArray request = R"({"jsonrpc":"2.0","id":1,"method":")" + QByteArray(2000, 'M') + "\"}\n";
    QByteArray batch;
    for (int i = 0; i < 8000; ++i)
        batch += request;
    stuck->Send(batch);
    // Keep sweeping as time goes by: once the replies stop moving it is closed, and only it.
    const bool closed = QTest::qWaitFor([&] {
        now += 5000;
        server->Sweep();
        return server->ConnectionCount() == 1;
    }, kPatienceMs);
    EXPECT_TRUE(closed);
    const QByteArray read = R"({"jsonrpc":"2.0","id":2,"method":"ReadPoint","params":[1,40001]})";
    EXPECT_EQ(reader->Call(read).value("result").toObject().value("value").toInt(), 1234);
}

TEST_F(Rpc, AcceptingResumesAfterRunningOutOfDescriptors) {
    rlimit old{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &old), 0);
    const int prepared = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(prepared, 0);
    // Every descriptor taken, then a connection the server cannot accept yet.
    rlimit tight = old;
    tight.rlim_cur = std::min<rlim_t>(old.rlim_cur, 4096);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &tight), 0);
    std::vector<int> filler;
    for (int fd; (fd = ::dup(0)) >= 0;)
        filler.push_back(fd);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(server->Port());
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const int connected = ::connect(prepared, reinterpret_cast<sockaddr*>(&to), sizeof to);
    QTest::qWait(300);  // the server meets the full table of descriptors, maybe several times
    for (int fd : filler)
        ::close(fd);
    ::setrlimit(RLIMIT_NOFILE, &old);
    ASSERT_EQ(connected, 0);
    const char request[] = R"({"jsonrpc":"2.0","id":1,"method":"ReadPoint","params":[1,40001]})" "\n";
    ASSERT_EQ(::send(prepared, request, sizeof request - 1, 0), static_cast<ssize_t>(sizeof request - 1));
    QByteArray reply;
    const bool answered = QTest::qWaitFor([&] {
        char buffer[512];
        const ssize_t n = ::recv(prepared, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n > 0) reply.append(buffer, n);
        return reply.contains('\n');
    }, kPatienceMs);
    ::close(prepared);
    EXPECT_TRUE(answered);
    EXPECT_EQ(QJsonDocument::fromJson(reply.left(reply.indexOf('\n'))).object().value("result").toObject()
                  .value("value").toInt(), 1234);
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
