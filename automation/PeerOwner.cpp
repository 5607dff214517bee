#include "automation/PeerOwner.h"

#ifdef __linux__
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace {

// An address of either family as the socket-diagnostics query wants it: the port in network
// order and the address in four 32-bit words (IPv4 in the first). An IPv4-mapped IPv6 address is
// taken as the IPv4 address it carries, so both spellings of one connection compare equal.
struct DiagEndpoint {
    int family = AF_UNSPEC;
    std::uint16_t port = 0;  // network order
    std::uint32_t address[4] = {0, 0, 0, 0};

    static std::optional<DiagEndpoint> From(const sockaddr* a) {
        DiagEndpoint e;
        if (a->sa_family == AF_INET) {
            const auto* v4 = reinterpret_cast<const sockaddr_in*>(a);
            e.family = AF_INET;
            e.port = v4->sin_port;
            std::memcpy(e.address, &v4->sin_addr, 4);
            return e;
        }
        if (a->sa_family == AF_INET6) {
            const auto* v6 = reinterpret_cast<const sockaddr_in6*>(a);
            e.port = v6->sin6_port;
            if (IN6_IS_ADDR_V4MAPPED(&v6->sin6_addr)) {
                e.family = AF_INET;
                std::memcpy(e.address, v6->sin6_addr.s6_addr + 12, 4);
            } else {
                e.family = AF_INET6;
                std::memcpy(e.address, &v6->sin6_addr, 16);
            }
            return e;
        }
        return std::nullopt;
    }
    static DiagEndpoint From(int family, std::uint16_t port, const std::uint32_t (&words)[4]) {
        DiagEndpoint e;
        e.family = family;
        e.port = port;
        if (family == AF_INET6 && IN6_IS_ADDR_V4MAPPED(reinterpret_cast<const in6_addr*>(words))) {
            e.family = AF_INET;
            e.address[0] = words[3];
        } else if (family == AF_INET) {
            e.address[0] = words[0];
        } else {
            std::memcpy(e.address, words, 16);
        }
        return e;
    }
    bool operator==(const DiagEndpoint& o) const {
        return family == o.family && port == o.port && std::memcmp(address, o.address, sizeof address) == 0;
    }
};

struct FileCloser {
    int fd;
    ~FileCloser() { if (fd >= 0) ::close(fd); }
};

}  // namespace

std::optional<unsigned> TcpSocketOwner(const sockaddr* local, const sockaddr* remote) {
    const auto self = DiagEndpoint::From(local);
    const auto peer = DiagEndpoint::From(remote);
    if (!self || !peer || self->family != peer->family)
        return std::nullopt;
    // One request for one socket (no dump): the kernel looks the 4-tuple up in its connection
    // table, whatever the addresses and however many sockets are open.
    struct {
        nlmsghdr header;
        inet_diag_req_v2 request;
    } query{};
    query.header.nlmsg_len = sizeof query;
    query.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    query.header.nlmsg_flags = NLM_F_REQUEST;
    query.header.nlmsg_seq = 1;
    query.request.sdiag_family = static_cast<std::uint8_t>(self->family);
    query.request.sdiag_protocol = IPPROTO_TCP;
    query.request.idiag_states = ~0u;
    query.request.id.idiag_sport = self->port;
    query.request.id.idiag_dport = peer->port;
    std::memcpy(query.request.id.idiag_src, self->address, sizeof self->address);
    std::memcpy(query.request.id.idiag_dst, peer->address, sizeof peer->address);
    query.request.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
    query.request.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;

    const FileCloser diag{::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG)};
    if (diag.fd < 0)
        return std::nullopt;
    // The kernel answers within the send; the time limit only guards against the unexpected.
    const timeval patience{1, 0};
    ::setsockopt(diag.fd, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    if (::sendto(diag.fd, &query, sizeof query, 0, reinterpret_cast<const sockaddr*>(&kernel), sizeof kernel) !=
        static_cast<ssize_t>(sizeof query))
        return std::nullopt;
    alignas(nlmsghdr) char answer[8192];
    const ssize_t size = ::recv(diag.fd, answer, sizeof answer, 0);
    if (size <= 0)
        return std::nullopt;
    // The first message answers: the socket's description, or an error (no such socket). Checked
    // by hand: the kernel's NLMSG_OK compares a signed length with an unsigned one.
    const auto* h = reinterpret_cast<const nlmsghdr*>(answer);
    const auto received = static_cast<std::size_t>(size);
    if (received < sizeof(nlmsghdr) || h->nlmsg_len > received || h->nlmsg_type != SOCK_DIAG_BY_FAMILY ||
        h->nlmsg_len < NLMSG_LENGTH(sizeof(inet_diag_msg)))
        return std::nullopt;
    const auto* msg = static_cast<const inet_diag_msg*>(NLMSG_DATA(h));
    // Trust only an answer about exactly this socket, and only a live one: a socket in
    // TIME-WAIT or a half-made one reports no owner (uid 0).
    constexpr int kTimeWait = 6, kNewSynRecv = 12;
    if (msg->idiag_state == kTimeWait || msg->idiag_state == kNewSynRecv)
        return std::nullopt;
    if (!(DiagEndpoint::From(msg->idiag_family, msg->id.idiag_sport, msg->id.idiag_src) == *self) ||
        !(DiagEndpoint::From(msg->idiag_family, msg->id.idiag_dport, msg->id.idiag_dst) == *peer))
        return std::nullopt;
    return msg->idiag_uid;
}

bool PeerIsOwnUser(const sockaddr* ours, const sockaddr* peer) {
    // The client's socket is the mirror of ours: its own address is our peer.
    const auto uid = TcpSocketOwner(peer, ours);
    return uid && *uid == static_cast<unsigned>(::geteuid());
}

bool ConnectionIsOwnUser(int fd) {
    sockaddr_storage ours{}, peer{};
    socklen_t oursSize = sizeof ours, peerSize = sizeof peer;
    if (fd < 0 || ::getsockname(fd, reinterpret_cast<sockaddr*>(&ours), &oursSize) != 0 ||
        ::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peerSize) != 0)
        return false;
    return PeerIsOwnUser(reinterpret_cast<const sockaddr*>(&ours), reinterpret_cast<const sockaddr*>(&peer));
}
#else
std::optional<unsigned> TcpSocketOwner(const sockaddr*, const sockaddr*) { return std::nullopt; }

bool PeerIsOwnUser(const sockaddr*, const sockaddr*) { return true; }

bool ConnectionIsOwnUser(int) { return true; }
#endif
