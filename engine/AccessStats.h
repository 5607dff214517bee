// What masters asked of the engine, kept where requests are answered: per served point (reads,
// writes, exception answers, last read and write, last writer), the requests nothing served, and
// per link, unit and function the requests and exception answers (for metrics).
// Snapshots are copied out on any thread; the engine thread keeps the counts without locks or
// allocation per request.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace pomrel {

/// One served point (unit × type × address) and what masters did to it since the last reset.
struct PointAccess {
    std::uint8_t unit = 0;
    std::uint8_t type = 0;            // 1 coils, 2 inputs, 3 holding registers, 4 input registers
    std::uint32_t address = 0;        // 1..65536, as the documents count them
    std::uint64_t reads = 0;
    std::uint64_t writes = 0;
    std::uint64_t exceptions = 0;
    std::int64_t lastReadUs = 0;      // microseconds since 1970 UTC; 0: never
    std::int64_t lastWriteUs = 0;
    std::string lastWriter;           // "tcp 127.0.0.1:50312", "serial:3"; empty: never written
};

/// A request no device served (unit not served, or addresses outside every block: exception 02).
struct UnservedRequest {
    std::string link;                 // "tcp", "serial:3", "udp", "rtu-over-tcp", "tls", endpoint "tcp:2"...
    std::uint8_t unit = 0;
    std::uint8_t function = 0;
    std::uint32_t address = 0;        // first, 1-based
    std::uint16_t quantity = 0;
    std::uint64_t count = 0;
    std::int64_t firstUs = 0;         // microseconds since 1970 UTC
    std::int64_t lastUs = 0;
};

/// Requests and exception answers per link kind, unit and function.
struct FunctionCount {
    std::string link;                 // "tcp", "udp", "rtu-over-tcp", "tls", "serial"
    std::uint8_t unit = 0;
    std::uint8_t function = 0;
    std::uint64_t requests = 0;
    std::vector<std::pair<std::uint8_t, std::uint64_t>> exceptions;   // code -> answers
};

} // namespace pomrel
