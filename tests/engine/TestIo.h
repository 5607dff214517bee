// Blocking test-side ends of the engine's links: a TCP master socket and a pseudo-terminal pair.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace pomrel::test {

/// Reads what arrives on fd until `want` bytes or `timeout` passes.
inline std::vector<std::uint8_t> ReadFor(int fd, std::size_t want, std::chrono::milliseconds timeout)
{
    std::vector<std::uint8_t> out;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (out.size() < want) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            break;
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left.count())) <= 0)
            break;
        std::uint8_t buf[4096];
        const ssize_t n = ::read(fd, buf, std::min(sizeof buf, want - out.size()));
        if (n <= 0)
            break;
        out.insert(out.end(), buf, buf + n);
    }
    return out;
}

inline bool WriteAll(int fd, const std::vector<std::uint8_t>& bytes)
{
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n <= 0)
            return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

class TcpMaster {
public:
    /// `receiveBuffer` (bytes, 0: the system's) set before connecting fixes the window the
    /// master offers, so that a master that does not read fills the server's socket soon.
    explicit TcpMaster(std::uint16_t port, bool v6 = false, int receiveBuffer = 0)
    {
        fd_ = ::socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int one = 1;
        ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        if (receiveBuffer > 0)
            ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
        if (v6) {
            sockaddr_in6 a{};
            a.sin6_family = AF_INET6;
            a.sin6_port = htons(port);
            a.sin6_addr = in6addr_loopback;
            connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        } else {
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_port = htons(port);
            a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        }
    }
    ~TcpMaster()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    TcpMaster(const TcpMaster&) = delete;
    TcpMaster& operator=(const TcpMaster&) = delete;

    bool Connected() const { return connected_; }
    int Fd() const { return fd_; }
    bool Send(const std::vector<std::uint8_t>& bytes) { return WriteAll(fd_, bytes); }
    std::vector<std::uint8_t> Receive(std::size_t want, std::chrono::milliseconds timeout = std::chrono::milliseconds(2000))
    {
        return ReadFor(fd_, want, timeout);
    }
    /// True when the server closed the connection (read gives end of file) within the timeout.
    bool ClosedByPeer(std::chrono::milliseconds timeout = std::chrono::milliseconds(2000))
    {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(timeout.count())) <= 0)
            return false;
        std::uint8_t b;
        return ::read(fd_, &b, 1) == 0;
    }

private:
    int fd_ = -1;
    bool connected_ = false;
};

/// A pseudo-terminal: the engine opens SlavePath(), the test plays the master on Fd().
class Pty {
public:
    Pty()
    {
        fd_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (fd_ >= 0 && ::grantpt(fd_) == 0 && ::unlockpt(fd_) == 0)
            path_ = ::ptsname(fd_);
    }
    ~Pty()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    int Fd() const { return fd_; }
    const std::string& SlavePath() const { return path_; }
    bool Send(const std::vector<std::uint8_t>& bytes) { return WriteAll(fd_, bytes); }
    std::vector<std::uint8_t> Receive(std::size_t want, std::chrono::milliseconds timeout = std::chrono::milliseconds(2000))
    {
        return ReadFor(fd_, want, timeout);
    }

private:
    int fd_ = -1;
    std::string path_;
};

} // namespace pomrel::test
