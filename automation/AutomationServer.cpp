#include "automation/AutomationServer.h"

#include "automation/JsonRpc.h"
#include "automation/MethodRegistry.h"
#include "automation/PeerOwner.h"

#include <QElapsedTimer>
#include <QHostAddress>
#include <QJsonValue>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <charconv>
#include <memory>

// ---- Port ---------------------------------------------------------------------------------------

std::optional<int> ResolveAutomationPort(std::optional<int> option, const char* environment, std::string& error) {
    error.clear();
    if (option)
        return *option;
    if (!environment || !*environment)
        return kDefaultAutomationPort;
    const std::string text(environment);
    int port = -1;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), port);
    if (ec != std::errc() || end != text.data() + text.size() || port < 0 || port > 65535) {
        error = "KELVARO64_AUTOMATION_PORT is not a port number (0 to 65535): \"" + text + "\"";
        return std::nullopt;
    }
    return port;
}

// ---- Server -------------------------------------------------------------------------------------

namespace {
// Qt stops reading from the system beyond this, so a client cannot make us buffer more.
constexpr qint64 kSocketReadBuffer = 2 * kMaxLineBytes;
// Out of descriptors: accepting waits this long instead of failing again at once.
constexpr int kAcceptPauseMs = 200;
}  // namespace

AutomationServer::AutomationServer(std::shared_ptr<const MethodRegistry> methods, QObject* parent)
    : QObject(parent), methods_(std::move(methods)), server_(new QTcpServer(this)),
      server6_(new QTcpServer(this)), sweep_(new QTimer(this)) {
    for (QTcpServer* listener : {server_, server6_}) {
        connect(listener, &QTcpServer::newConnection, this, [this, listener] { OnNewConnection(listener); });
        connect(listener, &QTcpServer::acceptError, this, [this, listener] { OnAcceptError(listener); });
    }
    SetClock({});
    sweep_->setInterval(1000);
    connect(sweep_, &QTimer::timeout, this, &AutomationServer::Sweep);
}

AutomationServer::~AutomationServer() {
    // Our sockets are children of the server object; stop them reporting into a half-gone object.
    for (auto it = connections_.begin(); it != connections_.end(); ++it)
        it.key()->disconnect(this);
}

void AutomationServer::SetClock(std::function<qint64()> nowMs) {
    if (nowMs) {
        now_ = std::move(nowMs);
        return;
    }
    auto clock = std::make_shared<QElapsedTimer>();
    clock->start();
    now_ = [clock] { return clock->elapsed(); };
}

bool AutomationServer::Listen(quint16 port) {
    if (!server_->listen(QHostAddress::LocalHost, port))
        return false;
    // Also on ::1, for clients that say "localhost" and resolve it there first, and so that no
    // other local user can take ::1 with our port number and hear them. Optional: a machine
    // without IPv6, or ::1 with this port already taken, still serves on 127.0.0.1.
    server6_->listen(QHostAddress::LocalHostIPv6, server_->serverPort());
    return true;
}

quint16 AutomationServer::Port() const { return server_->serverPort(); }

QString AutomationServer::ErrorString() const { return server_->errorString(); }

void AutomationServer::OnAcceptError(QTcpServer* listener) {
    // Out of descriptors (or another resource): the waiting connection stays queued in the
    // system. Try again in a moment instead of at every turn of the event loop.
    listener->pauseAccepting();
    QTimer::singleShot(kAcceptPauseMs, listener, [listener] { listener->resumeAccepting(); });
}

void AutomationServer::OnNewConnection(QTcpServer* listener) {
    while (QTcpSocket* socket = listener->nextPendingConnection()) {
        socket->setParent(this);
        // Other users first: they must never take a slot or make anyone else's room.
        if (!ConnectionIsOwnUser(static_cast<int>(socket->socketDescriptor()))) {
            // Loopback keeps other machines out; this keeps other users of this one out.
            socket->write(JsonRpcError(QJsonValue::Null, rpc::kOtherUser,
                                     QStringLiteral("Connections of other users are refused")) + '\n');
            socket->disconnectFromHost();
            connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            continue;
        }
        if (ConnectionCount() >= kMaxConnections && !Reclaim()) {
            socket->write(JsonRpcError(QJsonValue::Null, rpc::kServerBusy,
                                     QStringLiteral("Too many automation connections (%1)").arg(kMaxConnections)) + '\n');
            socket->disconnectFromHost();
            connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            continue;
        }
        everConnected_ = true;
        Connection connection;
        connection.lastActive = now_();
        connections_.insert(socket, connection);
        socket->setReadBufferSize(kSocketReadBuffer);
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] {
            if (auto it = connections_.find(socket); it != connections_.end())
                it->lastActive = now_();
            Serve(socket);
        });
        connect(socket, &QTcpSocket::bytesWritten, this, [this, socket] {
            if (auto it = connections_.find(socket); it != connections_.end()) {
                it->lastActive = now_();
                it->heldSince = -1;
            }
            Serve(socket);
        });
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] { OnGone(socket); });
        if (!sweep_->isActive())
            sweep_->start();
        Serve(socket);
    }
}

