// kelvaro_echo_server: the ceiling for Modbus/TCP server benchmarks.
//
// One epoll thread. For every complete MBAP request it answers a fixed reply of the size a real
// slave's reply would have (FC3/FC4 of q registers: 9 + 2q bytes; FC5/6/15/16: the 12-byte echo
// of address and quantity; anything else: exception 01), with the transaction id, unit and
// function copied so that a checking master accepts it. All requests found in one read are
// answered with one write. No register memory is touched: what remains is loopback and system
// call cost, the best any single-threaded server can do on this machine.
//
// Usage: kelvaro_echo_server [--port P] [--max-seconds S]
// Binds 127.0.0.1 (port 0 = a free port), prints "PORT <n>" and serves until SIGTERM/SIGINT or
// until S seconds have passed (default 1800).

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <unordered_map>
#include <vector>

namespace {

volatile std::sig_atomic_t g_stop = 0;
void onSignal(int) { g_stop = 1; }

struct Client {
    int fd = -1;
    std::vector<std::uint8_t> in = std::vector<std::uint8_t>(16 * 1024);
    std::size_t inLen = 0;
    std::vector<std::uint8_t> out;
    std::size_t outOff = 0;
    bool wantWrite = false;
};

unsigned get16(const std::uint8_t* p) { return (unsigned(p[0]) << 8) | p[1]; }
void put16(std::uint8_t* p, unsigned v)
{
    p[0] = std::uint8_t(v >> 8);
    p[1] = std::uint8_t(v);
}

// Appends the reply to one complete request frame (size bytes at f).
void appendReply(std::vector<std::uint8_t>& out, const std::uint8_t* f, std::size_t size)
{
    const unsigned fc = size > 7 ? f[7] : 0;
    std::size_t at = out.size();
    if ((fc == 3 || fc == 4) && size >= 12) {
        unsigned q = get16(f + 10);
        if (q < 1 || q > 125)
            q = 1;
        out.resize(at + 9 + 2 * q);   // data stays zero
        std::uint8_t* r = out.data() + at;
        std::memcpy(r, f, 4);
        put16(r + 4, 3 + 2 * q);
        r[6] = f[6];
        r[7] = std::uint8_t(fc);
        r[8] = std::uint8_t(2 * q);
    } else if ((fc == 5 || fc == 6 || fc == 15 || fc == 16) && size >= 12) {
        out.resize(at + 12);
        std::memcpy(out.data() + at, f, 12);
        put16(out.data() + at + 4, 6);
    } else {
        out.resize(at + 9);
        std::uint8_t* r = out.data() + at;
        std::memcpy(r, f, 4);
        put16(r + 4, 3);
        r[6] = f[6];
        r[7] = std::uint8_t(fc | 0x80);
        r[8] = 1;
    }
}

} // namespace

