#include "engine/TcpServer.h"

#include "engine/Framing.h"
#include "engine/Pdu.h"
#include "engine/RequestAnswer.h"

#include <asio/ip/v6_only.hpp>

#include <dirent.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <vector>

namespace pomrel {

namespace {
// A read holds many pipelined requests; the answers to one read go out in one send. The answers
// of one round are capped so that a burst of small requests for large answers stays bounded:
// requests beyond the cap wait in the read buffer for the next round.
constexpr std::size_t kReadBuffer = 8192;
constexpr std::size_t kWriteCap = 64 * 1024;
// Descriptors kept for the rest of the program whatever the session cap: serial ports,
// automation clients, documents and settings files, the toolkit's own.
constexpr std::uint64_t kReservedDescriptors = 256;
constexpr std::size_t kMinSessions = 16;
// Out of descriptors (or memory): accepting waits this long instead of failing again at once.
constexpr auto kAcceptPause = std::chrono::milliseconds(100);
// Ready sockets taken per epoll_wait; a full batch is followed by another before asio gets the
// thread back, at most this many rounds.
constexpr int kEventBatch = 128;
constexpr int kRoundsPerWakeUp = 4;
// Room after the answers of a round for one fault's junk bytes.
constexpr std::size_t kJunkRoom = 512;

bool WouldBlock(int error) { return error == EAGAIN || error == EWOULDBLOCK || error == EINTR; }

std::size_t OpenDescriptors()
{
    std::size_t count = 0;
    if (DIR* dir = ::opendir("/proc/self/fd")) {
        while (const dirent* entry = ::readdir(dir))
            count += entry->d_name[0] != '.';
        ::closedir(dir);
    }
    return count;
}

} // namespace

// The configured cap, lowered to what the soft limit of open files leaves after the descriptors
// open now and a reserve: sessions never starve the rest of the program of descriptors.
std::size_t SessionCapFor(std::uint32_t configured)
{
    std::size_t cap = std::max<std::size_t>(configured, 1);
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY) {
        const std::uint64_t used = OpenDescriptors() + kReservedDescriptors;
        const std::uint64_t budget = limit.rlim_cur > used ? limit.rlim_cur - used : 0;
        cap = std::min<std::size_t>(cap, std::max<std::size_t>(static_cast<std::size_t>(budget), kMinSessions));
    }
    return cap;
}

std::uint64_t RaiseOpenFileLimit()
{
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return 0;
    if (limit.rlim_cur < limit.rlim_max) {
        rlimit raised = limit;
        raised.rlim_cur = limit.rlim_max;
        if (::setrlimit(RLIMIT_NOFILE, &raised) == 0)
            limit = raised;
    }
    return limit.rlim_cur == RLIM_INFINITY ? UINT64_MAX : static_cast<std::uint64_t>(limit.rlim_cur);
}

// One master's connection. Its answers are built in the server's answer buffer; only what the
// socket does not take at once is kept here until it can be sent.
struct TcpSession {
    explicit TcpSession(int socket) : fd(socket) {}

    // While answers are unsent the socket is watched for room, not for requests.
    bool WaitingToSend() const { return !unsent.empty(); }

    int fd;
    FrameSource source;          // the link, the master's address and ours
    std::uint64_t serial = 0;    // tells a late timer whether its session is still this one
    std::size_t useSlot = 0;     // its place in the server's table of last uses
    std::chrono::steady_clock::time_point partialSince;  // when the incomplete request began
    bool partial = false;        // the read buffer ends in an incomplete request
    bool closeWhenSent = false;  // a malformed header was met: answer what came before it, then close
    // Fault injection: an answer sent late (or in two parts), and the requests after it wait.
    bool paused = false;
    std::vector<std::uint8_t> late;
    std::size_t lateSplit = 0;   // 0: in one piece; else the size of the first part
    std::chrono::milliseconds lateGap{0};
    std::string lateFault;       // the rule that holds it back, for its records
    std::unique_ptr<asio::steady_timer> lateTimer;
    std::size_t readSize = 0;
    std::size_t unsentOffset = 0;
    std::vector<std::uint8_t> unsent;
    std::array<std::uint8_t, kReadBuffer> read;
};

