// A bound on what one thread may read from sockets, in bytes and in time. cpp-httplib (0.11)
// keeps every header line of a request however many come, and reads a body for as long as each
// piece comes within its read timeout; no hook of the library sees the bytes before the headers
// are whole. So a client that never ends its headers would grow a worker without end, and one
// that trickles a byte at a time would hold it (and the program's end) for days. The HTTP
// workers set a budget for each request; a read past it, after its time, or once the door is
// cut fails as a reset connection, and the library closes it. Threads without a budget read as
// always.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <memory>

namespace web {

/// From now on this thread may read `bytes` more bytes with recv(), until `until`, and nothing
/// once `cut` is set.
void SetReadBudget(std::size_t bytes, std::chrono::steady_clock::time_point until,
                   std::shared_ptr<const std::atomic<bool>> cut);
/// A new amount and time for this thread's budget, the same `cut`.
void RenewReadBudget(std::size_t bytes, std::chrono::steady_clock::time_point until);
/// No bound on this thread's reads (the default).
void ClearReadBudget();

}  // namespace web
