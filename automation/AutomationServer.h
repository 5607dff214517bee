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
class QJsonArray;
class FaultAutomation;
class ServerAutomation;
class CaptureAutomation;

/// The port to serve on: the option if given, else KELVARO64_AUTOMATION_PORT, else 8502;
/// 0 means off. nullopt with `error` set when the environment holds no port number.
std::optional<int> ResolveAutomationPort(std::optional<int> option, const char* environment, std::string& error);

/// The uid owning the client end (127.0.0.1:clientPort -> 127.0.0.1:serverPort) of a loopback
/// connection, from the text of /proc/net/tcp; nullopt when it is not listed. The server no longer
/// asks this (see TcpSocketOwner).
std::optional<unsigned> LoopbackClientUid(const std::string& procNetTcp, quint16 clientPort, quint16 serverPort);

/// The uid owning the TCP socket whose own address is `local` and whose peer is `remote` (IPv4 or
/// IPv6, the exact address pair), asked of the kernel's socket diagnostics for that one socket.
/// nullopt when the kernel does not know such a socket, or cannot be asked (not Linux).
std::optional<unsigned> TcpSocketOwner(const struct sockaddr* local, const struct sockaddr* remote);

inline constexpr int kDefaultAutomationPort = 8502;
/// Longest request line; a longer one closes its connection.
inline constexpr qsizetype kMaxLineBytes = 64 * 1024;
/// Connections served at once. When all are taken, the client idle longest makes room for a new
/// one if it has been idle for AutomationLimits::reclaimAfterIdleMs; otherwise the new one is
/// told so and closed.
inline constexpr int kMaxConnections = 64;

/// How long clients may hold a connection without using it. Times in milliseconds.
struct AutomationLimits {
    /// A client that neither sends nor takes a reply for this long is told so and closed.
    qint64 idleTimeoutMs = 10 * 60 * 1000;
    /// All connections taken: the longest-idle client idle at least this long is closed for a new one.
    qint64 reclaimAfterIdleMs = 2000;
    /// Unsent replies past this hold a client's further requests back until it reads.
    qint64 maxUnsentBytes = 1024 * 1024;
    /// A client held back that takes none of its replies for this long is closed at once.
    qint64 stalledOutputMs = 10 * 1000;
};

namespace rpc {
inline constexpr int kParseError = -32700;
inline constexpr int kInvalidRequest = -32600;
inline constexpr int kMethodNotFound = -32601;
inline constexpr int kInvalidParams = -32602;
inline constexpr int kServerBusy = -32000;     // too many connections
inline constexpr int kOtherUser = -32001;      // a connection of another local user
inline constexpr int kIdleClosed = -32002;     // closed after being idle (for too long, or for a new client)
}  // namespace rpc

/// Turns one request line into its reply line (without the newline). Empty for a notification.
class AutomationDispatcher {
public:
    AutomationDispatcher(DocumentAutomation& methods, std::function<void()> createDocument)
        : methods_(methods), createDocument_(std::move(createDocument)) {}
    QByteArray HandleLine(const QByteArray& line);
    /// The fault methods (LoadScenario, AddFault, ...); without them those are unknown methods.
    void SetFaultMethods(FaultAutomation* faults) { faults_ = faults; }
    /// The network-server methods (OpenServer, OpenEndpoint, CloseServer, ListServers).
    void SetServerMethods(ServerAutomation* servers) { servers_ = servers; }
    /// The capture methods (StartCapture, StopCapture, StartTrafficLog, StopTrafficLog).
    void SetCaptureMethods(CaptureAutomation* captures) { captures_ = captures; }

private:
    QJsonValue CallServer(const QString& method, const QJsonArray& params, int& errorCode, QString& errorMessage);
    QJsonValue CallCapture(const QString& method, const QJsonArray& params, int& errorCode, QString& errorMessage);
    QJsonValue CallFault(const QString& method, const QJsonArray& params, int& errorCode, QString& errorMessage);
    QJsonValue Call(const QString& method, const QJsonValue& params, int& errorCode, QString& errorMessage);
    DocumentAutomation& methods_;
    std::function<void()> createDocument_;
    FaultAutomation* faults_ = nullptr;
    ServerAutomation* servers_ = nullptr;
    CaptureAutomation* captures_ = nullptr;
};

class AutomationServer : public QObject {
    Q_OBJECT
public:
    AutomationServer(DocumentAutomation& methods, std::function<void()> createDocument, QObject* parent = nullptr);
    /// Serves the fault methods as well (they must outlive the server).
    void SetFaultMethods(FaultAutomation* faults) { dispatcher_.SetFaultMethods(faults); }
    /// Serves the network-server methods as well (they must outlive the server).
    void SetServerMethods(ServerAutomation* servers) { dispatcher_.SetServerMethods(servers); }
    /// Serves the capture methods as well (they must outlive the server).
    void SetCaptureMethods(CaptureAutomation* captures) { dispatcher_.SetCaptureMethods(captures); }
    ~AutomationServer() override;

    /// Listens on 127.0.0.1:port (0: a free port of the system's choice), and on [::1] with the
    /// same port number where that is free.
    bool Listen(quint16 port);
    quint16 Port() const;
    QString ErrorString() const;
    int ConnectionCount() const;
    /// A connection of this user has been served (those refused do not count).
    bool EverConnected() const { return everConnected_; }

    void SetLimits(const AutomationLimits& limits) { limits_ = limits; }
    /// The monotonic clock (milliseconds) idle times are measured with; tests put in their own.
    void SetClock(std::function<qint64()> nowMs);
    /// The idle timer's tick (every second while clients are connected): closes idle and stalled
    /// clients.
    void Sweep();

signals:
    /// The last connection is gone, after at least one came.
    void LastConnectionClosed();

private:
    struct Connection {
        QByteArray pending;     // bytes after the last complete line
        bool busy = false;      // a call is running (a nested event loop may deliver more data)
        bool closing = false;
        qint64 lastActive = 0;  // the last request bytes in or reply bytes taken
        qint64 heldSince = -1;  // since when replies past the bound wait unread; -1: none
        qint64 closingSince = -1;  // since when a last notice waits to be taken
    };
    void OnNewConnection(QTcpServer* listener);
    void OnAcceptError(QTcpServer* listener);
    /// All slots taken: closes the longest-idle client if it may make room. True when it did.
    bool Reclaim();
    /// Closes a client with a last notice, or at once when replies already wait unread.
    void Drop(QTcpSocket* socket, const QString& why);
    void Serve(QTcpSocket* socket);
    void Close(QTcpSocket* socket, const QByteArray& lastReply);
    void OnGone(QTcpSocket* socket);

    AutomationDispatcher dispatcher_;
    QTcpServer* server_;   // 127.0.0.1
    QTcpServer* server6_;  // [::1], when available
    QHash<QTcpSocket*, Connection> connections_;
    bool everConnected_ = false;
    AutomationLimits limits_;
    std::function<qint64()> now_;
    class QTimer* sweep_;
};
