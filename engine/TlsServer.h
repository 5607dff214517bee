// The Modbus/TCP Security server: Modbus/TCP inside TLS 1.2 or 1.3 (OpenSSL through asio's ssl
// support), with optional client-certificate verification against a CA (mutual TLS) and the
// role a client certificate carries. Sessions are asio operations on the engine thread; the
// session cap, least-recently-used eviction and request timeout are those of the TCP server,
// and a handshake has a time limit of its own.
#pragma once

#include "engine/EngineContext.h"
#include "engine/ProtocolEngine.h"
#include "engine/SessionBudget.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace pomrel {

/// When the memory of closed sessions goes back to the system. A TLS session holds about 100 kB
/// of buffers (asio's, OpenSSL's, ours); a crowd of them, once closed, leaves that much in pieces
/// the allocator keeps. A give-back walks the whole heap, so it waits until `least` sessions have
/// closed and the sessions open have fallen to half the most seen since the last one, and once
/// more when the rest of that crowd has gone: a crowd leaving gives back a few times, steady
/// coming and going never.
class FreedSessionMemory {
public:
    explicit FreedSessionMemory(std::size_t least = 128) : least_(least) {}
    /// A session closed; `open` are those still open. True when the memory should go back now.
    bool Closed(std::size_t open)
    {
        peak_ = std::max(peak_, open + 1);
        ++closed_;
        const bool crowd = closed_ >= least_ && open <= peak_ / 2;
        if (!crowd && !(open == 0 && rest_))
            return false;
        rest_ = open > 0;
        closed_ = 0;
        peak_ = open;
        return true;
    }

private:
    std::size_t least_;
    std::size_t closed_ = 0;  // since the last give-back
    std::size_t peak_ = 0;    // the most open since the last give-back
    bool rest_ = false;       // a crowd gave back while some of it was still open
};

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
    /// How often the memory of closed sessions was to go back to the system (a thread of the
    /// server's gives it back).
    std::uint32_t MemoryGiveBacks() const;

    struct Impl;

private:
    TlsServer() = default;
    std::size_t OpenSessions() const override;
    bool OldestUse(SessionBudget::Clock::time_point& last) const override;
    void CloseOldest() override;
    std::unique_ptr<Impl> impl_;
};

} // namespace pomrel
