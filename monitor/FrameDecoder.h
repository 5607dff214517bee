// What a frame means: each frame record decoded to unit, function, addresses, values or
// exception, and answers paired with their requests (by transaction id on TCP, by order on a
// serial line) with the time between them. Plain code.
#pragma once

#include "engine/FrameRecords.h"

#include <array>
#include <cstdint>
#include <deque>
#include <unordered_map>
#include <optional>
#include <string>
#include <vector>

namespace monitor {

struct DecodedFrame {
    bool ok = false;          // false: `error` says why the frame does not decode (hex is all there is)
    std::string error;
    bool request = true;      // received frames are requests, sent ones answers
    int unit = -1;
    int function = -1;        // without the exception bit
    int transactionId = -1;   // Modbus/TCP and UDP only
    enum class Check : std::uint8_t { None, Good, Bad } check = Check::None;  // CRC or LRC
    std::optional<std::uint32_t> address;   // first point, on the wire (0-based)
    std::optional<std::uint32_t> quantity;
    std::vector<std::uint16_t> values;      // registers, or coils as 0/1
    std::optional<std::uint8_t> exception;  // exception answer: its code
    std::optional<std::int64_t> rttUs;      // an answer paired with its request: µs since the request
    std::optional<std::uint16_t> subFunction;    // 8: the sub-function; 43: the MEI type
    std::optional<std::uint32_t> writeAddress;   // 23: the write half (address/quantity are the read half)
    std::optional<std::uint32_t> writeQuantity;
    std::string detail;       // what has no field of its own: device identification objects, a server id
};

/// Decodes records in the order the engine made them. Keeps what pairing needs: the open
/// requests of each link (bounded; the oldest unanswered are forgotten).
class FrameDecoder {
public:
    static constexpr std::size_t kMaxPending = 4096;

    DecodedFrame Decode(const pomrel::FrameRecord& record);
    /// The same into `frame`, reusing the storage it holds.
    void Decode(const pomrel::FrameRecord& record, DecodedFrame& frame);
    /// Open requests remembered for pairing.
    std::size_t Pending() const { return pending_.size(); }

private:
    // Where an answer is looked for: link kind, serial port or endpoint, stream (TCP kinds) or
    // peer (UDP), transaction id (-1: by order).
    struct Key {
        int kind = 0, where = 0;
        std::uint64_t stream = 0;
        std::array<std::uint8_t, 16> peer{};
        int peerPort = 0, transaction = -1;
        bool operator==(const Key&) const = default;
    };
    struct KeyHash {
        std::size_t operator()(const Key& k) const;
    };
    struct Open {
        std::int64_t monotonicUs = 0;
        int function = -1;
        std::optional<std::uint32_t> address;
        std::optional<std::uint32_t> quantity;
        std::uint64_t serial = 0;
    };
    Open Remember(const Key& key, const Open& open);
    Key KeyOf(const pomrel::FrameRecord& record, int transaction) const;
    bool JoinWithHeldPart(const pomrel::FrameRecord& record, DecodedFrame& f, bool& held);
    void PairWithheld(const pomrel::FrameRecord& record, DecodedFrame& f);
    std::unordered_map<Key, Open, KeyHash> pending_;
    // The request recorded last: an answer withheld by a fault is recorded right after its
    // request and carries nothing to pair by.
    struct Last {
        Key key;
        Open open;
        int unit = -1;
        int transactionId = -1;
        bool valid = false;
    } last_;
    // Connections whose last answer so far is its first part only (a fault sent it in two):
    // the bytes wait for the rest.
    std::unordered_map<Key, std::vector<std::uint8_t>, KeyHash> held_;
    pomrel::FrameRecord joined_;
    DecodedFrame scratch_;
    std::deque<std::pair<Key, std::uint64_t>> order_;  // insertion order, for forgetting the oldest
    std::uint64_t nextSerial_ = 0;
};

/// Decodes one frame with no pairing: the PDU-level decode of `record` alone.
DecodedFrame DecodeFrame(const pomrel::FrameRecord& record);
/// The same into `frame`, reusing the storage it holds.
void DecodeFrame(const pomrel::FrameRecord& record, DecodedFrame& frame);

/// The function's name as the monitor shows it ("Read Holding Registers"), or "Function N".
std::string FunctionName(int function);
/// The link as logs name it: "tcp", "serial:N", "udp", "rtu-over-tcp", "tls"; a network
/// endpoint other than the main one of its kind gets ":N" ("tcp:2").
std::string LinkName(const pomrel::LinkId& link);
/// "address:port", "[v6 address]:port" (an IPv4-mapped IPv6 address as IPv4); empty for none.
std::string PeerText(const pomrel::NetAddress& address);
/// The role a Modbus/TCP Security client's certificate carries; empty on other links.
std::string RoleText(const pomrel::FrameSource& source);
/// Lower-case hex of the bytes, no separators.
std::string HexText(const std::vector<std::uint8_t>& bytes);

} // namespace monitor
