// The Modbus/UDP server: one MBAP request per datagram, answered to the sender from the same
// socket. One socket per address family (every interface) or one for the endpoint's address, on
// the engine thread. Nothing is kept per master.
#pragma once

#include "engine/EngineContext.h"
#include "engine/Framing.h"
#include "engine/ProtocolEngine.h"
#include "engine/UnitRoutes.h"

#include <asio/ip/udp.hpp>

#include <netinet/in.h>

#include <array>
#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace pomrel {

class UdpServer : public Connection, public std::enable_shared_from_this<UdpServer> {
public:
    using Socket = asio::basic_datagram_socket<asio::ip::udp, asio::io_context::executor_type>;

    /// Any thread: binds the endpoint's address (empty: every interface, IPv6 and IPv4) and port.
    /// Null with `error` set when it cannot.
    static std::shared_ptr<UdpServer> Open(EngineContext& context, const ServerEndpoint& endpoint, std::string& error);
    UdpServer(const UdpServer&) = delete;
    UdpServer& operator=(const UdpServer&) = delete;

    /// Engine thread.
    void Start();
    void Stop() override;

private:
    // A longer datagram is cut to this size by the receive and so is seen as too long.
    static constexpr std::size_t kDatagram = kMaxMbapFrame + 1;
    // The address a datagram was sent to (the socket may be bound to every interface), which its
    // answer leaves from, so that a master that connected its socket to that address takes it.
    struct Destination {
        int family = 0;  // 0: not known (the answer leaves as the system routes it)
        in_pktinfo v4{};
        in6_pktinfo v6{};
    };
    struct Listener {
        explicit Listener(asio::io_context& io) : socket(io) {}
        Socket socket;
        asio::ip::udp::endpoint peer;
        Destination to;   // of the datagram in `buffer`
        NetAddress local; // the bound address and port
        std::array<std::uint8_t, kDatagram> buffer{};
    };
    // An answer a fault holds back (delay, or the second datagram of a split).
    struct Late {
        Listener* listener;
        asio::ip::udp::endpoint peer;
        Destination from;
        std::vector<std::uint8_t> bytes;
        std::string fault;  // the rule's name, for the record made when it leaves
    };

    explicit UdpServer(EngineContext& context);
    void Receive(Listener& listener);
    bool ReceiveOne(Listener& listener);
    void Serve(Listener& listener, std::size_t size);
    FrameSource SourceOf(const Listener& listener, const asio::ip::udp::endpoint& peer, const Destination& to) const;
    void Send(Listener& listener, const asio::ip::udp::endpoint& peer, const Destination& from, const std::uint8_t* bytes,
              std::size_t size);
    void Schedule(std::chrono::steady_clock::time_point at, Late late);
    void ArmLate();

    EngineContext& context_;
    Listener v6_;
    Listener v4_;
    LinkId link_{LinkId::Kind::Udp, 0, 0};
    UnitRoutes units_;  // how each unit id a master sends is served
    std::multimap<std::chrono::steady_clock::time_point, Late> late_;
    asio::steady_timer lateTimer_;
    bool stopped_ = false;
};

} // namespace pomrel
