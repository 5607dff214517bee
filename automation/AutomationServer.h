// The automation methods served as JSON-RPC 2.0 over TCP on 127.0.0.1, one JSON object per line.
#pragma once

#include "automation/Automation.h"

#include <QByteArray>
#include <QHash>
#include <QObject>
#include <QString>

#include <functional>
#include <optional>
#include <string>

class QTcpServer;
class QTcpSocket;
class QJsonObject;
class QJsonValue;

/// The port to serve on: the option if given, else KELVARO64_AUTOMATION_PORT, else 8502;
/// 0 means off. nullopt with `error` set when the environment holds no port number.
std::optional<int> ResolveAutomationPort(std::optional<int> option, const char* environment, std::string& error);

/// The uid owning the client end (127.0.0.1:clientPort -> 127.0.0.1:serverPort) of a loopback
/// connection, from the text of /proc/net/tcp; nullopt when it is not listed.
std::optional<unsigned> LoopbackClientUid(const std::string& procNetTcp, quint16 clientPort, quint16 serverPort);

inline constexpr int kDefaultAutomationPort = 8502;
/// Longest request line; a longer one closes its connection.
inline constexpr qsizetype kMaxLineBytes = 64 * 1024;
/// Connections served at once; one more is told so and closed.
inline constexpr int kMaxConnections = 64;

namespace rpc {
inline constexpr int kParseError = -32700;
inline constexpr int kInvalidRequest = -32600;
inline constexpr int kMethodNotFound = -32601;
inline constexpr int kInvalidParams = -32602;
inline constexpr int kServerBusy = -32000;     // too many connections
inline constexpr int kOtherUser = -32001;      // a connection of another local user
}  // namespace rpc

/// Turns one request line into its reply line (without the newline). Empty for a notification.
class AutomationDispatcher {
public:
    AutomationDispatcher(DocumentAutomation& methods, std::function<void()> createDocument)
        : methods_(methods), createDocument_(std::move(createDocument)) {}
    QByteArray HandleLine(const QByteArray& line);

private:
    QJsonValue Call(const QString& method, const QJsonValue& params, int& errorCode, QString& errorMessage);
    DocumentAutomation& methods_;
    std::function<void()> createDocument_;
};

class AutomationServer : public QObject {
    Q_OBJECT
public:
    AutomationServer(DocumentAutomation& methods, std::function<void()> createDocument, QObject* parent = nullptr);
    ~AutomationServer() override;

    /// Listens on 127.0.0.1:port (0: a free port of the system's choice).
    bool Listen(quint16 port);
    quint16 Port() const;
    QString ErrorString() const;
    int ConnectionCount() const { return static_cast<int>(connections_.size()); }
    /// A connection of this user has been served (those refused do not count).
    bool EverConnected() const { return everConnected_; }

signals:
    /// The last connection is gone, after at least one came.
    void LastConnectionClosed();

private:
    struct Connection {
        QByteArray pending;     // bytes after the last complete line
        bool busy = false;      // a call is running (a nested event loop may deliver more data)
        bool closing = false;
    };
    void OnNewConnection();
    void Serve(QTcpSocket* socket);
    void Close(QTcpSocket* socket, const QByteArray& lastReply);
    void OnGone(QTcpSocket* socket);

    AutomationDispatcher dispatcher_;
    QTcpServer* server_;
    QHash<QTcpSocket*, Connection> connections_;
    bool everConnected_ = false;
};
