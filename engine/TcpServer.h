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
    /// Any thread: binds and listens on every interface (IPv6 and IPv4) on `port` (0: any free
    /// port). Null with `error` set when it cannot listen.
    static std::shared_ptr<TcpServer> Open(EngineContext& context, std::uint16_t port, std::string& error);

    /// Engine thread: starts accepting.
    void Start();
    void Stop() override;

private:
    friend class TcpSession;
    explicit TcpServer(EngineContext& context);
    void Accept(asio::ip::tcp::acceptor& acceptor);

    EngineContext& context_;
    asio::ip::tcp::acceptor v6_;
    asio::ip::tcp::acceptor v4_;
    asio::steady_timer retry_;
    std::unordered_set<TcpSession*> sessions_;
    bool stopped_ = false;
};

} // namespace pomrel
