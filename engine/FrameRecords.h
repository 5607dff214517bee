// One record per frame on every link, for monitors, captures and logs. The engine fills a
// bounded queue on its own thread without waiting for anyone; readers take records off it from
// any thread. When the queue is full the oldest records are dropped and counted.
#pragma once

#include "engine/Link.h"

#include <cstdint>
#include <string>
#include <vector>

namespace pomrel {

/// A frame as a reader gets it.
struct FrameRecord {
    std::int64_t monotonicUs = 0;  // steady clock, µs; see FrameClockStart for the wall clock
    std::uint8_t attribute = 0;    // kReceived, kSent or kDiscarded (TrafficLog.h)
    FrameSource source;
    std::string fault;             // the fault rule that fired for this answer, if one did
    std::vector<std::uint8_t> bytes;
    std::uint32_t size = 0;        // the frame's length on the wire (bytes may keep only its start)
};

/// The two clocks read together once, so a monotonic stamp converts to wall-clock time.
struct FrameClockStart {
    std::int64_t monotonicUs = 0;
    std::int64_t wallUs = 0;       // µs since 1970-01-01 UTC
};

} // namespace pomrel
