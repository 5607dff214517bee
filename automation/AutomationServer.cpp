#include "automation/AutomationServer.h"


#include <QCoreApplication>
#include <QHostAddress>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <limits>
#include <memory>

#ifdef __linux__
#include <unistd.h>
#endif

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

// ---- Who connects -------------------------------------------------------------------------------

std::optional<unsigned> LoopbackClientUid(const std::string& procNetTcp, quint16 clientPort, quint16 serverPort) {
    // "  1: 0100007F:B2FC 0100007F:1F4A 01 00000000:00000000 00:00000000 00000000  1000 ..."
    //        local (client)  remote (us)                                           uid
    std::istringstream lines(procNetTcp);
    std::string line;
    std::getline(lines, line);   // header
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state, queues, timer, retransmits;
        unsigned uid = 0;
        if (!(fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid))
            continue;
        const auto split = [](const std::string& endpoint, std::string& ip, unsigned& port) {
            const auto colon = endpoint.find(':');
            if (colon == std::string::npos) return false;
            ip = endpoint.substr(0, colon);
            const char* first = endpoint.data() + colon + 1;
            const char* last = endpoint.data() + endpoint.size();
            return std::from_chars(first, last, port, 16).ec == std::errc();
        };
        std::string localIp, remoteIp;
        unsigned localPort = 0, remotePort = 0;
        if (!split(local, localIp, localPort) || !split(remote, remoteIp, remotePort))
            continue;
        // Both ends are 127.0.0.1, whatever byte order the kernel prints it in.
        if (localPort == clientPort && remotePort == serverPort && localIp == remoteIp)
            return uid;
    }
    return std::nullopt;
}

