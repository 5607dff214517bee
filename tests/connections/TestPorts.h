// Real endpoints for connection tests: a pseudo-terminal pair standing in for a serial line,
// and a plain TCP client; waits are bounded and only guard against a hang.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

/// A pseudo-terminal pair in raw mode; the engine opens SlavePath(), the test talks on the master.
class PtyPair {
public:
    PtyPair();
    ~PtyPair();
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;
    bool Ok() const { return master_ >= 0; }
    const std::string& SlavePath() const { return path_; }
    void Write(const std::vector<std::uint8_t>& bytes);
    /// Reads until `n` bytes came or nothing arrives for `quietMs`.
    std::vector<std::uint8_t> Read(std::size_t n, int quietMs = 3000);

private:
    int master_ = -1;
    int slave_ = -1;
    std::string path_;
};

/// A blocking TCP client on 127.0.0.1.
class TcpClient {
public:
    explicit TcpClient(std::uint16_t port);
    ~TcpClient();
    bool Ok() const { return fd_ >= 0; }
    void Write(const std::vector<std::uint8_t>& bytes);
    std::vector<std::uint8_t> Read(std::size_t n, int quietMs = 3000);

private:
    int fd_ = -1;
};

/// True once `condition` holds, checking while the engine works; false after `limitMs`.
bool WaitUntil(const std::function<bool()>& condition, int limitMs = 5000);
/// Whether something accepts connections on 127.0.0.1:port.
bool TcpPortAccepts(std::uint16_t port);
