#include "engine/TlsServer.h"

#include "engine/FileBytes.h"
#include "engine/Framing.h"
#include "engine/Pdu.h"
#include "engine/RequestAnswer.h"
#include "engine/StreamFraming.h"
#include "engine/TcpServer.h"
#include "engine/UnitRoutes.h"

#include <asio/ip/tcp.hpp>
#include <asio/ip/v6_only.hpp>
#include <asio/ssl.hpp>
#include <asio/write.hpp>

#include <openssl/asn1.h>
#include <openssl/objects.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <unordered_map>

namespace pomrel {

namespace {
using Clock = std::chrono::steady_clock;
using asio::ip::tcp;

constexpr std::size_t kReadBuffer = 8192;
constexpr std::size_t kJunkRoom = 512;
// Answers of one read are capped like the TCP server's: requests beyond wait for the next round.
constexpr std::size_t kWriteCap = 64 * 1024;
// A client that connects and says nothing gives its place back after the request timeout, and
// after this long at most (the request timeout may be 0: never).
constexpr auto kHandshakeTimeout = std::chrono::seconds(10);
// The Modbus/TCP Security role extension: an ASN.1 UTF8String.
constexpr const char* kRoleOid = "1.3.6.1.4.1.50316.802.1";

// "cert server.pem: No such file or directory": the file, and why it cannot be used.
std::string FileError(const char* what, const std::string& path, const std::string& reason)
{
    return std::string(what) + " " + path + ": " + reason;
}

// Where a connection's SSL keeps its session (asio keeps its own verify callback in app data).
int SessionIndex()
{
    static const int index = SSL_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
    return index;
}

enum class RoleState { None, Role, Malformed };

// The role extension of a certificate: absent, a role (a DER UTF8String and nothing after it,
// once), or anything else, which is refused rather than read as "no role".
RoleState RoleIn(X509* cert, std::string& role)
{
    role.clear();
    ASN1_OBJECT* oid = OBJ_txt2obj(kRoleOid, 1);
    if (!oid)
        return RoleState::Malformed;
    RoleState state = RoleState::None;
    const int at = X509_get_ext_by_OBJ(cert, oid, -1);
    if (at >= 0) {
        state = RoleState::Malformed;
        const ASN1_OCTET_STRING* data = X509_EXTENSION_get_data(X509_get_ext(cert, at));
        const unsigned char* p = ASN1_STRING_get0_data(data);
        const long size = ASN1_STRING_length(data);
        const unsigned char* end = p + size;
        if (ASN1_UTF8STRING* text = d2i_ASN1_UTF8STRING(nullptr, &p, size)) {
            if (p == end && X509_get_ext_by_OBJ(cert, oid, at) < 0) {
                role.assign(reinterpret_cast<const char*>(ASN1_STRING_get0_data(text)),
                            static_cast<std::size_t>(ASN1_STRING_length(text)));
                state = RoleState::Role;
            }
            ASN1_UTF8STRING_free(text);
        }
    }
    ASN1_OBJECT_free(oid);
    return state;
}

// Whether every critical extension of the certificate is one OpenSSL handles or the role.
bool OnlyRoleUnhandled(X509* cert)
{
    ASN1_OBJECT* oid = OBJ_txt2obj(kRoleOid, 1);
    if (!oid)
        return false;
    bool ok = true;
    for (int i = 0; i < X509_get_ext_count(cert) && ok; ++i) {
        X509_EXTENSION* ext = X509_get_ext(cert, i);
        if (X509_EXTENSION_get_critical(ext) && !X509_supported_extension(ext))
            ok = OBJ_cmp(X509_EXTENSION_get_object(ext), oid) == 0;
    }
    ASN1_OBJECT_free(oid);
    return ok;
}

// The role a verified client certificate carries, or empty.
std::string RoleOf(SSL* ssl)
{
    std::string role;
    if (X509* cert = SSL_get1_peer_certificate(ssl)) {
        RoleIn(cert, role);
        X509_free(cert);
    }
    return role;
}
} // namespace

// One master's TLS connection. Lives while an operation is pending on it; the server's table
// holds it while it is open.
struct TlsSession : std::enable_shared_from_this<TlsSession> {
    TlsSession(tcp::socket socket, asio::ssl::context& ssl) : stream(std::move(socket), ssl), timer(stream.get_executor()) {}