TcpServer::TcpServer(EngineContext& context, const TcpLimits& limits)
    : context_(context), v6_(context.io), v4_(context.io), limits_(limits), sessionCap_(SessionCapFor(limits.maxConnections)),
      requestTimer_(context.io), poller_(context.io)
{
}

TcpServer::~TcpServer()
{
    for (auto& [fd, session] : sessions_)
        ::close(fd);
}

std::shared_ptr<TcpServer> TcpServer::Open(EngineContext& context, std::uint16_t port, const TcpLimits& limits,
                                           std::string& error)
{
    ServerEndpoint endpoint;
    endpoint.port = port;
    return Open(context, endpoint, limits, error);
}

std::shared_ptr<TcpServer> TcpServer::Open(EngineContext& context, const ServerEndpoint& endpoint,
                                           const TcpLimits& limits, std::string& error)
{
    std::shared_ptr<TcpServer> server(new TcpServer(context, limits));
    server->rtu_ = endpoint.protocol == ServerProtocol::RtuOverTcp;
    server->link_ = LinkId{server->rtu_ ? LinkId::Kind::RtuOverTcp : LinkId::Kind::Tcp, 0, endpoint.number};
    server->units_ = UnitRoutes(endpoint.units, server->rtu_);
    const std::uint16_t port = endpoint.port;
    const int poller = ::epoll_create1(EPOLL_CLOEXEC);
    if (poller < 0) {
        error = std::error_code(errno, std::generic_category()).message();
        return nullptr;
    }
    std::error_code assignError;
    server->poller_.assign(poller, assignError);
    if (assignError) {
        ::close(poller);
        error = assignError.message();
        return nullptr;
    }
    using asio::ip::tcp;
    auto listen = [](Acceptor& acceptor, const tcp::endpoint& endpoint, bool v6only) -> std::error_code {
        std::error_code ec;
        acceptor.open(endpoint.protocol(), ec);
        if (ec)
            return ec;
        acceptor.set_option(tcp::acceptor::reuse_address(true), ec);
        if (v6only)
            acceptor.set_option(asio::ip::v6_only(true), ec);
        acceptor.bind(endpoint, ec);
        if (!ec)
            acceptor.listen(asio::socket_base::max_listen_connections, ec);
        if (ec) {
            std::error_code ignored;
            acceptor.close(ignored);
        }
        return ec;
    };
    if (!endpoint.address.empty()) {
        // One address: one listener of its family.
        std::error_code ec;
        const asio::ip::address address = asio::ip::make_address(endpoint.address, ec);
        if (ec) {
            error = "\"" + endpoint.address + "\" is not an IPv4 or IPv6 address";
            return nullptr;
        }
        Acceptor& acceptor = address.is_v6() ? server->v6_.acceptor : server->v4_.acceptor;
        ec = listen(acceptor, tcp::endpoint(address, port), address.is_v6());
        if (!ec)
            server->boundPort = acceptor.local_endpoint(ec).port();
        if (ec) {
            error = ec.message();
            return nullptr;
        }
        return server;
    }
    // Port 0 lets the system choose on IPv6; IPv4 then takes the same number, which another
    // program may hold: try again a few times.
    for (int attempt = 0; attempt < 8; ++attempt) {
        std::error_code ec6 = listen(server->v6_.acceptor, tcp::endpoint(asio::ip::address_v6::any(), port), true);
        if (ec6 == asio::error::address_in_use) {
            error = ec6.message();
            return nullptr;
        }
        std::uint16_t chosen = port;
        if (!ec6)
            chosen = server->v6_.acceptor.local_endpoint(ec6).port();
        const bool haveV6 = !ec6 && server->v6_.acceptor.is_open();
        std::error_code ec4 = listen(server->v4_.acceptor, tcp::endpoint(asio::ip::address_v4::any(), chosen), false);
        if (!ec4) {
            server->boundPort = server->v4_.acceptor.local_endpoint(ec4).port();
            return server;
        }
        if (haveV6 && ec4 != asio::error::address_in_use) {
            server->boundPort = chosen;  // a machine without IPv4: IPv6 alone still serves
            return server;
        }
        std::error_code ignored;
        server->v6_.acceptor.close(ignored);
        server->v4_.acceptor.close(ignored);
        if (!(port == 0 && haveV6 && ec4 == asio::error::address_in_use)) {
            error = ec4.message();
            return nullptr;
        }
    }
    error = std::make_error_code(std::errc::address_in_use).message();
    return nullptr;
}

