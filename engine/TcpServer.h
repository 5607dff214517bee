// The Modbus/TCP server: one acceptor per address family, one session per master, all on the
// engine thread.
#pragma once

#include "engine/EngineContext.h"

#include <asio/ip/tcp.hpp>

#include <memory>
#include <string>
#include <unordered_set>

namespace pomrel {

class TcpSession;

class TcpServer : public Connection, public std::enable_shared_from_this<TcpServer> {
public:
    // Bound to the io_context's own executor rather than the type-erased default: every socket
    // operation then dispatches its completion directly, which is a good part of the per-request
    // cost of a small request.
    using Acceptor = asio::basic_socket_acceptor<asio::ip::tcp, asio::io_context::executor_type>;
    using Socket = asio::basic_stream_socket<asio::ip::tcp, asio::io_context::executor_type>;

    /// Any thread: binds and listens on every interface (IPv6 and IPv4) on `port` (0: any free
    /// port). Null with `error` set when it cannot listen.
    static std::shared_ptr<TcpServer> Open(EngineContext& context, std::uint16_t port, std::string& error);

    /// Engine thread: starts accepting.
    void Start();
    void Stop() override;

private:
    friend class TcpSession;
    explicit TcpServer(EngineContext& context);
    void Accept(Acceptor& acceptor);

    EngineContext& context_;
    Acceptor v6_;
    Acceptor v4_;
    asio::steady_timer retry_;
    std::unordered_set<TcpSession*> sessions_;
    bool stopped_ = false;
};

} // namespace pomrel