    asio::ssl::stream<tcp::socket> stream;
    asio::steady_timer timer;  // the handshake's deadline, then a fault's late answer
    FrameSource source;
    std::string role;
    std::string refusal;  // why the client's certificate was refused, when it was
    bool writesRefused = false;
    bool handshaken = false;
    bool closed = false;
    bool closeWhenSent = false;
    Clock::time_point lastUse;
    Clock::time_point partialSince;
    bool partial = false;
    std::vector<std::uint8_t> late;  // a fault's answer held back (delay, split)
    std::size_t lateSplit = 0;
    std::chrono::milliseconds lateGap{0};
    std::string lateFault;  // the rule that holds it back, for its records
    std::size_t readSize = 0;
    std::array<std::uint8_t, kReadBuffer> read{};
    std::vector<std::uint8_t> out;
};

struct TlsServer::Impl {
    explicit Impl(EngineContext& c) : context(c), ssl(asio::ssl::context::tls_server), v6(c.io), v4(c.io), requestTimer(c.io) {}

    EngineContext& context;
    asio::ssl::context ssl;
    tcp::acceptor v6;
    tcp::acceptor v4;
    asio::steady_timer requestTimer;
    bool requestTimerArmed = false;
    TcpLimits limits;
    std::size_t cap = 0;
    LinkId link{LinkId::Kind::Tls, 0, 0};
    UnitRoutes units;
    std::vector<std::string> readOnlyRoles;
    std::unordered_map<TlsSession*, std::shared_ptr<TlsSession>> sessions;
    bool stopped = false;
    // What other threads read.
    mutable std::mutex mutex;
    std::vector<std::string> roles;  // of the sessions open now
    std::atomic<std::uint32_t> sessionCount{0};
    std::atomic<std::uint32_t> handshakeFailures{0};
    std::string lastHandshakeError;
};

TlsServer::~TlsServer() = default;

std::shared_ptr<TlsServer> TlsServer::Open(EngineContext& context, const ServerEndpoint& endpoint, const TcpLimits& limits,
                                           std::string& error)
{
    std::shared_ptr<TlsServer> server(new TlsServer());
    server->impl_ = std::make_unique<Impl>(context);
    Impl& d = *server->impl_;
    d.limits = limits;
    d.cap = SessionCapFor(limits.maxConnections);
    d.link.endpoint = endpoint.number;
    d.units = UnitRoutes(endpoint.units, false);
    d.readOnlyRoles = endpoint.tls.readOnlyRoles;

    // TLS 1.2 and 1.3 only.
    std::error_code ec;
    d.ssl.set_options(asio::ssl::context::default_workarounds | asio::ssl::context::no_sslv2 |
                          asio::ssl::context::no_sslv3 | asio::ssl::context::no_tlsv1 | asio::ssl::context::no_tlsv1_1 |
                          asio::ssl::context::single_dh_use,
                      ec);
    SSL_CTX_set_min_proto_version(d.ssl.native_handle(), TLS1_2_VERSION);
    const TlsFiles& files = endpoint.tls;
    // Read here, never waiting on a FIFO or a device, and handed to OpenSSL as bytes: OpenSSL
    // opening the path itself would block on a FIFO, and its messages ("system lib") do not
    // say why a file cannot be used.
    constexpr std::size_t kPemLimit = 4u << 20;
    std::vector<std::uint8_t> pem[3];
    struct File { const char* what; const std::string& path; };
    const File list[] = {File{"certificate", files.cert}, File{"key", files.key}, File{"CA", files.ca}};
    for (int i = 0; i < 3; ++i) {
        const File& f = list[i];
        if (f.path.empty() && i == 2)
            continue;  // no CA: clients are not asked for a certificate
        if (f.path.empty()) {
            error = std::string("no ") + f.what + " file given";
            return nullptr;
        }
        std::string why;
        auto bytes = ReadRegularFileBytes(f.path, kPemLimit, why);
        if (!bytes) {
            error = FileError(f.what, f.path, why);
            return nullptr;
        }
        pem[i] = std::move(*bytes);
    }
    if (d.ssl.use_certificate_chain(asio::buffer(pem[0]), ec); ec) {
        error = FileError("certificate", files.cert, ec.message());
        return nullptr;
    }
    if (d.ssl.use_private_key(asio::buffer(pem[1]), asio::ssl::context::pem, ec); ec) {
        error = FileError("key", files.key, ec.message());
        return nullptr;
    }
    std::fill(pem[1].begin(), pem[1].end(), std::uint8_t{0});  // the key lives on only in OpenSSL
    if (SSL_CTX_check_private_key(d.ssl.native_handle()) != 1) {
        error = FileError("key", files.key, "does not match the certificate " + files.cert);
        return nullptr;
    }
    if (!files.ca.empty()) {
        if (d.ssl.add_certificate_authority(asio::buffer(pem[2]), ec); ec) {
            error = FileError("CA", files.ca, ec.message());
            return nullptr;
        }
        // Mutual TLS: a client without a certificate that chains to the CA fails the handshake.
        d.ssl.set_verify_mode(asio::ssl::verify_peer | asio::ssl::verify_fail_if_no_peer_cert, ec);
        d.ssl.set_verify_callback(
            [](bool preverified, asio::ssl::verify_context& context) {
                X509_STORE_CTX* store = context.native_handle();
                X509* cert = X509_STORE_CTX_get_current_cert(store);
                if (!preverified) {
                    // A critical role extension is ours to read, not an unknown one.
                    if (X509_STORE_CTX_get_error(store) != X509_V_ERR_UNHANDLED_CRITICAL_EXTENSION || !cert ||
                        !OnlyRoleUnhandled(cert))
                        return false;
                    X509_STORE_CTX_set_error(store, X509_V_OK);
                }
                if (X509_STORE_CTX_get_error_depth(store) != 0 || !cert)
                    return true;
                std::string role;
                if (RoleIn(cert, role) != RoleState::Malformed)
                    return true;
                auto* ssl = static_cast<SSL*>(X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
                if (auto* session = ssl ? static_cast<TlsSession*>(SSL_get_ex_data(ssl, SessionIndex())) : nullptr)
                    session->refusal = "client certificate refused: its role is not a UTF8String";
                X509_STORE_CTX_set_error(store, X509_V_ERR_INVALID_EXTENSION);
                return false;
            },
            ec);
    }

    auto listen = [](tcp::acceptor& acceptor, const tcp::endpoint& at, bool v6only) -> std::error_code {
        std::error_code e;
        acceptor.open(at.protocol(), e);
        if (e)
            return e;
        acceptor.set_option(tcp::acceptor::reuse_address(true), e);
        if (v6only)
            acceptor.set_option(asio::ip::v6_only(true), e);
        acceptor.bind(at, e);
        if (!e)
            acceptor.listen(asio::socket_base::max_listen_connections, e);
        if (e) {
            std::error_code ignored;
            acceptor.close(ignored);
        }
        return e;
    };
    if (!endpoint.address.empty()) {
        const asio::ip::address address = asio::ip::make_address(endpoint.address, ec);
        if (ec) {
            error = "\"" + endpoint.address + "\" is not an IPv4 or IPv6 address";
            return nullptr;
        }
        tcp::acceptor& acceptor = address.is_v6() ? d.v6 : d.v4;
        if (ec = listen(acceptor, tcp::endpoint(address, endpoint.port), address.is_v6()); ec) {
            error = ec.message();
            return nullptr;
        }
        server->boundPort = acceptor.local_endpoint(ec).port();
        return server;
    }
    // Every interface, as the Modbus/TCP server: IPv6 and IPv4 on one port number.
    for (int attempt = 0; attempt < 8; ++attempt) {
        const std::error_code ec6 = listen(d.v6, tcp::endpoint(asio::ip::address_v6::any(), endpoint.port), true);
        if (ec6 == asio::error::address_in_use) {
            error = ec6.message();
            return nullptr;
        }
        std::uint16_t chosen = endpoint.port;
        std::error_code ignored;
        if (!ec6)
            chosen = d.v6.local_endpoint(ignored).port();
        const std::error_code ec4 = listen(d.v4, tcp::endpoint(asio::ip::address_v4::any(), chosen), false);
        if (!ec4 || (!ec6 && ec4 != asio::error::address_in_use)) {
            server->boundPort = chosen != 0 ? chosen : d.v4.local_endpoint(ignored).port();
            return server;
        }
        d.v6.close(ignored);
        if (!(endpoint.port == 0 && !ec6)) {
            error = ec4.message();
            return nullptr;
        }
    }
    error = std::make_error_code(std::errc::address_in_use).message();
    return nullptr;
}

std::uint32_t TlsServer::HandshakeFailures() const { return impl_->handshakeFailures.load(std::memory_order_relaxed); }

std::string TlsServer::LastHandshakeError() const
{
    std::lock_guard lock(impl_->mutex);
    return impl_->lastHandshakeError;
}

std::uint32_t TlsServer::Sessions() const { return impl_->sessionCount.load(std::memory_order_relaxed); }

std::vector<std::string> TlsServer::Roles() const
{
    std::lock_guard lock(impl_->mutex);
    return impl_->roles;
}

// ------------------------------------------------------------------ the session path (engine thread)

namespace {

class TlsRun {
public:
    TlsRun(TlsServer& server, TlsServer::Impl& d, std::shared_ptr<TlsServer> keep) : server_(server), d_(d), keep_(std::move(keep)) {}

    void Accept(tcp::acceptor& acceptor);
    void Adopt(tcp::socket socket);
    void Handshake(const std::shared_ptr<TlsSession>& session);
    void Read(const std::shared_ptr<TlsSession>& session);
    void Serve(const std::shared_ptr<TlsSession>& session);
    void Write(const std::shared_ptr<TlsSession>& session);
    void AfterWrite(const std::shared_ptr<TlsSession>& session);
    void SendLate(const std::shared_ptr<TlsSession>& session);
    void Close(TlsSession& session);
    void WatchRequestTimes();

private:
    TlsServer& server_;
    TlsServer::Impl& d_;
    std::shared_ptr<TlsServer> keep_;  // the server lives while an operation is pending
};

} // namespace

// Every handler holds a TlsRun by value: a reference to the server's state and a share of it.
void TlsServer::SetLimits(const TcpLimits& limits)
{
    impl_->limits = limits;
    impl_->cap = SessionCapFor(limits.maxConnections);
    TlsRun(*this, *impl_, shared_from_this()).WatchRequestTimes();
}

void TlsServer::Start()
{
    TlsRun run(*this, *impl_, shared_from_this());
    if (impl_->v6.is_open())
        run.Accept(impl_->v6);
    if (impl_->v4.is_open())
        run.Accept(impl_->v4);
}

void TlsServer::Stop()
{
    Impl& d = *impl_;
    d.stopped = true;
    std::error_code ignored;
    d.v6.close(ignored);
    d.v4.close(ignored);
    d.requestTimer.cancel();
    auto sessions = std::move(d.sessions);
    d.sessions.clear();
    for (auto& [raw, session] : sessions) {
        session->closed = true;
        session->timer.cancel();
        session->stream.lowest_layer().close(ignored);
    }
    std::lock_guard lock(d.mutex);
    d.roles.clear();
    d.sessionCount.store(0, std::memory_order_relaxed);
}

namespace {

void TlsRun::Accept(tcp::acceptor& acceptor)
{
    acceptor.async_accept([run = *this, &acceptor](const std::error_code& ec, tcp::socket socket) mutable {
        if (run.d_.stopped || ec == asio::error::operation_aborted)
            return;
        if (ec == asio::error::no_descriptors || ec == asio::error::no_buffer_space || ec == asio::error::no_memory) {
            // Out of descriptors: the connection stays queued; try again shortly, not at once.
            auto pause = std::make_shared<asio::steady_timer>(run.d_.context.io, std::chrono::milliseconds(100));
            pause->async_wait([run, pause, &acceptor](const std::error_code& waitError) mutable {
                if (!waitError && !run.d_.stopped)
                    run.Accept(acceptor);
            });
            return;
        }
        if (!ec)
            run.Adopt(std::move(socket));
        run.Accept(acceptor);
    });
}

void TlsRun::Adopt(tcp::socket socket)
{
    if (d_.sessions.size() >= d_.cap && !d_.sessions.empty()) {
        // Full: the session unused longest (a handshake counts as a use) makes room.
        auto oldest = d_.sessions.begin();
        for (auto it = d_.sessions.begin(); it != d_.sessions.end(); ++it)
            if (it->second->lastUse < oldest->second->lastUse)
                oldest = it;
        Close(*oldest->second);
    }
    std::error_code ec;
    socket.set_option(tcp::no_delay(true), ec);
    auto session = std::make_shared<TlsSession>(std::move(socket), d_.ssl);
    session->source.link = d_.link;
    session->source.peer = ToNetAddress(session->stream.lowest_layer().remote_endpoint(ec));
    session->source.local = ToNetAddress(session->stream.lowest_layer().local_endpoint(ec));
    session->source.stream = d_.context.NextStreamNumber();
    session->lastUse = Clock::now();
    SSL_set_ex_data(session->stream.native_handle(), SessionIndex(), session.get());
    d_.sessions.emplace(session.get(), session);
    d_.sessionCount.store(static_cast<std::uint32_t>(d_.sessions.size()), std::memory_order_relaxed);
    Handshake(session);
}

void TlsRun::Handshake(const std::shared_ptr<TlsSession>& session)
{
    const auto requestTimeout = std::chrono::milliseconds(d_.limits.requestTimeoutMs);
    session->timer.expires_after(requestTimeout.count() > 0 ? std::min<std::chrono::milliseconds>(requestTimeout, kHandshakeTimeout)
                                                            : std::chrono::milliseconds(kHandshakeTimeout));
    session->timer.async_wait([run = *this, session](const std::error_code& ec) mutable {
        if (ec || session->closed || session->handshaken)
            return;
        run.d_.handshakeFailures.fetch_add(1, std::memory_order_relaxed);
        {
            std::lock_guard lock(run.d_.mutex);
            run.d_.lastHandshakeError = "no handshake in time";
        }
        run.Close(*session);  // said nothing (or too little) in time
    });
    session->stream.async_handshake(asio::ssl::stream_base::server, [run = *this, session](const std::error_code& ec) mutable {
        if (session->closed)
            return;
        if (ec) {
            run.d_.handshakeFailures.fetch_add(1, std::memory_order_relaxed);
            {
                std::lock_guard lock(run.d_.mutex);
                run.d_.lastHandshakeError = session->refusal.empty() ? ec.message() : session->refusal;
            }
            run.Close(*session);
            return;
        }
        session->handshaken = true;
        session->timer.cancel();
        session->lastUse = Clock::now();
        session->role = RoleOf(session->stream.native_handle());
        const std::size_t shown = std::min(session->role.size(), session->source.role.size() - 1);
        std::memcpy(session->source.role.data(), session->role.data(), shown);
        const auto& readOnly = run.d_.readOnlyRoles;
        session->writesRefused = !session->role.empty() && std::find(readOnly.begin(), readOnly.end(), session->role) != readOnly.end();
        if (!session->role.empty()) {
            std::lock_guard lock(run.d_.mutex);
            run.d_.roles.push_back(session->role);
        }
        run.WatchRequestTimes();
        run.Read(session);
    });
}

void TlsRun::Read(const std::shared_ptr<TlsSession>& session)
{
    if (session->readSize == session->read.size())
        return Close(*session);  // cannot happen: a whole request is always taken out
    session->stream.async_read_some(
        asio::buffer(session->read.data() + session->readSize, session->read.size() - session->readSize),
        [run = *this, session](const std::error_code& ec, std::size_t n) mutable {
            if (session->closed)
                return;
            if (ec)
                return run.Close(*session);
            session->readSize += n;
            run.Serve(session);
        });
}

// Answers every whole request read so far, then writes the answers; reads again once they are out.
void TlsRun::Serve(const std::shared_ptr<TlsSession>& session)
{
    TlsSession& s = *session;
    EngineContext& context = d_.context;
    const PduOptions options{server_.enron.load(std::memory_order_relaxed)};
    std::size_t offset = 0;
    std::uint32_t valid = 0;
    bool incomplete = false;
    s.out.clear();
    {
        std::lock_guard lock(context.blocks.Mutex());
        while (s.out.size() < kWriteCap) {
            const std::uint8_t* frame = s.read.data() + offset;
            const std::size_t available = s.readSize - offset;
            const StreamScan scan = ScanMbapStream(frame, available);
            if (scan.kind == StreamScan::Kind::Incomplete) {
                incomplete = available > 0;
                break;
            }
            if (scan.kind != StreamScan::Kind::Frame) {
                // A header that is no header: this connection ends after what came before it.
                context.Log(frame, available, kDiscarded, s.source);
                server_.invalidChecks.fetch_add(1, std::memory_order_relaxed);
                s.closeWhenSent = true;
                offset = s.readSize;
                break;
            }
            ++valid;
            context.Log(frame, scan.size, kReceived, s.source);
            std::array<std::uint8_t, kMaxMbapFrame + kJunkRoom> out;
            const Addressing addressing = d_.units[scan.unit];
            const Answer answer = AnswerRequest(context, RequestLink{s.source.link, &server_.diagnostics, s.writesRefused, &s.source.peer},
                                                addressing, options, scan.pdu, scan.pduSize, out.data() + kMbapHeader);
            offset += scan.size;
            if (answer.fault.fired && answer.fault.action == FaultAction::Close) {
                context.frames.PushWithheld(s.source, answer.fault.ruleName, Withheld::Closed);
                s.closeWhenSent = true;
                break;
            }
            if (answer.pduSize == 0) {
                if (answer.fault.fired && answer.fault.action == FaultAction::NoReply)
                    context.frames.PushWithheld(s.source, answer.fault.ruleName, Withheld::NoReply);
                continue;
            }
            const auto unit = static_cast<std::uint8_t>(answer.unit - addressing.unit + scan.unit);
            PutMbapHeader(out.data(), static_cast<std::uint16_t>(frame[0] << 8 | frame[1]), unit, answer.pduSize);
            const std::size_t outSize = kMbapHeader + answer.pduSize;
            if (!answer.fault.fired) {
                context.Log(out.data(), outSize, kSent, s.source);
                s.out.insert(s.out.end(), out.data(), out.data() + outSize);
                continue;
            }
            const FaultDecision& fault = answer.fault;
            std::vector<std::uint8_t> bytes(out.data(), out.data() + outSize);
            FaultBytes(fault, bytes);
            if (fault.delayMs > 0 || fault.action == FaultAction::Split) {
                // Held back: the requests after it wait in the read buffer until it is sent. It
                // is recorded as it leaves, part by part; the rule may be gone by then.
                s.late = std::move(bytes);
                s.lateSplit = fault.action == FaultAction::Split ? s.late.size() / 2 : 0;
                s.lateGap = std::chrono::milliseconds(fault.gapMs);
                s.lateFault = fault.ruleName ? *fault.ruleName : std::string();
                s.timer.expires_after(std::chrono::milliseconds(fault.delayMs));
                break;
            }
            context.Log(bytes.data(), bytes.size(), kSent, s.source, fault.ruleName);
            s.out.insert(s.out.end(), bytes.begin(), bytes.end());
        }
    }
    const auto now = Clock::now();
    if (valid > 0) {
        server_.validMessages.fetch_add(valid, std::memory_order_relaxed);
        s.lastUse = now;
    }
    if (offset > 0)
        std::memmove(s.read.data(), s.read.data() + offset, s.readSize - offset);
    s.readSize -= offset;
    if (!incomplete)
        s.partial = false;
    else if (offset > 0 || !s.partial) {
        s.partial = true;
        s.partialSince = now;
    }
    Write(session);
}

void TlsRun::Write(const std::shared_ptr<TlsSession>& session)
{
    if (session->out.empty())
        return AfterWrite(session);
    asio::async_write(session->stream, asio::buffer(session->out),
                      [run = *this, session](const std::error_code& ec, std::size_t) mutable {
                          if (session->closed)
                              return;
                          if (ec)
                              return run.Close(*session);
                          run.AfterWrite(session);
                      });
}

void TlsRun::AfterWrite(const std::shared_ptr<TlsSession>& session)
{
    TlsSession& s = *session;
    if (s.closeWhenSent)
        return Close(s);
    if (!s.late.empty()) {
        s.timer.async_wait([run = *this, session](const std::error_code& ec) mutable {
            if (!ec && !session->closed && !run.d_.stopped)
                run.SendLate(session);
        });
        return;
    }
    if (ScanMbapStream(s.read.data(), s.readSize).kind != StreamScan::Kind::Incomplete)
        return Serve(session);  // requests that the answer cap or a fault held back
    Read(session);
}

void TlsRun::SendLate(const std::shared_ptr<TlsSession>& session)
{
    TlsSession& s = *session;
    const std::size_t size = s.lateSplit > 0 ? s.lateSplit : s.late.size();
    d_.context.Log(s.late.data(), size, kSent, s.source, &s.lateFault);
    s.out.assign(s.late.begin(), s.late.begin() + static_cast<std::ptrdiff_t>(size));
    s.late.erase(s.late.begin(), s.late.begin() + static_cast<std::ptrdiff_t>(size));
    s.lateSplit = 0;
    if (!s.late.empty())
        s.timer.expires_after(s.lateGap);  // the second part after the gap
    Write(session);
}

void TlsRun::Close(TlsSession& session)
{
    if (session.closed)
        return;
    session.closed = true;
    std::error_code ignored;
    session.timer.cancel();
    session.stream.lowest_layer().close(ignored);
    if (!session.role.empty()) {
        std::lock_guard lock(d_.mutex);
        const auto it = std::find(d_.roles.begin(), d_.roles.end(), session.role);
        if (it != d_.roles.end())
            d_.roles.erase(it);
    }
    d_.sessions.erase(&session);  // the last handler holding it lets it go
    d_.sessionCount.store(static_cast<std::uint32_t>(d_.sessions.size()), std::memory_order_relaxed);
}

void TlsRun::WatchRequestTimes()
{
    if (d_.requestTimerArmed || d_.limits.requestTimeoutMs == 0 || d_.sessions.empty() || d_.stopped)
        return;
    const auto timeout = std::chrono::milliseconds(d_.limits.requestTimeoutMs);
    d_.requestTimer.expires_after(std::clamp<std::chrono::milliseconds>(timeout / 4, std::chrono::milliseconds(10),
                                                                        std::chrono::milliseconds(1000)));
    d_.requestTimerArmed = true;
    d_.requestTimer.async_wait([run = *this](const std::error_code& ec) mutable {
        run.d_.requestTimerArmed = false;
        if (ec || run.d_.stopped)
            return;
        const Clock::time_point due = Clock::now() - std::chrono::milliseconds(run.d_.limits.requestTimeoutMs);
        std::vector<TlsSession*> late;
        for (auto& [raw, session] : run.d_.sessions)
            if (session->handshaken && session->partial && session->partialSince <= due && session->late.empty())
                late.push_back(raw);
        for (TlsSession* session : late)
            run.Close(*session);
        run.WatchRequestTimes();
    });
}

} // namespace

} // namespace pomrel
