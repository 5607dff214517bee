// What a frame means: each frame record decoded to unit, function, addresses, values or
// exception, and answers paired with their requests (by transaction id on TCP, by order on a
// serial line) with the time between them. Plain code.
#pragma once

#include "engine/FrameRecords.h"

#include <cstdint>
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
};

/// Decodes records in the order the engine made them. Keeps what pairing needs: the open
/// requests of each link (bounded; the oldest unanswered are forgotten).
class FrameDecoder {
public:
    DecodedFrame Decode(const pomrel::FrameRecord& record);
};

/// The function's name as the monitor shows it ("Read Holding Registers"), or "Function N".
std::string FunctionName(int function);

} // namespace monitor