int AutomationServer::ConnectionCount() const {
    // A client being closed no longer holds a slot.
    int count = 0;
    for (const Connection& c : connections_)
        count += c.closing ? 0 : 1;
    return count;
}

bool AutomationServer::Reclaim() {
    QTcpSocket* idlest = nullptr;
    qint64 since = 0;
    for (auto it = connections_.cbegin(); it != connections_.cend(); ++it) {
        if (it->closing || it->busy)
            continue;
        if (!idlest || it->lastActive < since) {
            idlest = it.key();
            since = it->lastActive;
        }
    }
    if (!idlest || now_() - since < limits_.reclaimAfterIdleMs)
        return false;
    Drop(idlest, QStringLiteral("Closed after %1 ms without a call, to make room for a new connection")
                     .arg(now_() - since));
    return true;
}

void AutomationServer::Drop(QTcpSocket* socket, const QString& why) {
    auto it = connections_.find(socket);
    if (it == connections_.end() || it->closing)
        return;
    if (socket->bytesToWrite() > 0) {
        // Replies already wait unread: a notice behind them would never arrive.
        it->closing = true;
        it->closingSince = -1;
        socket->abort();  // may report the disconnection at once
        return;
    }
    Close(socket, JsonRpcError(QJsonValue::Null, rpc::kIdleClosed, why));
}

void AutomationServer::Sweep() {
    const qint64 now = now_();
    QList<QPointer<QTcpSocket>> stalled, idle;
    for (auto it = connections_.cbegin(); it != connections_.cend(); ++it) {
        if (it->closing && it->closingSince >= 0 && now - it->closingSince >= limits_.stalledOutputMs)
            stalled.append(it.key());  // its last notice was never taken
        if (it->closing || it->busy)
            continue;
        if (it->heldSince >= 0 && now - it->heldSince >= limits_.stalledOutputMs)
            stalled.append(it.key());
        else if (now - it->lastActive >= limits_.idleTimeoutMs)
            idle.append(it.key());
    }
    for (const QPointer<QTcpSocket>& socket : stalled)
        if (socket) {
            if (auto it = connections_.find(socket); it != connections_.end()) {
                it->closing = true;
                it->closingSince = -1;
                socket->abort();
            }
        }
    for (const QPointer<QTcpSocket>& socket : idle)
        if (socket)
            Drop(socket, QStringLiteral("Closed after %1 ms without a call").arg(limits_.idleTimeoutMs));
    if (connections_.isEmpty())
        sweep_->stop();
}

void AutomationServer::Serve(QTcpSocket* socket) {
    auto it = connections_.find(socket);
    if (it == connections_.end() || it->busy || it->closing)
        return;
    QPointer<QTcpSocket> guard(socket);
    it->busy = true;
    for (;;) {
        it = connections_.find(socket);
        if (!guard || it == connections_.end())
            return;
        if (socket->bytesToWrite() > limits_.maxUnsentBytes) {
            // Held back until the client takes some of its replies; the sweep closes it if it never does.
            if (it->heldSince < 0)
                it->heldSince = now_();
            break;
        }
        Connection& c = *it;
        qsizetype newline = c.pending.indexOf('\n');
        if (newline < 0) {
            // Read only up to one line past the limit: never more than that is held.
            const qint64 room = kMaxLineBytes + 1 - c.pending.size();
            if (room > 0 && socket->bytesAvailable() > 0) {
                const qsizetype before = c.pending.size();
                c.pending += socket->read(room);
                newline = c.pending.indexOf('\n', before);
            }
        }
        if (newline < 0) {
            if (c.pending.size() > kMaxLineBytes) {
                c.busy = false;
                Close(socket, JsonRpcError(QJsonValue::Null, rpc::kInvalidRequest,
                                         QStringLiteral("Line longer than %1 bytes").arg(kMaxLineBytes)));
                return;
            }
            break;
        }
        QByteArray line = c.pending.left(newline);
        c.pending.remove(0, newline + 1);
        if (line.size() > kMaxLineBytes) {
            c.busy = false;
            Close(socket, JsonRpcError(QJsonValue::Null, rpc::kInvalidRequest,
                                     QStringLiteral("Line longer than %1 bytes").arg(kMaxLineBytes)));
            return;
        }
        if (line.trimmed().isEmpty())
            continue;
        // The call may run a nested event loop (a new window); `c` may not survive it.
        const QByteArray reply = HandleJsonRpc(*methods_, line);
        if (!guard || !connections_.contains(socket))
            return;
        if (!reply.isEmpty())
            socket->write(reply + '\n');
    }
    it = connections_.find(socket);
    if (it != connections_.end())
        it->busy = false;
}

void AutomationServer::Close(QTcpSocket* socket, const QByteArray& lastReply) {
    auto it = connections_.find(socket);
    if (it == connections_.end())
        return;
    it->closing = true;
    it->closingSince = now_();
    it->pending.clear();
    socket->write(lastReply + '\n');
    socket->disconnectFromHost();
}

void AutomationServer::OnGone(QTcpSocket* socket) {
    if (connections_.remove(socket) == 0)
        return;
    socket->deleteLater();
    if (connections_.isEmpty() && everConnected_)
        emit LastConnectionClosed();
}
