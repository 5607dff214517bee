#include "http/ReadBudget.h"

#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace {
thread_local bool t_bounded = false;
thread_local std::size_t t_left = 0;
}  // namespace

namespace web {

void SetReadBudget(std::size_t bytes) {
    t_left = bytes;
    t_bounded = true;
}

void ClearReadBudget() { t_bounded = false; }

}  // namespace web

// The program's recv(), which the dynamic linker gives the HTTP library (and everyone else):
// the system call itself, counted against the thread's budget when it has one.
extern "C" ssize_t recv(int fd, void* buffer, size_t size, int flags) {
    if (t_bounded) {
        if (t_left == 0) {
            errno = ECONNRESET;
            return -1;
        }
        size = std::min(size, t_left);
    }
    const long got = ::syscall(SYS_recvfrom, fd, buffer, size, flags, nullptr, nullptr);
    if (t_bounded && got > 0)
        t_left -= static_cast<std::size_t>(got);
    return static_cast<ssize_t>(got);
}
