#include "engine/TcpServer.h"

#include "engine/Framing.h"
#include "engine/Pdu.h"

#include <asio/ip/v6_only.hpp>
#include <asio/write.hpp>

#include <array>
#include <cstring>

namespace pomrel {

namespace {
// A read holds many pipelined requests; the answers to one read go out in one write. The write
// buffer is capped so that a burst of small requests for large answers stays bounded: requests
// beyond the cap wait in the read buffer for the next round.
constexpr std::size_t kReadBuffer = 8192;
constexpr std::size_t kWriteCap = 64 * 1024;
// Far beyond any real master count; keeps a connection flood from exhausting memory.
constexpr std::size_t kMaxSessions = 2048;
} // namespace

class TcpSession : public std::enable_shared_from_this<TcpSession> {
public:
    TcpSession(std::shared_ptr<TcpServer> server, TcpServer::Socket socket)
        : server_(std::move(server)), socket_(std::move(socket))
    {
        server_->sessions_.insert(this);
    }
    ~TcpSession() { server_->sessions_.erase(this); }
    TcpSession(const TcpSession&) = delete;
    TcpSession& operator=(const TcpSession&) = delete;

    void Start()
    {
        std::error_code ignored;
        socket_.non_blocking(true, ignored);
        Read();
    }
    void Close()
    {
        std::error_code ignored;
        socket_.close(ignored);
    }

private:
    void Read()
    {
        socket_.async_read_some(asio::buffer(read_.data() + readSize_, read_.size() - readSize_),
                                [self = shared_from_this()](const std::error_code& ec, std::size_t n) {
                                    if (ec)
                                        return self->Close();
                                    self->readSize_ += n;
                                    self->Process();
                                });
    }

    // Answers every whole request in the read buffer, then sends all answers in one write.
    void Process()
    {
        EngineContext& context = server_->context_;
        std::size_t offset = 0;
        std::size_t writeSize = 0;
        std::uint32_t valid = 0;
        bool malformed = false;
        const PduOptions options{server_->enron.load(std::memory_order_relaxed)};
        if (!write_)  // a connection that never sends a whole request costs no answer buffer
            write_.reset(new std::uint8_t[kWriteCap + kMaxMbapFrame]);
        {
            std::lock_guard lock(context.blocks.Mutex());
            while (writeSize < kWriteCap) {
                const std::uint8_t* frame = read_.data() + offset;
                const std::size_t available = readSize_ - offset;
                std::size_t frameSize = 0;
                const MbapScan scan = ScanMbap(frame, available, frameSize);
                if (scan == MbapScan::Incomplete)
                    break;
                if (scan == MbapScan::Malformed) {
                    // The stream cannot be resynchronised: this connection ends, no other.
                    context.Log(frame, available, kDiscarded);
                    malformed = true;
                    offset = readSize_;
                    break;
                }
                ++valid;
                context.Log(frame, frameSize, kReceived);
                std::uint8_t* out = write_.get() + writeSize;
                const std::uint8_t unit = frame[kMbapHeader - 1];
                const std::size_t pduSize = ServeRequest(context.blocks, Addressing::Tcp(unit), options,
                                                         frame + kMbapHeader, frameSize - kMbapHeader,
                                                         out + kMbapHeader);
                if (pduSize > 0) {
                    PutMbapHeader(out, static_cast<std::uint16_t>(frame[0] << 8 | frame[1]), unit, pduSize);
                    context.Log(out, kMbapHeader + pduSize, kSent);
                    writeSize += kMbapHeader + pduSize;
                }
                offset += frameSize;
            }
        }
        if (valid > 0)
            server_->validMessages.fetch_add(valid, std::memory_order_relaxed);
        if (malformed)
            server_->invalidChecks.fetch_add(1, std::memory_order_relaxed);
        if (offset == readSize_) {
            readSize_ = 0;  // the usual case: everything answered, nothing to move
        } else if (offset > 0) {
            std::memmove(read_.data(), read_.data() + offset, readSize_ - offset);
            readSize_ -= offset;
        }
        if (writeSize > 0) {
            // Usually the socket takes the whole answer at once: then carry on right here instead
            // of a round through the scheduler. What it does not take goes out asynchronously.
            std::error_code ec;
            const std::size_t sent = socket_.write_some(asio::buffer(write_.get(), writeSize), ec);
            if (ec && ec != asio::error::would_block && ec != asio::error::try_again)
                return Close();
            if (!ec && sent == writeSize)
                return malformed ? Close() : Continue();
            const std::size_t done = ec ? 0 : sent;
            asio::async_write(socket_, asio::buffer(write_.get() + done, writeSize - done),
                              [self = shared_from_this(), malformed](const std::error_code& error, std::size_t) {
                                  if (error || malformed)
                                      return self->Close();
                                  self->Continue();
                              });
        } else if (malformed) {
            Close();
        } else {
            Read();
        }
    }

