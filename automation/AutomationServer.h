// The automation methods served as JSON-RPC 2.0 over TCP on 127.0.0.1, one JSON object per line:
// the line server frames requests and replies; the methods are the registry's.
#pragma once

#include "automation/MethodRegistry.h"

#include <QByteArray>
#include <QHash>
#include <QObject>
#include <QString>

#include <functional>
#include <memory>
#include <optional>
#include <string>

class QTcpServer;
class QTcpSocket;

/// The port to serve on: the option if given, else KELVARO64_AUTOMATION_PORT, else 8502;
/// 0 means off. nullopt with `error` set when the environment holds no port number.
std::optional<int> ResolveAutomationPort(std::optional<int> option, const char* environment, std::string& error);

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

class AutomationServer : public QObject {
    Q_OBJECT
public:
    /// Serves the methods of `methods` (what they call must outlive the server).
    explicit AutomationServer(std::shared_ptr<const MethodRegistry> methods, QObject* parent = nullptr);
    /// The methods served.
    const MethodRegistry& Methods() const { return *methods_; }
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

    std::shared_ptr<const MethodRegistry> methods_;
    QTcpServer* server_;   // 127.0.0.1
    QTcpServer* server6_;  // [::1], when available
    QHash<QTcpSocket*, Connection> connections_;
    bool everConnected_ = false;
    AutomationLimits limits_;
    std::function<qint64()> now_;
    class QTimer* sweep_;
};