void TcpServer::Start()
{
    if (v6_.acceptor.is_open())
        Accept(v6_);
    if (v4_.acceptor.is_open())
        Accept(v4_);
    WaitForSessions();
}

void TcpServer::Accept(Listener& listener)
{
    listener.acceptor.async_accept([self = shared_from_this(), &listener](const std::error_code& ec, Socket socket) {
        if (self->stopped_ || ec == asio::error::operation_aborted)
            return;
        const int error = ec.value();
        if (ec && ec.category() == asio::error::get_system_category() &&
            (error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM)) {
            // The connection stays queued in the system; take it when descriptors are back
            // instead of failing again at once. Each listener has its own wait.
            listener.retry.expires_after(kAcceptPause);
            listener.retry.async_wait([self, &listener](const std::error_code& waitError) {
                if (!waitError && !self->stopped_)
                    self->Accept(listener);
            });
            return;
        }
        if (!ec)  // else a connection that went before it was taken: next one
            self->Adopt(std::move(socket));
        self->Accept(listener);
    });
}

void TcpServer::CloseLeastRecentlyUsed()
{
    // Only when the table is full, so a scan: nothing on the request path keeps an order.
    if (use_.empty())
        return;
    const Use* oldest = &use_.front();
    for (const Use& use : use_)
        if (use.last < oldest->last)
            oldest = &use;
    CloseSession(*oldest->session);
}

void TcpServer::Adopt(Socket socket)
{
    std::error_code ec;
    if (sessions_.size() >= sessionCap_.load(std::memory_order_relaxed))
        CloseLeastRecentlyUsed();
    socket.set_option(asio::ip::tcp::no_delay(true), ec);
    FrameSource source;
    source.link = link_;
    source.peer = ToNetAddress(socket.remote_endpoint(ec));
    source.local = ToNetAddress(socket.local_endpoint(ec));
    const int fd = socket.release(ec);
    if (ec)
        return;
    auto session = std::make_unique<TcpSession>(fd);
    session->serial = ++nextSessionSerial_;
    source.stream = context_.NextStreamNumber();
    session->source = source;
    if (!Watch(*session, EPOLL_CTL_ADD, EPOLLIN)) {
        ::close(fd);
        return;
    }
    session->useSlot = use_.size();
    use_.push_back({Clock::now(), session.get()});
    sessions_.emplace(fd, std::move(session));
    sessionCount_.store(static_cast<std::uint32_t>(sessions_.size()), std::memory_order_relaxed);
    WatchRequestTimes();
}

void TcpServer::SetLimits(const TcpLimits& limits)
{
    limits_ = limits;
    sessionCap_.store(SessionCapFor(limits.maxConnections), std::memory_order_relaxed);
    WatchRequestTimes();
}

void TcpServer::WatchRequestTimes()
{
    if (requestTimerArmed_ || limits_.requestTimeoutMs == 0 || sessions_.empty())
        return;
    // A late request is found within a quarter of the limit (at most a second) after it is due.
    const auto timeout = std::chrono::milliseconds(limits_.requestTimeoutMs);
    requestTimer_.expires_after(std::clamp<std::chrono::milliseconds>(timeout / 4, std::chrono::milliseconds(10),
                                                                      std::chrono::milliseconds(1000)));
    requestTimerArmed_ = true;
    requestTimer_.async_wait([self = shared_from_this()](const std::error_code& ec) {
        self->requestTimerArmed_ = false;
        if (ec || self->stopped_)
            return;
        self->CloseLateRequests();
        self->WatchRequestTimes();
    });
}

void TcpServer::CloseLateRequests()
{
    const Clock::time_point due = Clock::now() - std::chrono::milliseconds(limits_.requestTimeoutMs);
    std::vector<TcpSession*> late;
    for (auto& [fd, session] : sessions_) {
        // Whole requests held back (answers waiting for room, a fault's delay) are not late.
        if (session->partial && session->partialSince <= due && !session->paused && !session->WaitingToSend())
            late.push_back(session.get());
    }
    for (TcpSession* session : late)
        CloseSession(*session);
}

bool TcpServer::Watch(TcpSession& session, int operation, std::uint32_t events)
{
    epoll_event event{};
    event.events = events;
    event.data.ptr = &session;
    return ::epoll_ctl(poller_.native_handle(), operation, session.fd, &event) == 0;
}