    // After a write: requests held back by the write cap come first, then more reading.
    void Continue()
    {
        std::size_t frameSize = 0;
        if (ScanMbap(read_.data(), readSize_, frameSize) != MbapScan::Incomplete)
            Process();
        else
            Read();
    }

    std::shared_ptr<TcpServer> server_;
    TcpServer::Socket socket_;
    std::array<std::uint8_t, kReadBuffer> read_;
    std::size_t readSize_ = 0;
    std::unique_ptr<std::uint8_t[]> write_;
};

TcpServer::TcpServer(EngineContext& context) : context_(context), v6_(context.io), v4_(context.io), retry_(context.io) {}

std::shared_ptr<TcpServer> TcpServer::Open(EngineContext& context, std::uint16_t port, std::string& error)
{
    std::shared_ptr<TcpServer> server(new TcpServer(context));
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
    // Port 0 lets the system choose on IPv6; IPv4 then takes the same number, which another
    // program may hold: try again a few times.
    for (int attempt = 0; attempt < 8; ++attempt) {
        std::error_code ec6 = listen(server->v6_, tcp::endpoint(asio::ip::address_v6::any(), port), true);
        if (ec6 == asio::error::address_in_use) {
            error = ec6.message();
            return nullptr;
        }
        std::uint16_t chosen = port;
        if (!ec6)
            chosen = server->v6_.local_endpoint(ec6).port();
        const bool haveV6 = !ec6 && server->v6_.is_open();
        std::error_code ec4 = listen(server->v4_, tcp::endpoint(asio::ip::address_v4::any(), chosen), false);
        if (!ec4) {
            server->boundPort = server->v4_.local_endpoint(ec4).port();
            return server;
        }
        if (haveV6 && ec4 != asio::error::address_in_use) {
            server->boundPort = chosen;  // a machine without IPv4: IPv6 alone still serves
            return server;
        }
        std::error_code ignored;
        server->v6_.close(ignored);
        server->v4_.close(ignored);
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
    if (v6_.is_open())
        Accept(v6_);
    if (v4_.is_open())
        Accept(v4_);
}

void TcpServer::Accept(Acceptor& acceptor)
{
    acceptor.async_accept([self = shared_from_this(), &acceptor](const std::error_code& ec, Socket socket) {
        if (self->stopped_ || ec == asio::error::operation_aborted)
            return;
        if (ec) {
            // Out of descriptors, most likely: wait a little instead of spinning.
            self->retry_.expires_after(std::chrono::milliseconds(100));
            self->retry_.async_wait([self, &acceptor](const std::error_code& waitError) {
                if (!waitError && !self->stopped_)
                    self->Accept(acceptor);
            });
            return;
        }
        std::error_code ignored;
        if (self->sessions_.size() >= kMaxSessions) {
            socket.close(ignored);
        } else {
            socket.set_option(asio::ip::tcp::no_delay(true), ignored);
            std::make_shared<TcpSession>(self, std::move(socket))->Start();
        }
        self->Accept(acceptor);
    });
}

void TcpServer::Stop()
{
    stopped_ = true;
    std::error_code ignored;
    v6_.close(ignored);
    v4_.close(ignored);
    retry_.cancel();
    for (TcpSession* session : sessions_)
        session->Close();
}

} // namespace pomrel
