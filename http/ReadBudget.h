// A bound on the bytes one thread may read from sockets. cpp-httplib (0.11) keeps every header
// line of a request however many come, so a client that never ends its headers would make the
// worker grow without end; no hook of the library sees the bytes before the headers are whole.
// The HTTP workers set a budget for each request; a read past it fails as a reset connection,
// and the library closes it. Threads without a budget read as always.
#pragma once

#include <cstddef>

namespace web {

/// From now on this thread may read `bytes` more bytes with recv().
void SetReadBudget(std::size_t bytes);
/// No bound on this thread's reads (the default).
void ClearReadBudget();

}  // namespace web
