// kelvaro_loadgen: Modbus/TCP load generator for measuring slave servers.
//
// N connections on one epoll thread. Each connection keeps `depth` requests in flight
// (1 = lock-step, 8 = pipelined), alternating FC3 reads of 125 holding registers and FC16
// writes of 100 registers (mix adjustable), addresses rotating over 0..9999, unit id 1.
// Every reply is checked (MBAP transaction id, protocol id, length, unit, function, byte
// count or the echoed address and quantity); exceptions and mismatches count as errors.
// After a warm-up the run is timed; it prints requests/s, p50 and p99 latency, and a final
// machine-readable line starting with "RESULT".
//
// With --rtu the same requests go as RTU frames (unit, PDU, CRC) on the TCP stream (RTU over
// TCP), and the replies are sized from the request they answer and their CRC checked.
//
// Exit status: 0 = replies seen and no errors, 1 = errors (or no replies at all), 2 = usage or
// connection failure.

#include "engine/Checksums.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

namespace {

constexpr int kReadQuantity = 125;
constexpr int kWriteQuantity = 100;
constexpr int kAddressStride = 131;   // prime: the rotation visits every start address
constexpr int kMaxDepth = 64;
constexpr std::uint8_t kUnit = 1;

std::uint64_t nowNs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return std::uint64_t(ts.tv_sec) * 1000000000ull + std::uint64_t(ts.tv_nsec);
}

struct Options {
    std::string host = "127.0.0.1";
    int port = 0;
    int connections = 1;
    int depth = 1;
    double seconds = 3.0;
    double warmup = 0.5;
    double drain = 2.0;       // after the run: how long outstanding replies may still take
    int writePercent = 50;
    int addressSpace = 10000;  // start addresses rotate over 0 .. addressSpace - 1
    std::string label;
    bool quiet = false;
    bool rtu = false;  // RTU over TCP instead of Modbus/TCP
};

struct Pending {
    std::uint16_t tid;
    std::uint8_t function;
    std::uint16_t address;
    std::uint16_t quantity;
    std::uint64_t sentNs;
};

struct Counters {
    std::uint64_t completed = 0;       // replies inside the timed window
    std::uint64_t total = 0;           // all good replies, warm-up and drain included
    std::uint64_t exceptions = 0;
    std::uint64_t mismatches = 0;
    std::uint64_t malformed = 0;
    std::uint64_t closed = 0;          // connections lost
    std::uint64_t timeouts = 0;        // requests never answered
    std::uint64_t errors() const { return exceptions + mismatches + malformed + closed + timeouts; }
};

struct Connection {
    int fd = -1;
    bool dead = false;
    std::uint16_t nextTid = 1;
    std::uint32_t cursor = 0;
    int mixAccumulator = 0;
    // Ring of requests in flight, oldest first.
    std::array<Pending, kMaxDepth> ring{};
    int head = 0;
    int inFlight = 0;
    std::vector<std::uint8_t> in;
    std::size_t inLen = 0;
    std::vector<std::uint8_t> out;
    std::size_t outOff = 0;
    bool wantWrite = false;
};

class LoadGenerator {
public:
    explicit LoadGenerator(const Options& o) : opt_(o) {}

    int run();

private:
    bool connectAll();
    void queueRequest(Connection& c, std::uint64_t now);
    bool flush(Connection& c);
    void onReadable(Connection& c, std::uint64_t now, bool sending);
    bool parseReplies(Connection& c, std::uint64_t now, bool sending, int& answered);
    bool parseRtuReplies(Connection& c, std::uint64_t now, bool sending, int& answered);
    bool takeReply(Connection& c, const std::uint8_t* f, std::size_t size, std::uint64_t now, bool sending, int& answered);
    void kill(Connection& c);
    void updateInterest(Connection& c);

    Options opt_;
    int ep_ = -1;
    std::vector<Connection> conns_;
    Counters n_;
    std::vector<std::uint32_t> latencies_;
    std::uint64_t windowStart_ = 0;
    std::uint64_t windowEnd_ = 0;
    std::uint64_t firstMismatchLogged_ = 0;
};

void put16(std::uint8_t* p, unsigned v)
{
    p[0] = std::uint8_t(v >> 8);
    p[1] = std::uint8_t(v);
}

