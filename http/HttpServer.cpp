#include "http/HttpServer.h"

#include "automation/JsonRpc.h"
#include "automation/MethodRegistry.h"
#include "automation/PeerOwner.h"
#include "http/JsonBatch.h"
#include "http/PointValues.h"
#include "http/ReadBudget.h"

#include <httplib.h>

#include <QByteArray>
#include <QJsonValue>
#include <QMetaObject>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

namespace {

constexpr const char* kJson = "application/json";

struct Reply {
    int status = 200;
    std::string body;
    std::string contentType = kJson;
};

Reply JsonReply(int status, const nlohmann::json& body) { return {status, body.dump(), kJson}; }

void Send(httplib::Response& res, const Reply& reply) {
    res.status = reply.status;
    if (!reply.body.empty() || reply.status != 204)
        res.set_content(reply.body, reply.contentType.c_str());
}

void SendError(httplib::Response& res, int status, std::string_view error, std::string_view message) {
    Send(res, JsonReply(status, web::ErrorBody(error, message)));
}

// Each connection is served from start to end by one worker thread, so what the worker learnt
// about its connection's owner holds until the worker takes the next one.
struct ConnectionOwner {
    bool known = false;
    bool own = false;
    std::string remoteAddr;
    int remotePort = -1;
};
thread_local ConnectionOwner t_owner;

// What a worker may read for one request: its headers and the next request's, and its body.
constexpr std::size_t kHeaderAllowance = 256 * 1024;

class ConnectionPool : public httplib::ThreadPool {
public:
    ConnectionPool(std::size_t threads, std::size_t budget, std::chrono::seconds time,
                   std::shared_ptr<const std::atomic<bool>> cut)
        : httplib::ThreadPool(threads), budget_(budget), time_(time), cut_(std::move(cut)) {}
    void enqueue(std::function<void()> fn) override {
        httplib::ThreadPool::enqueue([fn = std::move(fn), budget = budget_, time = time_, cut = cut_] {
            t_owner = {};
            web::SetReadBudget(budget, std::chrono::steady_clock::now() + time, cut);
            fn();
            web::ClearReadBudget();
            t_owner = {};
        });
    }

private:
    std::size_t budget_;
    std::chrono::seconds time_;
    std::shared_ptr<const std::atomic<bool>> cut_;
};

// Who asks: the connection's two addresses as the kernel's socket table knows them.
bool AskOwner(const httplib::Request& req) {
    const auto address = [](const std::string& ip, int port, sockaddr_storage& out) {
        std::memset(&out, 0, sizeof out);
        if (port < 0 || port > 65535) return false;
        auto* v4 = reinterpret_cast<sockaddr_in*>(&out);
        if (::inet_pton(AF_INET, ip.c_str(), &v4->sin_addr) == 1) {
            v4->sin_family = AF_INET;
            v4->sin_port = htons(static_cast<std::uint16_t>(port));
            return true;
        }
        auto* v6 = reinterpret_cast<sockaddr_in6*>(&out);
        if (::inet_pton(AF_INET6, ip.c_str(), &v6->sin6_addr) == 1) {
            v6->sin6_family = AF_INET6;
            v6->sin6_port = htons(static_cast<std::uint16_t>(port));
            return true;
        }
        return false;
    };
    sockaddr_storage ours, peer;
    if (!address(req.local_addr, req.local_port, ours) || !address(req.remote_addr, req.remote_port, peer))
        return false;
    return PeerIsOwnUser(reinterpret_cast<const sockaddr*>(&ours), reinterpret_cast<const sockaddr*>(&peer));
}

// Asked once per connection: the kernel's answer costs a netlink round trip.
bool FromOwnUser(const httplib::Request& req) {
    if (!t_owner.known || t_owner.remotePort != req.remote_port || t_owner.remoteAddr != req.remote_addr) {
        t_owner.own = AskOwner(req);
        t_owner.remoteAddr = req.remote_addr;
        t_owner.remotePort = req.remote_port;
        t_owner.known = true;
    }
    return t_owner.own;
}

// A name that reaches this machine's loopback door: a page whose name was made to resolve to
// 127.0.0.1 still sends its own name.
bool LoopbackHost(std::string host) {
    if (host.empty()) return true;  // HTTP/1.0
    if (host.front() == '[') {
        const std::size_t close = host.find(']');
        host = close == std::string::npos ? std::string() : host.substr(0, close + 1);
    } else if (const std::size_t colon = host.find(':'); colon != std::string::npos) {
        host.resize(colon);
    }
    for (char& c : host) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return host == "127.0.0.1" || host == "[::1]" || host == "localhost";
}

bool StartsWith(const std::string& s, std::string_view prefix) { return s.compare(0, prefix.size(), prefix) == 0; }

// The methods a path takes; empty when the door does not serve it.
std::string_view Allowed(const std::string& path, bool full) {
    if (path == "/metrics" || path == "/health") return "GET, HEAD";
    if (!full) return {};
    if (path == "/rpc") return "POST";
    if (StartsWith(path, "/points/")) return "GET, HEAD, PUT";
    return {};
}

bool MethodAllowed(const std::string& method, std::string_view allowed) {
    while (!allowed.empty()) {
        const std::size_t comma = allowed.find(", ");
        if (allowed.substr(0, comma) == method) return true;
        allowed = comma == std::string_view::npos ? std::string_view() : allowed.substr(comma + 2);
    }
    return false;
}

QByteArray RpcAnswer(const MethodRegistry& methods, const std::string& body) {
    const auto elements = web::SplitJsonArray(body);
    if (!elements)  // one request, or not JSON at all: the line's handler says which
        return HandleJsonRpc(methods, QByteArray::fromStdString(body));
    if (elements->empty())
        return JsonRpcError(QJsonValue::Null, rpc::kInvalidRequest, QStringLiteral("Invalid Request: an empty batch"));
    QByteArray out = "[";
    bool any = false;
    for (std::string_view element : *elements) {
        const QByteArray reply = HandleJsonRpc(methods, QByteArray(element.data(), static_cast<qsizetype>(element.size())));
        if (reply.isEmpty()) continue;  // a notification
        if (any) out += ',';
        out += reply;
        any = true;
    }
    if (!any) return {};
    return out + ']';
}

struct Gate {
    std::mutex mutex;
    std::condition_variable cv;
    bool stopping = false;
};

struct Pending {
    Reply reply;
    bool done = false;
};

struct Door {
    std::unique_ptr<httplib::Server> server;
    std::thread thread;
};

}  // namespace

