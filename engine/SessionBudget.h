// The descriptors that the stream servers of one engine (Modbus/TCP, RTU over TCP, TLS, main
// server and endpoints alike) share. Each server's own cap would let their sum pass the
// process's open-file limit; then accept fails for everyone, the automation port included, and
// no master is ever closed to make room. One budget keeps the sum of their sessions below the
// limit less a reserve for the rest of the program, and when it is full the session unused
// longest on any of them makes room for a newcomer.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace pomrel {

/// Descriptors kept for everything but sessions (automation and HTTP clients, serial ports,
/// captures, logs and settings files) under a soft limit of `softLimit` open files.
std::size_t ReservedDescriptors(std::uint64_t softLimit);

/// The sessions all servers may hold together under `softLimit` when `others` descriptors are
/// open for anything else; never fewer than a handful.
std::size_t SessionBudgetFor(std::uint64_t softLimit, std::size_t others);

/// Whether a connection waits to be accepted on `listener`. Accept fails for want of a descriptor
/// whether or not one does, as the descriptor is taken first.
bool ConnectionWaiting(int listener);

/// Engine thread only, but Cap().
class SessionBudget {
public:
    using Clock = std::chrono::steady_clock;

    /// A server whose sessions count.
    class Member {
    public:
        virtual std::size_t OpenSessions() const = 0;
        /// When the session unused longest last had a whole request (or was taken); false when
        /// there is none.
        virtual bool OldestUse(Clock::time_point& last) const = 0;
        /// Closes that session.
        virtual void CloseOldest() = 0;

    protected:
        ~Member() = default;
    };

    /// From its start to its stop; joining measures the descriptors again (a server brings its
    /// listeners).
    void Join(Member& member);
    void Leave(Member& member);

    /// Sessions all members may hold together, as last measured. Any thread.
    std::size_t Cap() const { return cap_.load(std::memory_order_relaxed); }
    /// Counts the descriptors open for anything else now and sets the cap from them.
    void Measure();
    /// Sessions open on all members now.
    std::size_t Sessions() const;

    /// Before a newcomer is taken: when the members hold the whole budget, closes the session
    /// unused longest on any of them.
    void MakeRoom();
    /// Accept failed for want of descriptors: closes the session unused longest on any member
    /// while they hold more than a handful; whether one was closed (else accepting waits).
    bool Reclaim();

private:
    bool CloseOldest();

    std::vector<Member*> members_;
    std::atomic<std::size_t> cap_{SIZE_MAX};
    std::uint64_t softLimit_ = 0;
    Clock::time_point measured_{};
};

} // namespace pomrel
