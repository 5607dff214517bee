#include "automation/AutomationServer.h"

#include "automation/FaultAutomation.h"
#include "automation/ServerAutomation.h"
#include "automation/CaptureAutomation.h"


#include <QCoreApplication>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <limits>
#include <memory>

#ifdef __linux__
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
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

#ifdef __linux__
namespace {

// An address of either family as the socket-diagnostics query wants it: the port in network
// order and the address in four 32-bit words (IPv4 in the first). An IPv4-mapped IPv6 address is
// taken as the IPv4 address it carries, so both spellings of one connection compare equal.
struct DiagEndpoint {
    int family = AF_UNSPEC;
    std::uint16_t port = 0;  // network order
    std::uint32_t address[4] = {0, 0, 0, 0};

    static std::optional<DiagEndpoint> From(const sockaddr* a) {
        DiagEndpoint e;
        if (a->sa_family == AF_INET) {
            const auto* v4 = reinterpret_cast<const sockaddr_in*>(a);
            e.family = AF_INET;
            e.port = v4->sin_port;
            std::memcpy(e.address, &v4->sin_addr, 4);
            return e;
        }
        if (a->sa_family == AF_INET6) {
            const auto* v6 = reinterpret_cast<const sockaddr_in6*>(a);
            e.port = v6->sin6_port;
            if (IN6_IS_ADDR_V4MAPPED(&v6->sin6_addr)) {
                e.family = AF_INET;
                std::memcpy(e.address, v6->sin6_addr.s6_addr + 12, 4);
            } else {
                e.family = AF_INET6;
                std::memcpy(e.address, &v6->sin6_addr, 16);
            }
            return e;
        }
        return std::nullopt;
    }
    static DiagEndpoint From(int family, std::uint16_t port, const std::uint32_t (&words)[4]) {
        DiagEndpoint e;
        e.family = family;
        e.port = port;
        if (family == AF_INET6 && IN6_IS_ADDR_V4MAPPED(reinterpret_cast<const in6_addr*>(words))) {
            e.family = AF_INET;
            e.address[0] = words[3];
        } else if (family == AF_INET) {
            e.address[0] = words[0];
        } else {
            std::memcpy(e.address, words, 16);
        }
        return e;
    }
    bool operator==(const DiagEndpoint& o) const {
        return family == o.family && port == o.port && std::memcmp(address, o.address, sizeof address) == 0;
    }
};

struct FileCloser {
    int fd;
    ~FileCloser() { if (fd >= 0) ::close(fd); }
};

}  // namespace