void TcpServer::WaitForSessions()
{
    poller_.async_wait(Descriptor::wait_read, [self = shared_from_this()](const std::error_code& ec) {
        if (ec || self->stopped_)
            return;
        self->RunReadySessions();
        self->WaitForSessions();
    });
}

void TcpServer::RunReadySessions()
{
    std::array<epoll_event, kEventBatch> events;
    now_ = Clock::now();
    for (int round = 0; round < kRoundsPerWakeUp; ++round) {
        const int count = ::epoll_wait(poller_.native_handle(), events.data(), kEventBatch, 0);
        for (int i = 0; i < count; ++i) {
            // A session is only ever closed while its own event is handled, and each socket is
            // reported once per epoll_wait: the pointer of every later event is still good.
            TcpSession& session = *static_cast<TcpSession*>(events[static_cast<std::size_t>(i)].data.ptr);
            const std::uint32_t ready = events[static_cast<std::size_t>(i)].events;
            if (session.WaitingToSend()) {
                if (ready & (EPOLLOUT | EPOLLERR | EPOLLHUP))
                    Flush(session);
            } else if (session.paused) {
                if (ready & (EPOLLERR | EPOLLHUP))
                    CloseSession(session);  // the master left while its answer was held back
            } else if (ready & (EPOLLIN | EPOLLERR | EPOLLHUP)) {
                Receive(session);
            }
        }
        if (count < kEventBatch)
            break;
    }
}

void TcpServer::Receive(TcpSession& session)
{
    // Level-triggered: one recv per report. Whatever it leaves behind is reported again.
    const ssize_t n = ::recv(session.fd, session.read.data() + session.readSize, session.read.size() - session.readSize,
                             MSG_DONTWAIT);
    if (n > 0) {
        session.readSize += static_cast<std::size_t>(n);
        Serve(session);
    } else if (n == 0 || !WouldBlock(errno)) {
        // The master left before a good frame followed what is buffered (noise, a damaged or
        // incomplete frame): it was received all the same.
        if (session.readSize > 0)
            context_.Log(session.read.data(), session.readSize, kDiscarded, session.source);
        CloseSession(session);
    }
}

// Answers every whole request in the read buffer and sends the answers in one go; repeats while
// the answer cap held requests back and the socket takes everything.
void TcpServer::Serve(TcpSession& session)
{
    for (;;) {
        bool malformed = false;
        const std::size_t size = AnswerBuffered(session, malformed);
        if (size > 0) {
            ssize_t sent = ::send(session.fd, answer_.get(), size, MSG_DONTWAIT | MSG_NOSIGNAL);
            if (sent < 0) {
                if (!WouldBlock(errno))
                    return CloseSession(session);
                sent = 0;
            }
            if (static_cast<std::size_t>(sent) < size) {
                // A master that does not read its answers: stop reading its requests until the
                // socket has room again. Nobody else waits for it.
                session.unsent.assign(answer_.get() + sent, answer_.get() + size);
                session.unsentOffset = 0;
                session.closeWhenSent = malformed;
                if (!Watch(session, EPOLL_CTL_MOD, EPOLLOUT))
                    CloseSession(session);
                return;
            }
        }
        if (malformed)
            return CloseSession(session);
        if (session.paused)
            return;  // a fault holds an answer back; the late timer goes on from here
        if (ScanFront(session.read.data(), session.readSize).kind == StreamScan::Kind::Incomplete)
            return;
    }
}

StreamScan TcpServer::ScanFront(const std::uint8_t* data, std::size_t size)
{
    if (rtu_)
        return rtuScanner_.Scan(data, size, enron.load(std::memory_order_relaxed));
    return ScanMbapStream(data, size);
}