struct HttpServer::Impl {
    HttpServer* owner = nullptr;
    HttpSources sources;
    HttpLimits limits;
    std::shared_ptr<Gate> gate = std::make_shared<Gate>();
    /// Set when the doors close: every worker's next read fails, so none outlives Stop for long.
    std::shared_ptr<std::atomic<bool>> cut = std::make_shared<std::atomic<bool>>(false);
    std::vector<Door> doors;
    std::uint16_t port = 0, metricsPort = 0;

    /// Runs `work` on the user-interface thread and waits for it, within the bound. False when
    /// it did not run in time or the doors are closing.
    bool OnUiThread(std::function<Reply()> work, Reply& out) {
        auto pending = std::make_shared<Pending>();
        const std::shared_ptr<Gate> g = gate;
        {
            std::lock_guard<std::mutex> lock(g->mutex);
            if (g->stopping) return false;
        }
        // The owner is the context: once it is gone the call is dropped, never run.
        QMetaObject::invokeMethod(
            owner,
            [pending, g, work = std::move(work)] {
                {
                    std::lock_guard<std::mutex> lock(g->mutex);
                    if (g->stopping) return;
                }
                Reply r = work();
                {
                    std::lock_guard<std::mutex> lock(g->mutex);
                    pending->reply = std::move(r);
                    pending->done = true;
                }
                g->cv.notify_all();
            },
            Qt::QueuedConnection);
        std::unique_lock<std::mutex> lock(g->mutex);
        g->cv.wait_for(lock, limits.handOverWait, [&] { return pending->done || g->stopping; });
        if (!pending->done) return false;
        out = std::move(pending->reply);
        return true;
    }

    void Answer(httplib::Response& res, std::function<Reply()> work) {
        Reply reply;
        if (!OnUiThread(std::move(work), reply)) {
            SendError(res, 503, "unavailable", "the program did not take the request in time, or is closing");
            return;
        }
        Send(res, reply);
    }

    void Health(httplib::Response& res) {
        Answer(res, [this] {
            return JsonReply(200, nlohmann::json{{"status", "ok"},
                                                 {"documents", sources.documents ? sources.documents() : 0},
                                                 {"servers", sources.servers ? sources.servers() : nlohmann::json::array()}});
        });
    }

    void Metrics(httplib::Response& res) {
        auto snapshot = std::make_shared<web::MetricsSnapshot>();
        Reply reply;
        // Only the gathering needs the user-interface thread; the text is written here.
        const bool ran = OnUiThread(
            [this, snapshot] {
                if (sources.metrics) *snapshot = sources.metrics();
                return Reply{};
            },
            reply);
        if (!ran) {
            SendError(res, 503, "unavailable", "the program did not take the request in time, or is closing");
            return;
        }
        res.status = 200;
        res.set_content(web::MetricsText(*snapshot), web::kMetricsContentType);
    }