std::optional<unsigned> TcpSocketOwner(const sockaddr* local, const sockaddr* remote) {
    const auto self = DiagEndpoint::From(local);
    const auto peer = DiagEndpoint::From(remote);
    if (!self || !peer || self->family != peer->family)
        return std::nullopt;
    // One request for one socket (no dump): the kernel looks the 4-tuple up in its connection
    // table, whatever the addresses and however many sockets are open.
    struct {
        nlmsghdr header;
        inet_diag_req_v2 request;
    } query{};
    query.header.nlmsg_len = sizeof query;
    query.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    query.header.nlmsg_flags = NLM_F_REQUEST;
    query.header.nlmsg_seq = 1;
    query.request.sdiag_family = static_cast<std::uint8_t>(self->family);
    query.request.sdiag_protocol = IPPROTO_TCP;
    query.request.idiag_states = ~0u;
    query.request.id.idiag_sport = self->port;
    query.request.id.idiag_dport = peer->port;
    std::memcpy(query.request.id.idiag_src, self->address, sizeof self->address);
    std::memcpy(query.request.id.idiag_dst, peer->address, sizeof peer->address);
    query.request.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
    query.request.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;

    const FileCloser diag{::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG)};
    if (diag.fd < 0)
        return std::nullopt;
    // The kernel answers within the send; the time limit only guards against the unexpected.
    const timeval patience{1, 0};
    ::setsockopt(diag.fd, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    if (::sendto(diag.fd, &query, sizeof query, 0, reinterpret_cast<const sockaddr*>(&kernel), sizeof kernel) !=
        static_cast<ssize_t>(sizeof query))
        return std::nullopt;
    alignas(nlmsghdr) char answer[8192];
    const ssize_t size = ::recv(diag.fd, answer, sizeof answer, 0);
    if (size <= 0)
        return std::nullopt;
    int left = static_cast<int>(size);
    for (auto* h = reinterpret_cast<const nlmsghdr*>(answer); NLMSG_OK(h, left); h = NLMSG_NEXT(h, left)) {
        if (h->nlmsg_type != SOCK_DIAG_BY_FAMILY || h->nlmsg_len < NLMSG_LENGTH(sizeof(inet_diag_msg)))
            return std::nullopt;  // an error (no such socket) or something unexpected
        const auto* msg = static_cast<const inet_diag_msg*>(NLMSG_DATA(h));
        // Trust only an answer about exactly this socket, and only a live one: a socket in
        // TIME-WAIT or a half-made one reports no owner (uid 0).
        constexpr int kTimeWait = 6, kNewSynRecv = 12;
        if (msg->idiag_state == kTimeWait || msg->idiag_state == kNewSynRecv)
            return std::nullopt;
        if (!(DiagEndpoint::From(msg->idiag_family, msg->id.idiag_sport, msg->id.idiag_src) == *self) ||
            !(DiagEndpoint::From(msg->idiag_family, msg->id.idiag_dport, msg->id.idiag_dst) == *peer))
            return std::nullopt;
        return msg->idiag_uid;
    }
    return std::nullopt;
}

namespace {

/// True unless the client end is known to belong to this process's user: a client whose owner
/// cannot be found is refused.
bool FromAnotherUser(const QTcpSocket* socket) {
    sockaddr_storage server{}, client{};
    socklen_t serverSize = sizeof server, clientSize = sizeof client;
    const int fd = static_cast<int>(socket->socketDescriptor());
    if (fd < 0 || ::getsockname(fd, reinterpret_cast<sockaddr*>(&server), &serverSize) != 0 ||
        ::getpeername(fd, reinterpret_cast<sockaddr*>(&client), &clientSize) != 0)
        return true;
    // The client's socket is the mirror of ours: its own address is our peer.
    const auto uid = TcpSocketOwner(reinterpret_cast<const sockaddr*>(&client), reinterpret_cast<const sockaddr*>(&server));
    return !uid || *uid != static_cast<unsigned>(::geteuid());
}

}  // namespace
#else
std::optional<unsigned> TcpSocketOwner(const struct sockaddr*, const struct sockaddr*) { return std::nullopt; }

namespace {
// No way to ask who owns a loopback client here: loopback alone keeps other machines out.
bool FromAnotherUser(const QTcpSocket*) { return false; }
}  // namespace
#endif

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
    // Fault injection.
    {"LoadScenario", 1}, {"AddFault", 1},    {"RemoveFault", 1},   {"EnableFault", 2},   {"ListFaults", 0},
    {"ClearFaults", 0},
};
constexpr int kFirstFaultMethod = 10;

const MethodInfo* FindMethod(const QString& name, bool faults) {
    const int count = faults ? static_cast<int>(std::size(kMethods)) : kFirstFaultMethod;
    for (int i = 0; i < count; ++i)
        if (name == QLatin1String(kMethods[i].name)) return &kMethods[i];
    return nullptr;
}

bool IsFaultMethod(const MethodInfo* m) { return m >= kMethods + kFirstFaultMethod; }

// Network servers, served when the program hands them over.
constexpr MethodInfo kServerMethods[] = {
    {"OpenServer", 3}, {"OpenEndpoint", 1}, {"CloseServer", 1}, {"ListServers", 0},
};

const MethodInfo* FindServerMethod(const QString& name) {
    for (const MethodInfo& m : kServerMethods)
        if (name == QLatin1String(m.name)) return &m;
    return nullptr;
}