std::size_t TcpServer::AnswerBuffered(TcpSession& session, bool& malformed)
{
    std::size_t offset = 0;
    std::size_t writeSize = 0;
    std::uint32_t valid = 0;
    std::uint32_t discarded = 0;
    bool closeForFault = false;
    bool incomplete = false;  // the buffer ends in part of a request
    const PduOptions options{enron.load(std::memory_order_relaxed)};
    if (!answer_)  // a server that never gets a whole request costs no answer buffer
        answer_.reset(new std::uint8_t[kWriteCap + kMaxMbapFrame + kJunkRoom]);
    {
        std::lock_guard lock(context_.blocks.Mutex());
        while (writeSize < kWriteCap) {
            const std::uint8_t* frame = session.read.data() + offset;
            const std::size_t available = session.readSize - offset;
            const StreamScan scan = ScanFront(frame, available);
            if (scan.kind == StreamScan::Kind::Incomplete) {
                incomplete = available > 0;
                break;
            }
            if (scan.kind == StreamScan::Kind::Discard) {
                // RTU: a damaged frame or noise before a good frame; the stream goes on after it.
                context_.Log(frame, scan.size, kDiscarded, session.source);
                ++discarded;
                offset += scan.size;
                continue;
            }
            if (scan.kind == StreamScan::Kind::Malformed) {
                // The stream cannot be resynchronised: this connection ends, no other.
                context_.Log(frame, available, kDiscarded, session.source);
                malformed = true;
                offset = session.readSize;
                break;
            }
            ++valid;
            const std::size_t frameSize = scan.size;
            context_.Log(frame, frameSize, kReceived, session.source);
            std::uint8_t* out = answer_.get() + writeSize;
            // RTU frames keep the serial line's addressing (unit 0 a broadcast, never answered).
            const Addressing addressing = units_[scan.unit];
            const std::size_t header = rtu_ ? 1 : kMbapHeader;
            const Answer answer = AnswerRequest(context_, RequestLink{session.source.link, &diagnostics, false, &session.source.peer}, addressing, options,
                                                scan.pdu, scan.pduSize, out + header);
            offset += frameSize;
            if (answer.fault.fired && answer.fault.action == FaultAction::Close) {
                context_.frames.PushWithheld(session.source, answer.fault.ruleName, Withheld::Closed);
                malformed = true;  // answer what came before, then close; nothing was malformed
                closeForFault = true;
                break;
            }
            if (answer.pduSize == 0) {
                if (answer.fault.fired && answer.fault.action == FaultAction::NoReply)
                    context_.frames.PushWithheld(session.source, answer.fault.ruleName, Withheld::NoReply);
                continue;
            }
            // The answer carries the unit id the master sent (shifted as a fault asked).
            const auto unit = static_cast<std::uint8_t>(answer.unit - addressing.unit + scan.unit);
            std::size_t outSize = 0;
            if (rtu_) {
                outSize = EncodeRtu(unit, out + 1, answer.pduSize, out);
            } else {
                PutMbapHeader(out, static_cast<std::uint16_t>(frame[0] << 8 | frame[1]), unit, answer.pduSize);
                outSize = kMbapHeader + answer.pduSize;
            }
            if (!answer.fault.fired) {
                context_.Log(out, outSize, kSent, session.source);
                writeSize += outSize;
                continue;
            }
            const FaultDecision& fault = answer.fault;
            if (rtu_ && fault.action == FaultAction::BadChecksum)
                out[outSize - 1] ^= 0xFF;  // the CRC's high byte, as on a serial line
            std::vector<std::uint8_t> bytes(out, out + outSize);
            FaultBytes(fault, bytes);
            if (fault.delayMs > 0 || fault.action == FaultAction::Split) {
                // Held back: the requests after it wait in the read buffer until it is sent. It
                // is recorded as it leaves, part by part; the rule may be gone by then.
                session.late = std::move(bytes);
                session.lateSplit = fault.action == FaultAction::Split ? session.late.size() / 2 : 0;
                session.lateGap = std::chrono::milliseconds(fault.gapMs);
                session.lateFault = fault.ruleName ? *fault.ruleName : std::string();
                session.paused = true;
                ArmLate(session, std::chrono::milliseconds(fault.delayMs));
                break;
            }
            context_.Log(bytes.data(), bytes.size(), kSent, session.source, fault.ruleName);
            std::memcpy(out, bytes.data(), bytes.size());
            writeSize += bytes.size();
        }
    }
    if (valid > 0) {
        validMessages.fetch_add(valid, std::memory_order_relaxed);
        use_[session.useSlot].last = now_;
    }
    if (malformed && !closeForFault)
        ++discarded;
    if (discarded > 0)
        invalidChecks.fetch_add(discarded, std::memory_order_relaxed);
    if (offset == session.readSize) {
        session.readSize = 0;  // the usual case: everything answered, nothing to move
        session.partial = false;
    } else {
        if (offset > 0) {
            std::memmove(session.read.data(), session.read.data() + offset, session.readSize - offset);
            session.readSize -= offset;
        }
        // The request now incomplete began with this read, unless it was already incomplete before.
        if (incomplete && (offset > 0 || !session.partial)) {
            session.partial = true;
            session.partialSince = now_;
        }
    }
    return writeSize;
}