    void Configure(httplib::Server& s, bool full) {
        const std::size_t threads = limits.threads;
        const std::size_t budget = limits.maxBodyBytes + kHeaderAllowance;
        const std::chrono::seconds time(limits.requestTimeS);
        s.new_task_queue = [threads, budget, time, cut = cut] { return new ConnectionPool(threads, budget, time, cut); };
        s.set_payload_max_length(limits.maxBodyBytes);
        s.set_read_timeout(limits.readTimeoutS, 0);
        s.set_write_timeout(limits.writeTimeoutS, 0);
        s.set_keep_alive_timeout(limits.keepAliveTimeoutS);
        s.set_keep_alive_max_count(limits.keepAliveMaxRequests);
        s.set_tcp_nodelay(true);  // small answers on kept-alive connections go out at once
        // A client that asks first is told the body is too large before it sends it.
        s.set_expect_100_continue_handler([max = limits.maxBodyBytes](const httplib::Request& req, httplib::Response& res) {
            const std::string length = req.get_header_value("Content-Length");
            unsigned long long size = 0;
            const auto [end, ec] = std::from_chars(length.data(), length.data() + length.size(), size);
            if (!length.empty() && (ec != std::errc() || size > max)) {
                res.set_header("Connection", "close");
                SendError(res, 413, "payload_too_large", "a body may have at most " + std::to_string(max) + " bytes");
                return 413;
            }
            return 100;
        });

        // Checked before a body is read: who asks, and whether the path takes the method.
        s.set_pre_routing_handler([this, full](const httplib::Request& req, httplib::Response& res) {
            // The headers are in: the worker may read this request's body and the next headers.
            // A body over the limit is read and thrown away in a fixed buffer (then 413), so a
            // client that does not ask first still gets its answer.
            {
                const std::string length = req.get_header_value("Content-Length");
                unsigned long long size = 0;
                std::from_chars(length.data(), length.data() + length.size(), size);
                web::RenewReadBudget(std::max<std::size_t>(limits.maxBodyBytes, size) + kHeaderAllowance,
                                     std::chrono::steady_clock::now() + std::chrono::seconds(limits.requestTimeS));
            }
            if (full) {
                if (!FromOwnUser(req)) {
                    res.set_header("Connection", "close");
                    SendError(res, 403, "forbidden", "connections of other users are refused");
                    return httplib::Server::HandlerResponse::Handled;
                }
                // A web page may not drive the program: browsers name the page's origin.
                if (req.has_header("Origin") || !LoopbackHost(req.get_header_value("Host"))) {
                    res.set_header("Connection", "close");
                    SendError(res, 403, "forbidden", "only requests to 127.0.0.1, [::1] or localhost, not from web pages");
                    return httplib::Server::HandlerResponse::Handled;
                }
            }
            const std::string_view allowed = Allowed(req.path, full);
            if (allowed.empty()) return httplib::Server::HandlerResponse::Unhandled;  // 404
            if (!MethodAllowed(req.method, allowed)) {
                res.set_header("Allow", std::string(allowed));
                res.set_header("Connection", "close");
                SendError(res, 405, "method_not_allowed", req.method.substr(0, 16) + " " + req.path.substr(0, 64) +
                                                              ": only " + std::string(allowed));
                return httplib::Server::HandlerResponse::Handled;
            }
            if ((req.method == "POST" || req.method == "PUT") &&
                !StartsWith(req.get_header_value("Content-Type"), "application/json")) {
                res.set_header("Connection", "close");
                SendError(res, 415, "unsupported_media_type", "the body must be sent as application/json");
                return httplib::Server::HandlerResponse::Handled;
            }
            return httplib::Server::HandlerResponse::Unhandled;
        });
        s.set_error_handler([this](const httplib::Request& req, httplib::Response& res) {
            if (!res.body.empty()) return;
            switch (res.status) {
            case 404: SendError(res, 404, "not_found", "no such path: " + req.path.substr(0, 64)); break;
            case 413:
                SendError(res, 413, "payload_too_large", "a body may have at most " + std::to_string(limits.maxBodyBytes) + " bytes");
                break;
            case 400: SendError(res, 400, "bad_request", "the request could not be read"); break;
            default: SendError(res, res.status, "http_" + std::to_string(res.status), "the request was not served"); break;
            }
        });
        s.set_exception_handler([](const httplib::Request&, httplib::Response& res, std::exception_ptr) {
            SendError(res, 500, "internal", "the request could not be answered");
        });

        s.Get("/health", [this](const httplib::Request&, httplib::Response& res) { Health(res); });
        s.Get("/metrics", [this](const httplib::Request&, httplib::Response& res) { Metrics(res); });
        if (!full) return;
        s.Post("/rpc", [this](const httplib::Request& req, httplib::Response& res) {
            Answer(res, [this, body = req.body] {
                if (!sources.methods) return JsonReply(503, web::ErrorBody("unavailable", "no methods"));
                const QByteArray answer = RpcAnswer(*sources.methods, body);
                if (answer.isEmpty()) return Reply{204, {}, kJson};  // notifications only
                return Reply{200, answer.toStdString(), kJson};
            });
        });
        const auto points = [this](const httplib::Request& req, httplib::Response& res) {
            const auto param = [&req](const char* key) -> std::optional<std::string> {
                if (!req.has_param(key)) return std::nullopt;
                return req.get_param_value(key);
            };
            Answer(res, [this, write = req.method == "PUT", unit = std::string(req.matches[1]),
                         ref = std::string(req.matches[2]), value = param("value"), swapped = param("swapped"),
                         body = req.body] {
                if (!sources.methods) return JsonReply(503, web::ErrorBody("unavailable", "no methods"));
                const web::PointAnswer a = web::HandlePointRequest(*sources.methods, write, unit, ref, value, swapped, body);
                return JsonReply(a.status, a.body);
            });
        };
        s.Get(R"(/points/([^/]*)/([^/]*))", points);
        s.Put(R"(/points/([^/]*)/([^/]*))", points);
    }