unsigned get16(const std::uint8_t* p) { return (unsigned(p[0]) << 8) | p[1]; }

// The engine's CRC (slicing by eight): computed bit by bit it cost the load generator more than
// the server its answer, and RTU over TCP measured the client.
unsigned crc16(const std::uint8_t* p, std::size_t n) { return pomrel::Crc16(p, n); }

bool LoadGenerator::connectAll()
{
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(std::uint16_t(opt_.port));
    if (inet_pton(AF_INET, opt_.host.c_str(), &sa.sin_addr) != 1) {
        std::fprintf(stderr, "loadgen: bad address %s\n", opt_.host.c_str());
        return false;
    }
    conns_.resize(std::size_t(opt_.connections));
    for (int i = 0; i < opt_.connections; ++i) {
        Connection& c = conns_[std::size_t(i)];
        c.fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (c.fd < 0) {
            std::perror("loadgen: socket");
            return false;
        }
        timeval tv{5, 0};   // a blocking connect gives up after 5 s
        setsockopt(c.fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
        if (::connect(c.fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
            std::fprintf(stderr, "loadgen: connect %s:%d (connection %d): %s\n", opt_.host.c_str(),
                         opt_.port, i, std::strerror(errno));
            return false;
        }
        int one = 1;
        setsockopt(c.fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        if (::fcntl(c.fd, F_SETFL, ::fcntl(c.fd, F_GETFL) | O_NONBLOCK) != 0) {
            std::perror("loadgen: fcntl");
            return false;
        }
        c.cursor = std::uint32_t((i * 1237) % opt_.addressSpace);
        c.in.resize(64 * 1024);
        c.out.reserve(4096);
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.u32 = std::uint32_t(i);
        if (epoll_ctl(ep_, EPOLL_CTL_ADD, c.fd, &ev) != 0) {
            std::perror("loadgen: epoll_ctl");
            return false;
        }
    }
    return true;
}

void LoadGenerator::queueRequest(Connection& c, std::uint64_t now)
{
    c.mixAccumulator += opt_.writePercent;
    const bool write = c.mixAccumulator >= 100;
    if (write)
        c.mixAccumulator -= 100;
    const int qty = write ? kWriteQuantity : kReadQuantity;
    int address = int(c.cursor);
    if (address + qty > opt_.addressSpace)
        address = opt_.addressSpace - qty;
    c.cursor = (c.cursor + kAddressStride) % std::uint32_t(opt_.addressSpace);

    Pending p{c.nextTid++, std::uint8_t(write ? 16 : 3), std::uint16_t(address), std::uint16_t(qty), now};
    const std::size_t at = c.out.size();
    if (write) {
        const std::size_t size = 13 + 2 * std::size_t(qty);
        c.out.resize(at + size);
        std::uint8_t* f = c.out.data() + at;
        put16(f, p.tid);
        put16(f + 2, 0);
        put16(f + 4, unsigned(size - 6));
        f[6] = kUnit;
        f[7] = 16;
        put16(f + 8, p.address);
        put16(f + 10, p.quantity);
        f[12] = std::uint8_t(2 * qty);
        for (int k = 0; k < qty; ++k)
            put16(f + 13 + 2 * k, unsigned(p.tid + k));
    } else {
        c.out.resize(at + 12);
        std::uint8_t* f = c.out.data() + at;
        put16(f, p.tid);
        put16(f + 2, 0);
        put16(f + 4, 6);
        f[6] = kUnit;
        f[7] = 3;
        put16(f + 8, p.address);
        put16(f + 10, p.quantity);
    }
    if (opt_.rtu) {
        // unit | PDU | CRC: the MBAP header goes, a CRC comes.
        c.out.erase(c.out.begin() + std::ptrdiff_t(at), c.out.begin() + std::ptrdiff_t(at + 6));
        const unsigned crc = crc16(c.out.data() + at, c.out.size() - at);
        c.out.push_back(std::uint8_t(crc));
        c.out.push_back(std::uint8_t(crc >> 8));
    }
    c.ring[std::size_t((c.head + c.inFlight) % kMaxDepth)] = p;
    ++c.inFlight;
}

void LoadGenerator::kill(Connection& c)
{
    if (c.dead)
        return;
    c.dead = true;
    ++n_.closed;
    n_.timeouts += std::uint64_t(c.inFlight);   // they will never be answered
    c.inFlight = 0;
    epoll_ctl(ep_, EPOLL_CTL_DEL, c.fd, nullptr);
    ::close(c.fd);
    c.fd = -1;
}

void LoadGenerator::updateInterest(Connection& c)
{
    const bool want = c.outOff < c.out.size();
    if (want == c.wantWrite)
        return;
    c.wantWrite = want;
    epoll_event ev{};
    ev.events = EPOLLIN | (want ? EPOLLOUT : 0u);
    ev.data.u32 = std::uint32_t(&c - conns_.data());
    epoll_ctl(ep_, EPOLL_CTL_MOD, c.fd, &ev);
}

bool LoadGenerator::flush(Connection& c)
{
    while (c.outOff < c.out.size()) {
        const ssize_t w = ::send(c.fd, c.out.data() + c.outOff, c.out.size() - c.outOff, MSG_NOSIGNAL);
        if (w > 0) {
            c.outOff += std::size_t(w);
            continue;
        }
        if (w < 0 && errno == EINTR)
            continue;
        if (w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            break;
        kill(c);
        return false;
    }
    if (c.outOff == c.out.size()) {
        c.out.clear();
        c.outOff = 0;
    }
    updateInterest(c);
    return true;
}

bool LoadGenerator::takeReply(Connection& c, const std::uint8_t* f, std::size_t size, std::uint64_t now, bool sending,
                              int& answered)
{
    if (c.inFlight == 0) {   // an answer nobody asked for
        ++n_.mismatches;
        kill(c);
        return false;
    }
    const Pending p = c.ring[std::size_t(c.head)];
    c.head = (c.head + 1) % kMaxDepth;
    --c.inFlight;

    bool ok = true;
    const unsigned tid = get16(f);
    const unsigned fc = f[7];
    if (tid != p.tid || f[6] != kUnit) {
        ++n_.mismatches;
        ok = false;
    } else if (fc == (p.function | 0x80u)) {
        ++n_.exceptions;
        ok = false;
    } else if (fc != p.function) {
        ++n_.mismatches;
        ok = false;
    } else if (p.function == 3) {
        const std::size_t bytes = 2 * std::size_t(p.quantity);
        if (size != 9 + bytes || f[8] != bytes) {
            ++n_.mismatches;
            ok = false;
        }
    } else {
        if (size != 12 || get16(f + 8) != p.address || get16(f + 10) != p.quantity) {
            ++n_.mismatches;
            ok = false;
        }
    }
    if (!ok && firstMismatchLogged_ < 5 && !opt_.quiet) {
        ++firstMismatchLogged_;
        std::fprintf(stderr, "loadgen: bad reply tid=%u (expected %u) unit=%u fc=0x%02x (sent %u) size=%zu\n",
                     tid, unsigned(p.tid), unsigned(f[6]), fc, unsigned(p.function), size);
    }
    if (ok) {
        ++n_.total;
        if (now >= windowStart_ && now < windowEnd_) {
            ++n_.completed;
            latencies_.push_back(std::uint32_t(std::min<std::uint64_t>(now - p.sentNs, 0xffffffffu)));
        }
    }
    if (sending)
        queueRequest(c, now);
    ++answered;
    return true;
}

bool LoadGenerator::parseRtuReplies(Connection& c, std::uint64_t now, bool sending, int& answered)
{
    std::size_t off = 0;
    while (c.inLen - off >= 5) {
        const std::uint8_t* r = c.in.data() + off;
        if (c.inFlight == 0) {
            ++n_.mismatches;
            kill(c);
            return false;
        }
        const Pending& p = c.ring[std::size_t(c.head)];
        const std::size_t size = (r[1] & 0x80) ? 5 : p.function == 3 ? 5 + 2 * std::size_t(p.quantity) : 8;
        if (c.inLen - off < size)
            break;
        if (crc16(r, size - 2) != (unsigned(r[size - 2]) | unsigned(r[size - 1]) << 8)) {
            ++n_.malformed;
            kill(c);
            return false;
        }
        // Checked as the Modbus/TCP reply it stands for.
        std::array<std::uint8_t, 6 + 256> m;
        put16(m.data(), p.tid);
        put16(m.data() + 2, 0);
        put16(m.data() + 4, unsigned(size - 2));
        std::memcpy(m.data() + 6, r, size - 2);
        if (!takeReply(c, m.data(), size + 4, now, sending, answered))
            return false;
        off += size;
    }
    if (off > 0) {
        std::memmove(c.in.data(), c.in.data() + off, c.inLen - off);
        c.inLen -= off;
    }
    return true;
}

bool LoadGenerator::parseReplies(Connection& c, std::uint64_t now, bool sending, int& answered)
{
    if (opt_.rtu)
        return parseRtuReplies(c, now, sending, answered);
    std::size_t off = 0;
    while (c.inLen - off >= 8) {
        const std::uint8_t* f = c.in.data() + off;
        const unsigned len = get16(f + 4);
        if (get16(f + 2) != 0 || len < 3 || len > 254) {
            ++n_.malformed;
            kill(c);
            return false;
        }
        const std::size_t size = 6 + std::size_t(len);
        if (c.inLen - off < size)
            break;
        if (!takeReply(c, f, size, now, sending, answered))
            return false;
        off += size;
    }
    if (off > 0) {
        std::memmove(c.in.data(), c.in.data() + off, c.inLen - off);
        c.inLen -= off;
    }
    return true;
}

void LoadGenerator::onReadable(Connection& c, std::uint64_t now, bool sending)
{
    for (;;) {
        if (c.inLen == c.in.size())
            c.in.resize(c.in.size() * 2);
        const ssize_t r = ::recv(c.fd, c.in.data() + c.inLen, c.in.size() - c.inLen, 0);
        if (r > 0) {
            c.inLen += std::size_t(r);
            if (c.inLen < c.in.size())
                break;   // the socket is drained; no second recv() just to see EAGAIN
            continue;
        }
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            break;
        kill(c);   // closed by the server, or reset
        return;
    }
    int answered = 0;
    if (!parseReplies(c, now, sending, answered))
        return;
    if (!c.out.empty())
        flush(c);
}

int LoadGenerator::run()
{
    ep_ = epoll_create1(EPOLL_CLOEXEC);
    if (ep_ < 0) {
        std::perror("loadgen: epoll_create1");
        return 2;
    }
    if (!connectAll())
        return 2;
    latencies_.reserve(1 << 22);

    const std::uint64_t t0 = nowNs();
    windowStart_ = t0 + std::uint64_t(opt_.warmup * 1e9);
    windowEnd_ = windowStart_ + std::uint64_t(opt_.seconds * 1e9);
    const std::uint64_t drainEnd = windowEnd_ + std::uint64_t(opt_.drain * 1e9);

    for (auto& c : conns_) {
        for (int k = 0; k < opt_.depth; ++k)
            queueRequest(c, t0);
        flush(c);
    }

    std::vector<epoll_event> events(std::size_t(std::max(opt_.connections, 16)));
    for (;;) {
        const std::uint64_t now = nowNs();
        const bool sending = now < windowEnd_;
        if (!sending) {
            if (now >= drainEnd)
                break;
            bool anyInFlight = false;
            for (const auto& c : conns_)
                anyInFlight = anyInFlight || (!c.dead && c.inFlight > 0);
            if (!anyInFlight)
                break;
        }
        const std::uint64_t until = sending ? windowEnd_ : drainEnd;
        const int timeoutMs = int(std::min<std::uint64_t>((until - now) / 1000000 + 1, 100));
        const int n = epoll_wait(ep_, events.data(), int(events.size()), timeoutMs);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            std::perror("loadgen: epoll_wait");
            return 2;
        }
        const std::uint64_t t = nowNs();
        const bool send = t < windowEnd_;
        for (int i = 0; i < n; ++i) {
            Connection& c = conns_[events[std::size_t(i)].data.u32];
            if (c.dead)
                continue;
            if (events[std::size_t(i)].events & (EPOLLIN | EPOLLERR | EPOLLHUP))
                onReadable(c, t, send);
            if (!c.dead && (events[std::size_t(i)].events & EPOLLOUT))
                flush(c);
        }
    }
    for (auto& c : conns_) {
        if (!c.dead) {
            n_.timeouts += std::uint64_t(c.inFlight);
            ::close(c.fd);
        }
    }
    ::close(ep_);

    std::uint64_t p50 = 0, p99 = 0, pmax = 0;
    if (!latencies_.empty()) {
        auto pct = [&](double q) {
            std::size_t k = std::min(latencies_.size() - 1, std::size_t(q * double(latencies_.size())));
            std::nth_element(latencies_.begin(), latencies_.begin() + std::ptrdiff_t(k), latencies_.end());
            return std::uint64_t(latencies_[k]);
        };
        p50 = pct(0.50);
        p99 = pct(0.99);
        pmax = *std::max_element(latencies_.begin(), latencies_.end());
    }
    const double rps = double(n_.completed) / opt_.seconds;
    if (!opt_.quiet) {
        std::printf("%s%s%d connection(s) x %d in flight, %.2f s (+%.2f s warm-up): %.0f req/s, "
                    "p50 %.1f us, p99 %.1f us, max %.1f us, errors %" PRIu64 "\n",
                    opt_.label.c_str(), opt_.label.empty() ? "" : ": ", opt_.connections, opt_.depth,
                    opt_.seconds, opt_.warmup, rps, double(p50) / 1e3, double(p99) / 1e3,
                    double(pmax) / 1e3, n_.errors());
    }
    std::printf("RESULT conns=%d depth=%d seconds=%.3f requests=%" PRIu64 " rps=%.1f p50_us=%.1f p99_us=%.1f "
                "max_us=%.1f errors=%" PRIu64 " exceptions=%" PRIu64 " mismatches=%" PRIu64 " malformed=%" PRIu64
                " closed=%" PRIu64 " timeouts=%" PRIu64 " total=%" PRIu64 "\n",
                opt_.connections, opt_.depth, opt_.seconds, n_.completed, rps, double(p50) / 1e3,
                double(p99) / 1e3, double(pmax) / 1e3, n_.errors(), n_.exceptions, n_.mismatches, n_.malformed,
                n_.closed, n_.timeouts, n_.total);
    std::fflush(stdout);
    return (n_.errors() == 0 && n_.total > 0) ? 0 : 1;
}

void usage()
{
    std::fprintf(stderr,
                 "usage: kelvaro_loadgen --port P [--host 127.0.0.1] [--connections N] [--depth D]\n"
                 "                       [--seconds S] [--warmup W] [--drain T] [--write-percent 50]\n"
                 "                       [--address-space 10000] [--label TEXT] [--quiet] [--rtu]\n"
                 "  depth 1 = lock-step, 8 = eight requests in flight per connection (max %d)\n",
                 kMaxDepth);
}

} // namespace

int main(int argc, char** argv)
{
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&]() -> const char* {
            if (i + 1 >= argc) {
                usage();
                std::exit(2);
            }
            return argv[++i];
        };
        if (a == "--host")
            o.host = value();
        else if (a == "--port")
            o.port = std::atoi(value());
        else if (a == "--connections" || a == "-c")
            o.connections = std::atoi(value());
        else if (a == "--depth" || a == "-d")
            o.depth = std::atoi(value());
        else if (a == "--seconds")
            o.seconds = std::atof(value());
        else if (a == "--warmup")
            o.warmup = std::atof(value());
        else if (a == "--drain")
            o.drain = std::atof(value());
        else if (a == "--write-percent")
            o.writePercent = std::atoi(value());
        else if (a == "--address-space")
            o.addressSpace = std::atoi(value());
        else if (a == "--label")
            o.label = value();
        else if (a == "--quiet")
            o.quiet = true;
        else if (a == "--rtu")
            o.rtu = true;
        else {
            usage();
            return 2;
        }
    }
    if (o.port <= 0 || o.port > 65535 || o.connections < 1 || o.connections > 10000 || o.depth < 1 ||
        o.depth > kMaxDepth || o.seconds <= 0 || o.seconds > 600 || o.warmup < 0 || o.warmup > 60 ||
        o.drain < 0 || o.drain > 60 || o.writePercent < 0 || o.writePercent > 100 || o.addressSpace < 125 ||
        o.addressSpace > 65536) {
        usage();
        return 2;
    }
    LoadGenerator g(o);
    return g.run();
}
