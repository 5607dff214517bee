// Which link a frame came over and from whom: what fault rules match on, and what monitors,
// captures and logs show of each frame.
#pragma once

#include <array>
#include <cstdint>

namespace pomrel {

struct LinkId {
    // Tcp is the Modbus/TCP server of OpenTCPConnection and every plain Modbus/TCP endpoint;
    // the others are the servers OpenServer adds.
    enum class Kind : std::uint8_t { Tcp, Serial, Udp, RtuOverTcp, Tls };
    Kind kind = Kind::Tcp;
    int port = 0;      // serial port 1..32
    int endpoint = 0;  // network servers: 0 the main one of its kind, else the endpoint's number
};

/// An IPv4 or IPv6 address and port as the socket gave it (network byte order in `bytes`).
struct NetAddress {
    std::uint8_t family = 0;  // 0 none, 4 IPv4 (bytes[0..3]), 6 IPv6
    std::array<std::uint8_t, 16> bytes{};
    std::uint16_t port = 0;   // host order
};

/// Where a frame travelled: the link, and for network links both ends.
struct FrameSource {
    LinkId link;
    NetAddress peer;          // the master
    NetAddress local;         // the server's own end
    std::uint64_t stream = 0; // one number per TCP/TLS connection for the life of the engine; 0 otherwise
    bool ascii = false;       // serial links: ASCII framing (else RTU)
    // Modbus/TCP Security: the role the client's certificate carries, NUL-terminated (a longer one
    // is cut); empty without one. Fixed size, so that recording a frame allocates nothing.
    std::array<char, 32> role{};
};

} // namespace pomrel