    bool Start(std::unique_ptr<httplib::Server> server, const std::string& host, int wanted, int& bound,
               std::string& error) {
        errno = 0;
        if (wanted == 0) {
            bound = server->bind_to_any_port(host);
            if (bound <= 0) bound = -1;
        } else {
            bound = server->bind_to_port(host, wanted) ? wanted : -1;
        }
        if (bound < 0) {
            error = "cannot listen on " + host + ":" + std::to_string(wanted) + (errno ? std::string(": ") + std::strerror(errno) : "");
            return false;
        }
        httplib::Server* s = server.get();
        Door door;
        door.server = std::move(server);
        door.thread = std::thread([s] { s->listen_after_bind(); });
        // Stop only reaches a server that runs: wait for it (it starts at once).
        for (int i = 0; i < 5000 && !s->is_running(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        doors.push_back(std::move(door));
        return true;
    }
};

HttpServer::HttpServer(HttpSources sources, HttpLimits limits, QObject* parent)
    : QObject(parent), impl_(std::make_unique<Impl>()) {
    impl_->owner = this;
    impl_->sources = std::move(sources);
    impl_->limits = limits;
}

HttpServer::~HttpServer() { Stop(); }

bool HttpServer::Listen(std::uint16_t port, std::string& error) {
    auto v4 = std::make_unique<httplib::Server>();
    impl_->Configure(*v4, true);
    int bound = -1;
    if (!impl_->Start(std::move(v4), "127.0.0.1", port, bound, error))
        return false;
    impl_->port = static_cast<std::uint16_t>(bound);
    // Also [::1], so that no other local user can take it with our port number and hear clients
    // that resolve "localhost" there first. Optional, as on the automation port.
    auto v6 = std::make_unique<httplib::Server>();
    impl_->Configure(*v6, true);
    std::string ignored;
    int bound6 = -1;
    impl_->Start(std::move(v6), "::1", bound, bound6, ignored);
    return true;
}

bool HttpServer::ListenMetrics(const web::ListenAddress& address, std::string& error) {
    auto s = std::make_unique<httplib::Server>();
    impl_->Configure(*s, false);
    int bound = -1;
    if (!impl_->Start(std::move(s), address.host, address.port, bound, error))
        return false;
    impl_->metricsPort = static_cast<std::uint16_t>(bound);
    return true;
}

std::uint16_t HttpServer::Port() const { return impl_->port; }

std::uint16_t HttpServer::MetricsPort() const { return impl_->metricsPort; }

void HttpServer::Stop() {
    {
        std::lock_guard<std::mutex> lock(impl_->gate->mutex);
        impl_->gate->stopping = true;
    }
    impl_->gate->cv.notify_all();
    impl_->cut->store(true);
    for (Door& d : impl_->doors) {
        d.server->stop();
        if (d.thread.joinable()) d.thread.join();
    }
    impl_->doors.clear();
}
