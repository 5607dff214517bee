// The Modbus/TCP server: one acceptor per address family, one session per master, all on the
// engine thread.
//
// Accepting stays with asio. The masters' sockets do not: they sit in an epoll set of the
// server's own, which asio watches as a single descriptor. When it turns readable the server
// takes every ready socket in one epoll_wait and gives each one recv and one send. Asio's
// per-socket operations would cost a second, speculative recv for every lock-step request (it
// finds nothing) or an epoll_ctl per wait; with dozens of masters that was most of what
// separated the engine from a bare epoll server.
#pragma once

#include "engine/EngineContext.h"
#include "engine/ProtocolEngine.h"
#include "engine/SessionBudget.h"
#include "engine/StreamFraming.h"
#include "engine/UnitRoutes.h"

#include <asio/ip/tcp.hpp>
#include <asio/posix/stream_descriptor.hpp>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

namespace pomrel {

struct TcpSession;

class TcpServer : public Connection, public std::enable_shared_from_this<TcpServer>, private SessionBudget::Member {
public:
    // Bound to the io_context's own executor rather than the type-erased default: every
    // operation then dispatches its completion directly.
    using Acceptor = asio::basic_socket_acceptor<asio::ip::tcp, asio::io_context::executor_type>;
    using Socket = asio::basic_stream_socket<asio::ip::tcp, asio::io_context::executor_type>;
    using Descriptor = asio::posix::basic_stream_descriptor<asio::io_context::executor_type>;

    /// Any thread: binds and listens on every interface (IPv6 and IPv4) on `port` (0: any free
    /// port). Null with `error` set when it cannot listen. Its sessions count in `budget`.
    static std::shared_ptr<TcpServer> Open(EngineContext& context, std::uint16_t port, const TcpLimits& limits,
                                           std::shared_ptr<SessionBudget> budget, std::string& error);
    /// Any thread: a Modbus/TCP (protocol Tcp) or RTU over TCP (RtuOverTcp) server on the
    /// endpoint's address and port, answering unit ids through its map.
    static std::shared_ptr<TcpServer> Open(EngineContext& context, const ServerEndpoint& endpoint,
                                           const TcpLimits& limits, std::shared_ptr<SessionBudget> budget,
                                           std::string& error);
    ~TcpServer() override;
    TcpServer(const TcpServer&) = delete;
    TcpServer& operator=(const TcpServer&) = delete;

    /// Engine thread: starts accepting and serving.
    void Start();
    void Stop() override;

    /// Sessions served at once: the configured number, or fewer when the budget all stream
    /// servers share is smaller. Any thread.
    std::size_t SessionCap() const
    {
        return std::min(sessionCap_.load(std::memory_order_relaxed), budget_->Cap());
    }
    /// Masters connected now. Any thread.
    std::uint32_t Sessions() const { return sessionCount_.load(std::memory_order_relaxed); }
    /// Engine thread: new limits for the running server.
    void SetLimits(const TcpLimits& limits);

private:
    using Clock = std::chrono::steady_clock;
    struct Listener {
        explicit Listener(asio::io_context& io) : acceptor(io), retry(io) {}
        Acceptor acceptor;
        asio::steady_timer retry;  // out of descriptors: accepting waits on this
    };

    TcpServer(EngineContext& context, const TcpLimits& limits, std::shared_ptr<SessionBudget> budget);
    // What the shared budget asks of its members.
    std::size_t OpenSessions() const override { return sessions_.size(); }
    bool OldestUse(Clock::time_point& last) const override;
    void CloseOldest() override { CloseLeastRecentlyUsed(); }
    StreamScan ScanFront(const std::uint8_t* data, std::size_t size);
    void Accept(Listener& listener);
    void Adopt(Socket socket);
    // Sessions that take a place without using it: the one unused longest makes room for a new
    // master, and a request left incomplete past the time limit closes its session.
    void CloseLeastRecentlyUsed();
    void WatchRequestTimes();
    void CloseLateRequests();

    // The session path; everything below runs on the engine thread.
    void WaitForSessions();
    void RunReadySessions();
    void Receive(TcpSession& session);
    void Serve(TcpSession& session);
    std::size_t AnswerBuffered(TcpSession& session, bool& malformed);
    // Fault injection: an answer held back (delay, split) while the session waits.
    void ArmLate(TcpSession& session, std::chrono::milliseconds after);
    void SendLate(TcpSession& session);
    void Flush(TcpSession& session);
    bool Watch(TcpSession& session, int operation, std::uint32_t events);
    void CloseSession(TcpSession& session);

    EngineContext& context_;
    Listener v6_;
    Listener v4_;
    TcpLimits limits_;
    std::shared_ptr<SessionBudget> budget_;
    std::atomic<std::size_t> sessionCap_{0};  // the configured one
    std::atomic<std::uint32_t> sessionCount_{0};
    Clock::time_point now_;          // taken once per wake-up; what a session's times are set from
    // When each session last had a whole request, packed together so that finding the one
    // unused longest reads one small array instead of every session's memory.
    struct Use {
        Clock::time_point last;
        TcpSession* session;
    };
    std::vector<Use> use_;
    asio::steady_timer requestTimer_;
    bool requestTimerArmed_ = false;
    Descriptor poller_;  // owns the epoll descriptor that holds every session's socket
    std::unordered_map<int, std::unique_ptr<TcpSession>> sessions_;  // by socket descriptor
    std::unique_ptr<std::uint8_t[]> answer_;  // the answers of one round, for whichever session
    std::uint64_t nextSessionSerial_ = 0;
    LinkId link_{LinkId::Kind::Tcp, 0, 0};
    bool rtu_ = false;                  // RTU frames with CRC instead of MBAP headers
    RtuStreamScanner rtuScanner_;
    UnitRoutes units_;  // how each unit id a master sends is served
    bool stopped_ = false;
};

} // namespace pomrel