int main(int argc, char** argv)
{
    int port = 0;
    double maxSeconds = 1800;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--port" && i + 1 < argc)
            port = std::atoi(argv[++i]);
        else if (a == "--max-seconds" && i + 1 < argc)
            maxSeconds = std::atof(argv[++i]);
        else {
            std::fprintf(stderr, "usage: kelvaro_echo_server [--port P] [--max-seconds S]\n");
            return 2;
        }
    }
    std::signal(SIGTERM, onSignal);
    std::signal(SIGINT, onSignal);
    std::signal(SIGPIPE, SIG_IGN);

    const int ls = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(ls, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(std::uint16_t(port));
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(ls, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || ::listen(ls, 1024) != 0) {
        std::perror("echo_server: bind/listen");
        return 1;
    }
    socklen_t sl = sizeof sa;
    getsockname(ls, reinterpret_cast<sockaddr*>(&sa), &sl);
    std::printf("PORT %u\n", unsigned(ntohs(sa.sin_port)));
    std::fflush(stdout);

    const int ep = epoll_create1(EPOLL_CLOEXEC);
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = ls;
    epoll_ctl(ep, EPOLL_CTL_ADD, ls, &ev);

    std::unordered_map<int, Client> clients;
    auto closeClient = [&](int fd) {
        epoll_ctl(ep, EPOLL_CTL_DEL, fd, nullptr);
        ::close(fd);
        clients.erase(fd);
    };
    auto flush = [&](Client& c) -> bool {
        while (c.outOff < c.out.size()) {
            const ssize_t w = ::send(c.fd, c.out.data() + c.outOff, c.out.size() - c.outOff, MSG_NOSIGNAL);
            if (w > 0) {
                c.outOff += std::size_t(w);
            } else if (w < 0 && errno == EINTR) {
                continue;
            } else if (w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                break;
            } else {
                return false;
            }
        }
        if (c.outOff == c.out.size()) {
            c.out.clear();
            c.outOff = 0;
        }
        const bool want = !c.out.empty();
        if (want != c.wantWrite) {
            c.wantWrite = want;
            epoll_event e{};
            e.events = want ? (EPOLLOUT) : EPOLLIN;   // stop reading while a reply is stuck
            e.data.fd = c.fd;
            epoll_ctl(ep, EPOLL_CTL_MOD, c.fd, &e);
        }
        return true;
    };

    timespec start{};
    clock_gettime(CLOCK_MONOTONIC, &start);
    std::vector<epoll_event> events(256);
    while (!g_stop) {
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        if (double(now.tv_sec - start.tv_sec) > maxSeconds)
            break;
        const int n = epoll_wait(ep, events.data(), int(events.size()), 500);
        for (int i = 0; i < n; ++i) {
            const int fd = events[std::size_t(i)].data.fd;
            if (fd == ls) {
                for (;;) {
                    const int cfd = ::accept4(ls, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
                    if (cfd < 0)
                        break;
                    setsockopt(cfd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
                    Client& c = clients[cfd];
                    c.fd = cfd;
                    epoll_event e{};
                    e.events = EPOLLIN;
                    e.data.fd = cfd;
                    epoll_ctl(ep, EPOLL_CTL_ADD, cfd, &e);
                }
                continue;
            }
            auto it = clients.find(fd);
            if (it == clients.end())
                continue;
            Client& c = it->second;
            if (events[std::size_t(i)].events & EPOLLOUT) {
                if (!flush(c)) {
                    closeClient(fd);
                    continue;
                }
                if (c.wantWrite)
                    continue;
            }
            if (!(events[std::size_t(i)].events & (EPOLLIN | EPOLLHUP | EPOLLERR)))
                continue;
            bool closed = false;
            for (;;) {
                if (c.inLen == c.in.size())
                    break;
                const ssize_t r = ::recv(fd, c.in.data() + c.inLen, c.in.size() - c.inLen, 0);
                if (r > 0) {
                    c.inLen += std::size_t(r);
                    if (c.inLen < c.in.size())
                        break;
                    continue;
                }
                if (r < 0 && errno == EINTR)
                    continue;
                if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
                    break;
                closed = true;
                break;
            }
            std::size_t off = 0;
            bool bad = false;
            while (c.inLen - off >= 7) {
                const std::uint8_t* f = c.in.data() + off;
                const unsigned len = get16(f + 4);
                if (get16(f + 2) != 0 || len < 2 || len > 254) {
                    bad = true;
                    break;
                }
                if (c.inLen - off < 6 + len)
                    break;
                appendReply(c.out, f, 6 + len);
                off += 6 + len;
            }
            if (off > 0) {
                std::memmove(c.in.data(), c.in.data() + off, c.inLen - off);
                c.inLen -= off;
            }
            if (bad || (!c.out.empty() && !flush(c)) || closed)
                closeClient(fd);
        }
    }
    for (auto& [fd, c] : clients)
        ::close(fd);
    ::close(ep);
    ::close(ls);
    return 0;
}
