#include "engine/UdpServer.h"

#include "engine/Pdu.h"
#include "engine/RequestAnswer.h"
#include "engine/StreamFraming.h"

#include <asio/ip/v6_only.hpp>

#include <sys/socket.h>

#include <cerrno>
#include <cstring>

namespace pomrel {

namespace {
// Answers held back by fault rules at once; beyond it they are dropped (a flood of delayed
// requests must not grow without bound; a UDP master takes a lost answer as a timeout anyway).
constexpr std::size_t kMaxLate = 1024;
// Room after an answer for one fault's junk bytes.
constexpr std::size_t kJunkRoom = 512;
constexpr int kDatagramsPerWakeUp = 32;
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
        if (!ec) {
            // Each datagram comes with the address it was sent to.
            const int on = 1;
            const bool v6 = at.address().is_v6();
            if (::setsockopt(socket.native_handle(), v6 ? IPPROTO_IPV6 : IPPROTO_IP, v6 ? IPV6_RECVPKTINFO : IP_PKTINFO, &on,
                             sizeof on) != 0)
                ec = std::error_code(errno, std::generic_category());
        }
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
    listener.socket.async_wait(Socket::wait_read, [self = shared_from_this(), &listener](const std::error_code& ec) {
        if (self->stopped_ || ec == asio::error::operation_aborted)
            return;
        // A few datagrams per wake-up, then the other socket and the rest of the engine get a turn.
        for (int i = 0; !ec && i < kDatagramsPerWakeUp && self->ReceiveOne(listener); ++i) {
        }
        if (!self->stopped_)
            self->Receive(listener);
    });
}

// One datagram, served; false when there is none (or the socket failed).
bool UdpServer::ReceiveOne(Listener& listener)
{
    sockaddr_storage peer{};
    iovec data{listener.buffer.data(), listener.buffer.size()};
    alignas(cmsghdr) std::uint8_t control[CMSG_SPACE(sizeof(in6_pktinfo)) + CMSG_SPACE(sizeof(in_pktinfo))];
    msghdr message{};
    message.msg_name = &peer;
    message.msg_namelen = sizeof peer;
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    const ssize_t n = ::recvmsg(listener.socket.native_handle(), &message, MSG_DONTWAIT);
    if (n < 0)  // an ICMP error of an earlier answer: go on to the next datagram
        return errno == ECONNREFUSED || errno == EHOSTUNREACH || errno == ENETUNREACH || errno == EINTR;
    if (message.msg_namelen > sizeof peer)
        return true;
    std::memcpy(listener.peer.data(), &peer, message.msg_namelen);
    listener.peer.resize(message.msg_namelen);
    listener.to = Destination{};
    for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
        if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO && c->cmsg_len >= CMSG_LEN(sizeof(in_pktinfo))) {
            std::memcpy(&listener.to.v4, CMSG_DATA(c), sizeof(in_pktinfo));
            listener.to.family = 4;
        } else if (c->cmsg_level == IPPROTO_IPV6 && c->cmsg_type == IPV6_PKTINFO &&
                   c->cmsg_len >= CMSG_LEN(sizeof(in6_pktinfo))) {
            std::memcpy(&listener.to.v6, CMSG_DATA(c), sizeof(in6_pktinfo));
            listener.to.family = 6;
        }
    }
    Serve(listener, static_cast<std::size_t>(n));
    return true;
}

FrameSource UdpServer::SourceOf(const Listener& listener, const asio::ip::udp::endpoint& peer, const Destination& to) const
{
    FrameSource source;
    source.link = link_;
    source.peer = ToNetAddress(peer);
    source.local = listener.local;
    if (to.family == 4) {
        source.local.family = 4;
        source.local.bytes = {};
        std::memcpy(source.local.bytes.data(), &to.v4.ipi_addr, 4);
    } else if (to.family == 6) {
        source.local.family = 6;
        std::memcpy(source.local.bytes.data(), &to.v6.ipi6_addr, 16);
    }
    return source;
}

