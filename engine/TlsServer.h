// The Modbus/TCP Security server: Modbus/TCP inside TLS 1.2 or 1.3 (OpenSSL through asio's ssl
// support), with optional client-certificate verification against a CA (mutual TLS) and the
// role a client certificate carries. Sessions are asio operations on the engine thread; the
// session cap, least-recently-used eviction and request timeout are those of the TCP server,
// and a handshake has a time limit of its own.
#pragma once

#include "engine/EngineContext.h"
#include "engine/ProtocolEngine.h"
#include "engine/SessionBudget.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace pomrel {

class TlsServer : public Connection, public std::enable_shared_from_this<TlsServer>, private SessionBudget::Member {
public:
    /// Any thread: reads the certificate, key and CA files and listens. Null with `error` naming
    /// the file and the reason when one cannot be read or used. Its sessions count in `budget`.
    static std::shared_ptr<TlsServer> Open(EngineContext& context, const ServerEndpoint& endpoint,
                                           const TcpLimits& limits, std::shared_ptr<SessionBudget> budget,
                                           std::string& error);
    ~TlsServer() override;

    /// Engine thread.
    void Start();
    void Stop() override;
    /// Engine thread: new limits for the running server (sessions beyond a lowered cap stay
    /// until they go).
    void SetLimits(const TcpLimits& limits);

    /// Any thread.
    std::uint32_t Sessions() const;
    std::uint32_t HandshakeFailures() const;
    /// Why the last failed handshake failed (a refused certificate names its fault), or empty.
    std::string LastHandshakeError() const;
    /// The roles of the clients connected now, one per session that has one.
    std::vector<std::string> Roles() const;

    struct Impl;

private:
    TlsServer() = default;
    std::size_t OpenSessions() const override;
    bool OldestUse(SessionBudget::Clock::time_point& last) const override;
    void CloseOldest() override;
    std::unique_ptr<Impl> impl_;
};

} // namespace pomrel