void TcpServer::ArmLate(TcpSession& session, std::chrono::milliseconds after)
{
    // No requests are read meanwhile (hang-ups still show); answers already waiting for room
    // keep their watch, and Flush stops reading once they are out.
    if (!session.WaitingToSend() && !Watch(session, EPOLL_CTL_MOD, 0))
        return;  // the session closes when its socket reports the error
    if (!session.lateTimer)
        session.lateTimer = std::make_unique<asio::steady_timer>(context_.io);
    session.lateTimer->expires_after(after);
    session.lateTimer->async_wait([self = shared_from_this(), fd = session.fd, serial = session.serial](const std::error_code& ec) {
        if (ec || self->stopped_)
            return;
        const auto it = self->sessions_.find(fd);
        if (it != self->sessions_.end() && it->second->serial == serial)
            self->SendLate(*it->second);
    });
}

void TcpServer::SendLate(TcpSession& session)
{
    now_ = Clock::now();  // a timer's turn, not a wake-up's
    const std::size_t size = session.lateSplit > 0 ? session.lateSplit : session.late.size();
    context_.Log(session.late.data(), size, kSent, session.source, &session.lateFault);
    // Behind whatever still waits for room, through the path of a master that reads slowly.
    session.unsent.insert(session.unsent.end(), session.late.begin(), session.late.begin() + static_cast<std::ptrdiff_t>(size));
    session.late.erase(session.late.begin(), session.late.begin() + static_cast<std::ptrdiff_t>(size));
    session.lateSplit = 0;
    if (!session.late.empty())
        ArmLate(session, session.lateGap);  // the second part after the gap
    else
        session.paused = false;
    if (!Watch(session, EPOLL_CTL_MOD, EPOLLOUT))
        return CloseSession(session);
    Flush(session);
}

void TcpServer::Flush(TcpSession& session)
{
    while (session.unsentOffset < session.unsent.size()) {
        const ssize_t sent = ::send(session.fd, session.unsent.data() + session.unsentOffset,
                                    session.unsent.size() - session.unsentOffset, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (sent < 0) {
            if (WouldBlock(errno))
                return;  // still full: wait for the next report
            return CloseSession(session);
        }
        session.unsentOffset += static_cast<std::size_t>(sent);
    }
    session.unsent.clear();
    session.unsentOffset = 0;
    if (session.closeWhenSent)
        return CloseSession(session);
    if (session.paused) {
        // A fault still holds an answer back: go on reading nothing until it is sent.
        if (!Watch(session, EPOLL_CTL_MOD, 0))
            CloseSession(session);
        return;
    }
    if (!Watch(session, EPOLL_CTL_MOD, EPOLLIN))
        return CloseSession(session);
    Serve(session);  // requests held back while the answers waited
}

void TcpServer::CloseSession(TcpSession& session)
{
    const int fd = session.fd;
    ::epoll_ctl(poller_.native_handle(), EPOLL_CTL_DEL, fd, nullptr);
    ::close(fd);
    use_[session.useSlot] = use_.back();
    use_[session.useSlot].session->useSlot = session.useSlot;
    use_.pop_back();
    sessions_.erase(fd);  // destroys the session
    sessionCount_.store(static_cast<std::uint32_t>(sessions_.size()), std::memory_order_relaxed);
}

void TcpServer::Stop()
{
    stopped_ = true;
    std::error_code ignored;
    v6_.acceptor.close(ignored);
    v4_.acceptor.close(ignored);
    v6_.retry.cancel();
    v4_.retry.cancel();
    requestTimer_.cancel();
    for (auto& [fd, session] : sessions_)
        ::close(fd);
    sessions_.clear();
    sessionCount_.store(0, std::memory_order_relaxed);
    use_.clear();
    poller_.close(ignored);
}

} // namespace pomrel