void UdpServer::Serve(Listener& listener, std::size_t size)
{
    const FrameSource source = SourceOf(listener, listener.peer, listener.to);
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
        answer = AnswerRequest(context_, RequestLink{link_, &diagnostics, false, &source.peer}, addressing,
                               PduOptions{enron.load(std::memory_order_relaxed)}, scan.pdu, scan.pduSize,
                               out.data() + kMbapHeader);
    }
    if (answer.pduSize == 0) {
        // A datagram link has nothing to close: either way the master hears nothing.
        if (answer.fault.fired && (answer.fault.action == FaultAction::NoReply || answer.fault.action == FaultAction::Close))
            context_.frames.PushWithheld(source, answer.fault.ruleName, Withheld::NoReply);
        return;
    }
    const auto unit = static_cast<std::uint8_t>(answer.unit - addressing.unit + scan.unit);
    PutMbapHeader(out.data(), static_cast<std::uint16_t>(datagram[0] << 8 | datagram[1]), unit, answer.pduSize);
    const std::size_t outSize = kMbapHeader + answer.pduSize;
    if (!answer.fault.fired) {
        context_.Log(out.data(), outSize, kSent, source);
        Send(listener, listener.peer, listener.to, out.data(), outSize);
        return;
    }
    const FaultDecision& fault = answer.fault;
    std::vector<std::uint8_t> bytes(out.data(), out.data() + outSize);
    FaultBytes(fault, bytes);
    const auto at = std::chrono::steady_clock::now() + std::chrono::milliseconds(fault.delayMs);
    // A late answer is recorded when it leaves; the rule may be gone by then.
    const std::string name = fault.ruleName ? *fault.ruleName : std::string();
    if (fault.action == FaultAction::Split && bytes.size() > 1) {
        // Two datagrams, neither of them a whole answer.
        const auto half = static_cast<std::ptrdiff_t>(bytes.size() / 2);
        std::vector<std::uint8_t> first(bytes.begin(), bytes.begin() + half), second(bytes.begin() + half, bytes.end());
        Schedule(at, Late{&listener, listener.peer, listener.to, std::move(first), name});
        Schedule(at + std::chrono::milliseconds(fault.gapMs), Late{&listener, listener.peer, listener.to, std::move(second), name});
    } else if (fault.delayMs > 0) {
        Schedule(at, Late{&listener, listener.peer, listener.to, std::move(bytes), name});
    } else {
        context_.Log(bytes.data(), bytes.size(), kSent, source, fault.ruleName);
        Send(listener, listener.peer, listener.to, bytes.data(), bytes.size());
    }
}

void UdpServer::Send(Listener& listener, const asio::ip::udp::endpoint& peer, const Destination& from,
                     const std::uint8_t* bytes, std::size_t size)
{
    iovec data{const_cast<std::uint8_t*>(bytes), size};
    alignas(cmsghdr) std::uint8_t control[CMSG_SPACE(sizeof(in6_pktinfo))] = {};
    msghdr message{};
    message.msg_name = const_cast<sockaddr*>(peer.data());
    message.msg_namelen = static_cast<socklen_t>(peer.size());
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    if (from.family != 0) {
        // From the address the request was sent to (a broadcast or multicast one is no source:
        // the interface's own address then, as the system chose it on receipt).
        message.msg_control = control;
        cmsghdr* c = reinterpret_cast<cmsghdr*>(control);
        if (from.family == 4) {
            in_pktinfo info{};
            info.ipi_spec_dst = from.v4.ipi_spec_dst;
            message.msg_controllen = CMSG_SPACE(sizeof info);
            c->cmsg_level = IPPROTO_IP;
            c->cmsg_type = IP_PKTINFO;
            c->cmsg_len = CMSG_LEN(sizeof info);
            std::memcpy(CMSG_DATA(c), &info, sizeof info);
        } else {
            in6_pktinfo info = from.v6;
            if (IN6_IS_ADDR_MULTICAST(&info.ipi6_addr))
                info.ipi6_addr = in6addr_any;
            message.msg_controllen = CMSG_SPACE(sizeof info);
            c->cmsg_level = IPPROTO_IPV6;
            c->cmsg_type = IPV6_PKTINFO;
            c->cmsg_len = CMSG_LEN(sizeof info);
            std::memcpy(CMSG_DATA(c), &info, sizeof info);
        }
    }
    // Non-blocking: a full buffer drops it, as the network may.
    ::sendmsg(listener.socket.native_handle(), &message, MSG_DONTWAIT | MSG_NOSIGNAL);
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
            self->context_.Log(late.bytes.data(), late.bytes.size(), kSent,
                               self->SourceOf(*late.listener, late.peer, late.from), &late.fault);
            self->Send(*late.listener, late.peer, late.from, late.bytes.data(), late.bytes.size());
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
