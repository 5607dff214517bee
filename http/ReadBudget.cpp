#include "http/ReadBudget.h"

#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace {
struct Budget {
    bool bounded = false;
    std::size_t left = 0;
    std::chrono::steady_clock::time_point until;
    std::shared_ptr<const std::atomic<bool>> cut;
};
thread_local Budget t_budget;
}  // namespace

namespace web {

void SetReadBudget(std::size_t bytes, std::chrono::steady_clock::time_point until,
                   std::shared_ptr<const std::atomic<bool>> cut) {
    t_budget = {true, bytes, until, std::move(cut)};
}

void RenewReadBudget(std::size_t bytes, std::chrono::steady_clock::time_point until) {
    t_budget.left = bytes;
    t_budget.until = until;
}

void ClearReadBudget() { t_budget = {}; }

}  // namespace web

// The program's recv(), which the dynamic linker gives the HTTP library (and everyone else):
// the system call itself, counted against the thread's budget when it has one.
extern "C" ssize_t recv(int fd, void* buffer, size_t size, int flags) {
    Budget& b = t_budget;
    if (b.bounded) {
        if (b.left == 0 || (b.cut && b.cut->load(std::memory_order_relaxed)) ||
            std::chrono::steady_clock::now() > b.until) {
            errno = ECONNRESET;
            return -1;
        }
        size = std::min(size, b.left);
    }
    const long got = ::syscall(SYS_recvfrom, fd, buffer, size, flags, nullptr, nullptr);
    if (b.bounded && got > 0)
        b.left -= static_cast<std::size_t>(got);
    return static_cast<ssize_t>(got);
}
