// What a link keeps for the serial-line diagnostics functions (8, 11, 12): counters, the
// listen-only mode and the event log. One per connection (serial port or server).
#pragma once

#include <atomic>
#include <cstdint>

namespace pomrel {

struct LinkDiagnostics {
    std::atomic<bool> listenOnly{false};
};

} // namespace pomrel
