// The HTTP doors of the program, on cpp-httplib's own threads: the full door on 127.0.0.1 and
// [::1] (JSON-RPC at /rpc, point values at /points, /health, /metrics; only this user's
// connections, as on the automation port) and the read-only metrics door on any address
// (/metrics and /health, for a Prometheus server elsewhere). Every answer that touches the
// program is worked out on the user-interface thread, handed over and waited for with a bound.
#pragma once

#include "http/HttpAddress.h"
#include "http/Metrics.h"

#include <nlohmann/json.hpp>

#include <QObject>

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>

class MethodRegistry;

/// What the doors serve; each is called on the user-interface thread.
struct HttpSources {
    /// The automation methods (the very registry of the automation port).
    std::shared_ptr<const MethodRegistry> methods;
    /// The counters of /metrics.
    std::function<web::MetricsSnapshot()> metrics;
    /// The network servers as ListServers gives them, and the documents open, for /health.
    std::function<nlohmann::json()> servers;
    std::function<std::size_t()> documents;
};

/// Bounds that keep a client from holding the doors.
struct HttpLimits {
    std::size_t maxBodyBytes = 1024 * 1024;
    /// How long a request waits for the user-interface thread before it is answered 503.
    std::chrono::milliseconds handOverWait{10000};
    /// Each read may wait this long; a request's headers, and then its body with the next
    /// request's headers, must come whole within requestTimeS.
    int readTimeoutS = 5;
    int requestTimeS = 30;
    int writeTimeoutS = 5;
    /// An idle kept-alive connection is closed after this; it also bounds how long Stop waits.
    int keepAliveTimeoutS = 2;
    std::size_t keepAliveMaxRequests = 10000;
    /// Connections served at once per door (each kept-alive connection holds one).
    std::size_t threads = 8;
};

class HttpServer : public QObject {
    Q_OBJECT
public:
    explicit HttpServer(HttpSources sources, HttpLimits limits = {}, QObject* parent = nullptr);
    /// Stops both doors.
    ~HttpServer() override;

    /// Opens the full door on 127.0.0.1:port (0: a free port) and, where free, [::1] on the same
    /// port. False with why in `error`.
    bool Listen(std::uint16_t port, std::string& error);
    /// Opens the metrics door.
    bool ListenMetrics(const web::ListenAddress& address, std::string& error);
    std::uint16_t Port() const;
    std::uint16_t MetricsPort() const;
    /// Closes both doors: requests waiting for the user-interface thread are answered 503 at
    /// once, every connection's next read fails; returns when every connection is gone (within
    /// the read timeout).
    void Stop();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};
