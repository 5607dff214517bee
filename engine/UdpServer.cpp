#include "engine/UdpServer.h"

#include "engine/Pdu.h"
#include "engine/RequestAnswer.h"
#include "engine/StreamFraming.h"

#include <asio/ip/v6_only.hpp>

namespace pomrel {

namespace {
// Answers held back by fault rules at once; beyond it they are dropped (a flood of delayed
// requests must not grow without bound; a UDP master takes a lost answer as a timeout anyway).
constexpr std::size_t kMaxLate = 1024;
// Room after an answer for one fault's junk bytes.
constexpr std::size_t kJunkRoom = 512;
} // namespace

UdpServer::UdpServer(EngineContext& context) : context_(context), v6_(context.io), v4_(context.io), lateTimer_(context.io)
{
}

std::shared_ptr<UdpServer> UdpServer::Open(EngineContext& context, const ServerEndpoint& endpoint, std::string& error)
{
    std::shared_ptr<UdpServer> server(new UdpServer(context));
    server->link_.endpoint = endpoint.number;
    server->units_ = UnitRoutes(endpoint.units, false);
    using asio::ip::udp;
    auto bind = [](Socket& socket, const udp::endpoint& at, bool v6only) -> std::error_code {
        std::error_code ec;
        socket.open(at.protocol(), ec);
        if (ec)
            return ec;
        if (v6only)
            socket.set_option(asio::ip::v6_only(true), ec);
        socket.bind(at, ec);
        if (!ec)
            socket.non_blocking(true, ec);  // an answer the system cannot take now is dropped, never waited for
        if (ec) {
            std::error_code ignored;
            socket.close(ignored);
        }
        return ec;
    };
    auto finish = [&](Listener& l) {
        std::error_code ec;
        const udp::endpoint local = l.socket.local_endpoint(ec);
        l.local = ToNetAddress(local);
        server->boundPort = local.port();
    };
    if (!endpoint.address.empty()) {
        std::error_code ec;
        const asio::ip::address address = asio::ip::make_address(endpoint.address, ec);
        if (ec) {
            error = "\"" + endpoint.address + "\" is not an IPv4 or IPv6 address";
            return nullptr;
        }
        Listener& l = address.is_v6() ? server->v6_ : server->v4_;
        if (ec = bind(l.socket, udp::endpoint(address, endpoint.port), address.is_v6()); ec) {
            error = ec.message();
            return nullptr;
        }
        finish(l);
        return server;
    }
    // Every interface: IPv6 and IPv4 on one port number; with port 0 the system chooses on IPv6
    // and IPv4 takes the same number, which another program may hold: try again a few times.
    for (int attempt = 0; attempt < 8; ++attempt) {
        const std::error_code ec6 = bind(server->v6_.socket, udp::endpoint(asio::ip::address_v6::any(), endpoint.port), true);
        if (ec6 == asio::error::address_in_use) {
            error = ec6.message();
            return nullptr;
        }
        std::uint16_t chosen = endpoint.port;
        if (!ec6) {
            finish(server->v6_);
            chosen = server->boundPort;
        }
        const std::error_code ec4 = bind(server->v4_.socket, udp::endpoint(asio::ip::address_v4::any(), chosen), false);
        if (!ec4) {
            finish(server->v4_);
            return server;
        }
        if (!ec6 && ec4 != asio::error::address_in_use)
            return server;  // a machine without IPv4
        std::error_code ignored;
        server->v6_.socket.close(ignored);
        if (!(endpoint.port == 0 && !ec6 && ec4 == asio::error::address_in_use)) {
            error = ec4.message();
            return nullptr;
        }
    }
    error = std::make_error_code(std::errc::address_in_use).message();
    return nullptr;
}

void UdpServer::Start()
{
    for (Listener* l : {&v6_, &v4_})
        if (l->socket.is_open())
            Receive(*l);
}

void UdpServer::Receive(Listener& listener)
{
    listener.socket.async_receive_from(asio::buffer(listener.buffer), listener.peer,
                                       [self = shared_from_this(), &listener](const std::error_code& ec, std::size_t size) {
                                           if (self->stopped_ || ec == asio::error::operation_aborted)
                                               return;
                                           if (!ec)  // else an ICMP error of an earlier answer: go on
                                               self->Serve(listener, size);
                                           self->Receive(listener);
                                       });
}

void UdpServer::Serve(Listener& listener, std::size_t size)
{
    FrameSource source;
    source.link = link_;
    source.peer = ToNetAddress(listener.peer);
    source.local = listener.local;
    const std::uint8_t* datagram = listener.buffer.data();
    const StreamScan scan = ScanUdpDatagram(datagram, size);
    if (scan.kind != StreamScan::Kind::Frame) {
        // Short, long, or not one request: dropped unanswered, as a serial line drops a bad CRC.
        context_.Log(datagram, size, kDiscarded, source);
        invalidChecks.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    validMessages.fetch_add(1, std::memory_order_relaxed);
    context_.Log(datagram, size, kReceived, source);
    std::array<std::uint8_t, kMaxMbapFrame + kJunkRoom> out;
    const Addressing addressing = units_[scan.unit];
    Answer answer;
    {
        std::lock_guard lock(context_.blocks.Mutex());
        answer = AnswerRequest(context_, RequestLink{link_, &diagnostics}, addressing,
                               PduOptions{enron.load(std::memory_order_relaxed)}, scan.pdu, scan.pduSize,
                               out.data() + kMbapHeader);
    }
    if (answer.pduSize == 0)
        return;
    const auto unit = static_cast<std::uint8_t>(answer.unit - addressing.unit + scan.unit);
    PutMbapHeader(out.data(), static_cast<std::uint16_t>(datagram[0] << 8 | datagram[1]), unit, answer.pduSize);
    const std::size_t outSize = kMbapHeader + answer.pduSize;
    if (!answer.fault.fired) {
        context_.Log(out.data(), outSize, kSent, source);
        Send(listener, listener.peer, out.data(), outSize);
        return;
    }
    const FaultDecision& fault = answer.fault;
    std::vector<std::uint8_t> bytes(out.data(), out.data() + outSize);
    FaultBytes(fault, bytes);
    context_.Log(bytes.data(), bytes.size(), kSent, source, fault.ruleName);
    const auto at = std::chrono::steady_clock::now() + std::chrono::milliseconds(fault.delayMs);
    if (fault.action == FaultAction::Split && bytes.size() > 1) {
        // Two datagrams, neither of them a whole answer.
        const auto half = static_cast<std::ptrdiff_t>(bytes.size() / 2);
        Schedule(at, Late{&listener, listener.peer, std::vector<std::uint8_t>(bytes.begin(), bytes.begin() + half)});
        Schedule(at + std::chrono::milliseconds(fault.gapMs),
                 Late{&listener, listener.peer, std::vector<std::uint8_t>(bytes.begin() + half, bytes.end())});
    } else if (fault.delayMs > 0) {
        Schedule(at, Late{&listener, listener.peer, std::move(bytes)});
    } else {
        Send(listener, listener.peer, bytes.data(), bytes.size());
    }
}

void UdpServer::Send(Listener& listener, const asio::ip::udp::endpoint& peer, const std::uint8_t* bytes, std::size_t size)
{
    std::error_code ec;
    listener.socket.send_to(asio::buffer(bytes, size), peer, 0, ec);  // non-blocking: a full buffer drops it
}

void UdpServer::Schedule(std::chrono::steady_clock::time_point at, Late late)
{
    if (late_.size() >= kMaxLate)
        return;
    late_.emplace(at, std::move(late));
    ArmLate();
}

void UdpServer::ArmLate()
{
    if (late_.empty() || stopped_)
        return;
    lateTimer_.expires_at(late_.begin()->first);
    lateTimer_.async_wait([self = shared_from_this()](const std::error_code& ec) {
        if (ec || self->stopped_)
            return;
        const auto now = std::chrono::steady_clock::now();
        while (!self->late_.empty() && self->late_.begin()->first <= now) {
            Late& late = self->late_.begin()->second;
            self->Send(*late.listener, late.peer, late.bytes.data(), late.bytes.size());
            self->late_.erase(self->late_.begin());
        }
        self->ArmLate();
    });
}

void UdpServer::Stop()
{
    stopped_ = true;
    std::error_code ignored;
    v6_.socket.close(ignored);
    v4_.socket.close(ignored);
    lateTimer_.cancel();
    late_.clear();
}

} // namespace pomrel