namespace {

/// True only when the client end is known to belong to another user.
bool FromAnotherUser(const QTcpSocket* socket) {
#ifdef __linux__
    std::ifstream file("/proc/net/tcp");
    if (!file)
        return false;
    const std::string table((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    const auto uid = LoopbackClientUid(table, socket->peerPort(), socket->localPort());
    return uid && *uid != static_cast<unsigned>(::geteuid());
#else
    (void)socket;
    return false;
#endif
}

}  // namespace

// ---- Parameters ---------------------------------------------------------------------------------

namespace {

/// Reads the parameters of one call in order; the first fault is kept.
class Params {
public:
    explicit Params(const QJsonArray& array) : array_(array) {}

    /// 16-bit integer: -32768..65535, keeps the low 16 bits.
    std::uint16_t Word(const char* name) {
        const double v = Integer(name, -32768.0, 65535.0);
        return static_cast<std::uint16_t>(static_cast<std::int32_t>(v) & 0xFFFF);
    }
    std::int16_t Short(const char* name) { return static_cast<std::int16_t>(Word(name)); }
    std::int32_t Long(const char* name) {
        return static_cast<std::int32_t>(Integer(name, std::numeric_limits<std::int32_t>::min(),
                                                 std::numeric_limits<std::int32_t>::max()));
    }
    /// true/false, or a number (true when not 0).
    bool Bool(const char* name) {
        const QJsonValue v = Next();
        if (v.isBool()) return v.toBool();
        if (v.isDouble()) return v.toDouble() != 0.0;
        Fail(name, "a boolean");
        return false;
    }
    /// A 32-bit float: any JSON number within float range, or "NaN", "Infinity", "-Infinity".
    float Float(const char* name) {
        const QJsonValue v = Next();
        if (v.isDouble()) {
            const double d = v.toDouble();
            const float f = static_cast<float>(d);
            if (std::isfinite(d) && std::isfinite(f)) return f;
            Fail(name, "a number within the range of a 32-bit float");
            return 0.0f;
        }
        if (v.isString()) {
            const QString s = v.toString();
            if (s == QLatin1String("NaN")) return std::numeric_limits<float>::quiet_NaN();
            if (s == QLatin1String("Infinity")) return std::numeric_limits<float>::infinity();
            if (s == QLatin1String("-Infinity")) return -std::numeric_limits<float>::infinity();
        }
        Fail(name, "a number");
        return 0.0f;
    }

    bool Ok() const { return error_.isEmpty(); }
    const QString& Error() const { return error_; }

private:
    QJsonValue Next() { return index_ < array_.size() ? array_.at(index_++) : QJsonValue(); }
    double Integer(const char* name, double low, double high) {
        const QJsonValue v = Next();
        const double d = v.isDouble() ? v.toDouble() : std::nan("");
        if (!(d >= low && d <= high) || std::trunc(d) != d) {
            Fail(name, QStringLiteral("an integer from %1 to %2").arg(low, 0, 'f', 0).arg(high, 0, 'f', 0));
            return 0.0;
        }
        return d;
    }
    void Fail(const char* name, const QString& wanted) {
        if (error_.isEmpty())
            error_ = QStringLiteral("%1 must be %2").arg(QLatin1String(name), wanted);
    }
    QJsonArray array_;
    qsizetype index_ = 0;
    QString error_;
};

struct MethodInfo {
    const char* name;
    int paramCount;
};
constexpr MethodInfo kMethods[] = {
    {"ReadPoint", 2},   {"WritePoint", 3},   {"EnableSlave", 2},   {"ReadFloat", 3},     {"WriteFloat", 4},
    {"ReadPointEx", 3}, {"WritePointEx", 4}, {"ReadFloatEx", 4},   {"WriteFloatEx", 5},  {"CreateDocument", 0},
};

const MethodInfo* FindMethod(const QString& name) {
    for (const MethodInfo& m : kMethods)
        if (name == QLatin1String(m.name)) return &m;
    return nullptr;
}

QJsonObject Status(int status) { return QJsonObject{{"status", status}}; }
QJsonObject Status(int status, std::uint16_t value) { return QJsonObject{{"status", status}, {"value", value}}; }

/// A float as the shortest decimal that reads back to the same float; JSON has no NaN or
/// infinity, so those travel as the strings JavaScript and Python print for them.
QJsonValue FloatValue(float value) {
    if (std::isnan(value)) return QStringLiteral("NaN");
    if (std::isinf(value)) return value > 0 ? QStringLiteral("Infinity") : QStringLiteral("-Infinity");
    char text[32];
    const auto [end, ec] = std::to_chars(text, text + sizeof text, value);
    if (ec != std::errc()) return static_cast<double>(value);
    return std::strtod(std::string(text, end).c_str(), nullptr);
}

QJsonObject Status(int status, float value) { return QJsonObject{{"status", status}, {"value", FloatValue(value)}}; }

QByteArray Reply(const QJsonValue& id, const QJsonValue& result) {
    const QJsonObject reply{{"jsonrpc", "2.0"}, {"id", id}, {"result", result}};
    return QJsonDocument(reply).toJson(QJsonDocument::Compact);
}

QByteArray ErrorReply(const QJsonValue& id, int code, const QString& message) {
    const QJsonObject reply{{"jsonrpc", "2.0"}, {"id", id}, {"error", QJsonObject{{"code", code}, {"message", message}}}};
    return QJsonDocument(reply).toJson(QJsonDocument::Compact);
}

}  // namespace

// ---- Dispatch -----------------------------------------------------------------------------------

QJsonValue AutomationDispatcher::Call(const QString& method, const QJsonValue& params, int& errorCode,
                                      QString& errorMessage) {
    const MethodInfo* info = FindMethod(method);
    if (!info) {
        errorCode = rpc::kMethodNotFound;
        errorMessage = QStringLiteral("Method not found: %1").arg(method);
        return {};
    }
    if (!(params.isArray() || (params.isUndefined() && info->paramCount == 0))) {
        errorCode = rpc::kInvalidParams;
        errorMessage = QStringLiteral("params must be an array of %1 values").arg(info->paramCount);
        return {};
    }
    const QJsonArray array = params.toArray();
    if (array.size() != info->paramCount) {
        errorCode = rpc::kInvalidParams;
        errorMessage = QStringLiteral("%1 takes %2 parameters, %3 given").arg(method).arg(info->paramCount).arg(array.size());
        return {};
    }

    Params p(array);
    QJsonValue result;
    const auto invalid = [&] {
        errorCode = rpc::kInvalidParams;
        errorMessage = p.Error();
        return QJsonValue();
    };
    if (method == QLatin1String("ReadPoint")) {
        const auto id = p.Short("device id");
        const auto ref = p.Long("reference");
        if (!p.Ok()) return invalid();
        std::uint16_t value = 0;
        const int status = methods_.ReadPoint(id, ref, value);
        return Status(status, value);
    }
    if (method == QLatin1String("WritePoint")) {
        const auto id = p.Short("device id");
        const auto ref = p.Long("reference");
        const auto value = p.Word("value");
        if (!p.Ok()) return invalid();
        return Status(methods_.WritePoint(id, ref, value));
    }
    if (method == QLatin1String("EnableSlave")) {
        const auto id = p.Short("device id");
        const bool enable = p.Bool("enable");
        if (!p.Ok()) return invalid();
        methods_.EnableSlave(id, enable);
        return Status(kAutomationOk);
    }
    if (method == QLatin1String("ReadFloat")) {
        const auto id = p.Short("device id");
        const auto ref = p.Long("reference");
        const bool swapped = p.Bool("swapped");
        if (!p.Ok()) return invalid();
        float value = 0.0f;
        const int status = methods_.ReadFloat(id, ref, value, swapped);
        return Status(status, status == kAutomationOk ? value : 0.0f);
    }
    if (method == QLatin1String("WriteFloat")) {
        const auto id = p.Short("device id");
        const auto ref = p.Long("reference");
        const float value = p.Float("value");
        const bool swapped = p.Bool("swapped");
        if (!p.Ok()) return invalid();
        return Status(methods_.WriteFloat(id, ref, value, swapped));
    }
    if (method == QLatin1String("ReadPointEx")) {
        const auto id = p.Short("device id");
        const auto type = p.Short("point type");
        const auto address = p.Word("address");
        if (!p.Ok()) return invalid();
        std::uint16_t value = 0;
        const int status = methods_.ReadPointEx(id, type, address, value);
        return Status(status, value);
    }
    if (method == QLatin1String("WritePointEx")) {
        const auto id = p.Short("device id");
        const auto type = p.Short("point type");
        const auto address = p.Word("address");
        const auto value = p.Word("value");
        if (!p.Ok()) return invalid();
        return Status(methods_.WritePointEx(id, type, address, value));
    }
    if (method == QLatin1String("ReadFloatEx")) {
        const auto id = p.Short("device id");
        const auto type = p.Short("point type");
        const auto address = p.Word("address");
        const bool swapped = p.Bool("swapped");
        if (!p.Ok()) return invalid();
        float value = 0.0f;
        const int status = methods_.ReadFloatEx(id, type, address, value, swapped);
        return Status(status, status == kAutomationOk ? value : 0.0f);
    }
    if (method == QLatin1String("WriteFloatEx")) {
        const auto id = p.Short("device id");
        const auto type = p.Short("point type");
        const auto address = p.Word("address");
        const float value = p.Float("value");
        const bool swapped = p.Bool("swapped");
        if (!p.Ok()) return invalid();
        return Status(methods_.WriteFloatEx(id, type, address, value, swapped));
    }
    // CreateDocument: a new document with its window, as a create request of a client makes.
    if (createDocument_) createDocument_();
    return Status(kAutomationOk);
}

QByteArray AutomationDispatcher::HandleLine(const QByteArray& line) {
    QJsonParseError parseError;
    const QJsonDocument doc = QJsonDocument::fromJson(line, &parseError);
    if (parseError.error != QJsonParseError::NoError)
        return ErrorReply(QJsonValue::Null, rpc::kParseError, QStringLiteral("Parse error: %1").arg(parseError.errorString()));
    if (!doc.isObject())
        return ErrorReply(QJsonValue::Null, rpc::kInvalidRequest, QStringLiteral("Invalid Request: one JSON object per line"));
    const QJsonObject request = doc.object();
    const QJsonValue idValue = request.value(QLatin1String("id"));
    const bool notification = idValue.isUndefined();
    const QJsonValue id = notification ? QJsonValue(QJsonValue::Null) : idValue;
    if (!(id.isNull() || id.isString() || id.isDouble()))
        return ErrorReply(QJsonValue::Null, rpc::kInvalidRequest, QStringLiteral("Invalid Request: id must be a string, a number or null"));
    if (request.value(QLatin1String("jsonrpc")) != QJsonValue(QStringLiteral("2.0")))
        return ErrorReply(id, rpc::kInvalidRequest, QStringLiteral("Invalid Request: \"jsonrpc\" must be \"2.0\""));
    const QJsonValue method = request.value(QLatin1String("method"));
    if (!method.isString())
        return ErrorReply(id, rpc::kInvalidRequest, QStringLiteral("Invalid Request: \"method\" must be a string"));

    int errorCode = 0;
    QString errorMessage;
    const QJsonValue result = Call(method.toString(), request.value(QLatin1String("params")), errorCode, errorMessage);
    if (notification)
        return {};
    if (errorCode != 0)
        return ErrorReply(id, errorCode, errorMessage);
    return Reply(id, result);
}

// ---- Server -------------------------------------------------------------------------------------

namespace {
// Replies a client does not read are not piled up without end: past this, its requests wait.
constexpr qint64 kMaxUnsentBytes = 1024 * 1024;
// Qt stops reading from the system beyond this, so a client cannot make us buffer more.
constexpr qint64 kSocketReadBuffer = 2 * kMaxLineBytes;
}  // namespace

AutomationServer::AutomationServer(DocumentAutomation& methods, std::function<void()> createDocument, QObject* parent)
    : QObject(parent), dispatcher_(methods, std::move(createDocument)), server_(new QTcpServer(this)) {
    connect(server_, &QTcpServer::newConnection, this, &AutomationServer::OnNewConnection);
}

AutomationServer::~AutomationServer() {
    // Our sockets are children of the server object; stop them reporting into a half-gone object.
    for (auto it = connections_.begin(); it != connections_.end(); ++it)
        it.key()->disconnect(this);
}

bool AutomationServer::Listen(quint16 port) {
    return server_->listen(QHostAddress::LocalHost, port);
}

quint16 AutomationServer::Port() const { return server_->serverPort(); }

QString AutomationServer::ErrorString() const { return server_->errorString(); }

void AutomationServer::OnNewConnection() {
    while (QTcpSocket* socket = server_->nextPendingConnection()) {
        socket->setParent(this);
        if (connections_.size() >= kMaxConnections) {
            socket->write(ErrorReply(QJsonValue::Null, rpc::kServerBusy,
                                     QStringLiteral("Too many automation connections (%1)").arg(kMaxConnections)) + '\n');
            socket->disconnectFromHost();
            connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            continue;
        }
        if (FromAnotherUser(socket)) {
            // Loopback keeps other machines out; this keeps other users of this one out.
            socket->write(ErrorReply(QJsonValue::Null, rpc::kOtherUser,
                                     QStringLiteral("Connections of other users are refused")) + '\n');
            socket->disconnectFromHost();
            connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            continue;
        }
        everConnected_ = true;
        connections_.insert(socket, Connection{});
        socket->setReadBufferSize(kSocketReadBuffer);
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { Serve(socket); });
        connect(socket, &QTcpSocket::bytesWritten, this, [this, socket] { Serve(socket); });
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] { OnGone(socket); });
        Serve(socket);
    }
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
        if (socket->bytesToWrite() > kMaxUnsentBytes)
            break;
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
                Close(socket, ErrorReply(QJsonValue::Null, rpc::kInvalidRequest,
                                         QStringLiteral("Line longer than %1 bytes").arg(kMaxLineBytes)));
                return;
            }
            break;
        }
        QByteArray line = c.pending.left(newline);
        c.pending.remove(0, newline + 1);
        if (line.size() > kMaxLineBytes) {
            c.busy = false;
            Close(socket, ErrorReply(QJsonValue::Null, rpc::kInvalidRequest,
                                     QStringLiteral("Line longer than %1 bytes").arg(kMaxLineBytes)));
            return;
        }
        if (line.trimmed().isEmpty())
            continue;
        // The call may run a nested event loop (a new window); `c` may not survive it.
        const QByteArray reply = dispatcher_.HandleLine(line);
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
