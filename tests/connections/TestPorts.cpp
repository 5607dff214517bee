#include "TestPorts.h"

#include <arpa/inet.h>
#include <chrono>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pty.h>
#include <sys/socket.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace {

std::vector<std::uint8_t> ReadFd(int fd, std::size_t n, int quietMs)
{
    std::vector<std::uint8_t> got;
    while (got.size() < n) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, quietMs) <= 0 || !(p.revents & POLLIN))
            break;
        std::uint8_t buf[256];
        const ssize_t k = ::read(fd, buf, std::min(sizeof buf, n - got.size()));
        if (k <= 0)
            break;
        got.insert(got.end(), buf, buf + k);
    }
    return got;
}

void WriteFd(int fd, const std::vector<std::uint8_t>& bytes)
{
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t k = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (k <= 0)
            return;
        done += static_cast<std::size_t>(k);
    }
}

int Connect(std::uint16_t port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0)
        return fd;
    if (fd >= 0)
        ::close(fd);
    return -1;
}

} // namespace

PtyPair::PtyPair()
{
    termios raw{};
    cfmakeraw(&raw);
    char name[256] = {};
    if (::openpty(&master_, &slave_, name, &raw, nullptr) != 0) {
        master_ = slave_ = -1;
        return;
    }
    path_ = name;
}

PtyPair::~PtyPair()
{
    if (slave_ >= 0)
        ::close(slave_);
    if (master_ >= 0)
        ::close(master_);
}

void PtyPair::Write(const std::vector<std::uint8_t>& bytes) { WriteFd(master_, bytes); }
std::vector<std::uint8_t> PtyPair::Read(std::size_t n, int quietMs) { return ReadFd(master_, n, quietMs); }

TcpClient::TcpClient(std::uint16_t port) : fd_(Connect(port)) {}
TcpClient::~TcpClient()
{
    if (fd_ >= 0)
        ::close(fd_);
}
void TcpClient::Write(const std::vector<std::uint8_t>& bytes) { WriteFd(fd_, bytes); }
std::vector<std::uint8_t> TcpClient::Read(std::size_t n, int quietMs) { return ReadFd(fd_, n, quietMs); }

bool WaitUntil(const std::function<bool()>& condition, int limitMs)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

bool TcpPortAccepts(std::uint16_t port)
{
    const int fd = Connect(port);
    if (fd < 0)
        return false;
    ::close(fd);
    return true;
}