bool IsServerMethod(const MethodInfo* m) {
    for (const MethodInfo& s : kServerMethods)
        if (m == &s) return true;
    return false;
}

// Captures and traffic logs, served when the program hands them over.
constexpr MethodInfo kCaptureMethods[] = {
    {"StartCapture", 1}, {"StopCapture", 0}, {"StartTrafficLog", 1}, {"StopTrafficLog", 0},
};

const MethodInfo* FindCaptureMethod(const QString& name) {
    for (const MethodInfo& m : kCaptureMethods)
        if (name == QLatin1String(m.name)) return &m;
    return nullptr;
}

bool IsCaptureMethod(const MethodInfo* m) { return m >= std::begin(kCaptureMethods) && m < std::end(kCaptureMethods); }

// Between Qt's JSON and the plain code's.
nlohmann::json ToPlain(const QJsonObject& object) {
    return nlohmann::json::parse(QJsonDocument(object).toJson(QJsonDocument::Compact).toStdString(), nullptr, false);
}

QJsonValue FromPlain(const nlohmann::json& value) {
    if (value.is_null()) return QJsonValue();
    const nlohmann::json wrapped = nlohmann::json::array({value});
    return QJsonDocument::fromJson(QByteArray::fromStdString(wrapped.dump())).array().at(0);
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
    const MethodInfo* info = FindMethod(method, faults_ != nullptr);
    if (!info && servers_) info = FindServerMethod(method);
    if (!info && captures_) info = FindCaptureMethod(method);
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

    if (IsServerMethod(info))
        return CallServer(method, array, errorCode, errorMessage);
    if (IsCaptureMethod(info))
        return CallCapture(method, array, errorCode, errorMessage);
    if (IsFaultMethod(info))
        return CallFault(method, array, errorCode, errorMessage);
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

QJsonValue AutomationDispatcher::CallFault(const QString& method, const QJsonArray& params, int& errorCode,
                                           QString& errorMessage) {
    const auto invalid = [&](const QString& why) {
        errorCode = rpc::kInvalidParams;
        errorMessage = why;
        return QJsonValue();
    };
    // A rule id: a whole number (its range is the methods' to judge: an unknown id is status -1).
    const auto ruleId = [&](const QJsonValue& v, std::int64_t& id) {
        const double d = v.toDouble();
        if (!v.isDouble() || d != std::floor(d) || std::abs(d) > 9007199254740992.0) return false;
        id = static_cast<std::int64_t>(d);
        return true;
    };
    FaultCallResult r;
    if (method == QLatin1String("LoadScenario")) {
        if (!params.at(0).isString()) return invalid(QStringLiteral("path: a string"));
        r = faults_->LoadScenario(params.at(0).toString().toStdString());
    } else if (method == QLatin1String("AddFault")) {
        if (!params.at(0).isObject()) return invalid(QStringLiteral("rule: a JSON object"));
        r = faults_->AddFault(ToPlain(params.at(0).toObject()));
    } else if (method == QLatin1String("RemoveFault")) {
        std::int64_t id = 0;
        if (!ruleId(params.at(0), id)) return invalid(QStringLiteral("id: a whole number"));
        r = faults_->RemoveFault(id);
    } else if (method == QLatin1String("EnableFault")) {
        std::int64_t id = 0;
        if (!ruleId(params.at(0), id)) return invalid(QStringLiteral("id: a whole number"));
        if (!params.at(1).isBool()) return invalid(QStringLiteral("on: true or false"));
        r = faults_->EnableFault(id, params.at(1).toBool());
    } else if (method == QLatin1String("ListFaults")) {
        r = faults_->ListFaults();
    } else {
        r = faults_->ClearFaults();
    }
    QJsonObject result{{"status", r.status}};
    if (!r.value.is_null()) result.insert("value", FromPlain(r.value));
    if (!r.message.empty()) result.insert("message", QString::fromStdString(r.message));
    return result;
}

QJsonValue AutomationDispatcher::CallServer(const QString& method, const QJsonArray& params, int& errorCode,
                                            QString& errorMessage) {
    const auto invalid = [&](const QString& why) {
        errorCode = rpc::kInvalidParams;
        errorMessage = why;
        return QJsonValue();
    };
    const auto whole = [](const QJsonValue& v, std::int64_t& n) {
        const double d = v.toDouble();
        if (!v.isDouble() || d != std::floor(d) || std::abs(d) > 9007199254740992.0) return false;
        n = static_cast<std::int64_t>(d);
        return true;
    };
    FaultCallResult r;
    if (method == QLatin1String("OpenServer")) {
        std::int64_t port = 0;
        if (!params.at(0).isString()) return invalid(QStringLiteral("protocol: a string"));
        if (!whole(params.at(1), port)) return invalid(QStringLiteral("port: a whole number"));
        if (!params.at(2).isObject()) return invalid(QStringLiteral("options: a JSON object ({} for none)"));
        r = servers_->OpenServer(params.at(0).toString().toStdString(), port, ToPlain(params.at(2).toObject()));
    } else if (method == QLatin1String("OpenEndpoint")) {
        if (!params.at(0).isObject()) return invalid(QStringLiteral("endpoint: a JSON object"));
        r = servers_->OpenEndpoint(ToPlain(params.at(0).toObject()));
    } else if (method == QLatin1String("CloseServer")) {
        std::int64_t id = 0;
        if (!whole(params.at(0), id)) return invalid(QStringLiteral("id: a whole number"));
        r = servers_->CloseServer(id);
    } else {
        r = servers_->ListServers();
    }
    QJsonObject result{{"status", r.status}};
    if (!r.value.is_null()) result.insert("value", FromPlain(r.value));
    if (!r.message.empty()) result.insert("message", QString::fromStdString(r.message));
    return result;
}

QJsonValue AutomationDispatcher::CallCapture(const QString& method, const QJsonArray& params, int& errorCode,
                                             QString& errorMessage) {
    const bool start = method.startsWith(QLatin1String("Start"));
    if (start && (!params.at(0).isString() || params.at(0).toString().isEmpty())) {
        errorCode = rpc::kInvalidParams;
        errorMessage = QStringLiteral("path: a file name");
        return {};
    }
    const std::string path = start ? params.at(0).toString().toStdString() : std::string();
    CaptureCallResult r;
    if (method == QLatin1String("StartCapture"))
        r = captures_->StartCapture(path);
    else if (method == QLatin1String("StopCapture"))
        r = captures_->StopCapture();
    else if (method == QLatin1String("StartTrafficLog"))
        r = captures_->StartTrafficLog(path);
    else
        r = captures_->StopTrafficLog();
    QJsonObject result{{"status", r.status}};
    if (!r.value.is_null()) result.insert("value", FromPlain(r.value));
    if (!r.message.empty()) result.insert("message", QString::fromStdString(r.message));
    return result;
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
// Qt stops reading from the system beyond this, so a client cannot make us buffer more.
constexpr qint64 kSocketReadBuffer = 2 * kMaxLineBytes;
// Out of descriptors: accepting waits this long instead of failing again at once.
constexpr int kAcceptPauseMs = 200;
}  // namespace

AutomationServer::AutomationServer(DocumentAutomation& methods, std::function<void()> createDocument, QObject* parent)
    : QObject(parent), dispatcher_(methods, std::move(createDocument)), server_(new QTcpServer(this)),
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
        if (FromAnotherUser(socket)) {
            // Loopback keeps other machines out; this keeps other users of this one out.
            socket->write(ErrorReply(QJsonValue::Null, rpc::kOtherUser,
                                     QStringLiteral("Connections of other users are refused")) + '\n');
            socket->disconnectFromHost();
            connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            continue;
        }
        if (ConnectionCount() >= kMaxConnections && !Reclaim()) {
            socket->write(ErrorReply(QJsonValue::Null, rpc::kServerBusy,
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
    Close(socket, ErrorReply(QJsonValue::Null, rpc::kIdleClosed, why));
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
