// What a link keeps for the serial-line diagnostics functions (8, 11, 12): counters, the
// listen-only mode and the event log. One per connection (serial port or server), shared by
// every master and device id on it.
//
// Changed only by AnswerRequest, which runs under the block table's lock; read under the same
// lock (ProtocolEngine::Diagnostics), so a reader sees a whole set. listenOnly is an atomic as
// well, for a look without the lock.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>

namespace pomrel {

struct LinkDiagnostics {
    static constexpr std::size_t kEventLogSize = 64;

    // Event bytes of the communication event log (function 12).
    static constexpr std::uint8_t kReceived = 0x80;              // a request for us came in ...
    static constexpr std::uint8_t kReceivedBroadcast = 0x40;     // ... as a broadcast
    static constexpr std::uint8_t kReceivedListenOnly = 0x20;    // ... while listening only
    static constexpr std::uint8_t kReceivedCommError = 0x02;     // ... damaged (a bad CRC or LRC)
    static constexpr std::uint8_t kSent = 0x40;                  // an answer went out ...
    static constexpr std::uint8_t kSentReadException = 0x01;     // ... exception 1 to 3
    static constexpr std::uint8_t kSentAbortException = 0x02;    // ... exception 4
    static constexpr std::uint8_t kSentBusyException = 0x04;     // ... exception 5 or 6
    static constexpr std::uint8_t kSentNakException = 0x08;      // ... exception 7
    static constexpr std::uint8_t kEnteredListenOnly = 0x04;
    static constexpr std::uint8_t kRestarted = 0x00;

    std::atomic<bool> listenOnly{false};
    // The connection's count of damaged frames (bad CRC or LRC, a broken MBAP stream), if any;
    // set once when the connection is made.
    const std::atomic<std::uint32_t>* checkErrors = nullptr;

    // 16-bit like the answers that carry them: they wrap.
    std::uint16_t requests = 0;         // whole requests decoded, for any unit
    std::uint16_t exceptionErrors = 0;  // exception answers sent
    std::uint16_t serverMessages = 0;   // requests for a device served here (or broadcast)
    std::uint16_t noResponses = 0;      // ... of them left unanswered
    std::uint16_t naks = 0;             // exception 7 answers
    std::uint16_t busy = 0;             // exception 6 answers
    std::uint16_t eventCounter = 0;     // function 11: requests completed without an exception
    std::uint16_t diagnosticRegister = 0;
    std::uint32_t checkErrorsAtClear = 0;

    std::array<std::uint8_t, kEventLogSize> events{};  // a ring: `newest` is the latest entry
    std::size_t eventsHeld = 0;
    std::size_t newest = 0;

    /// Damaged frames since the counters were last cleared.
    std::uint16_t CommErrors() const
    {
        if (checkErrors == nullptr)
            return 0;
        const std::uint32_t now = checkErrors->load(std::memory_order_relaxed);
        // The connection's own counter may have been reset (SlaveStatus) since.
        return static_cast<std::uint16_t>(now >= checkErrorsAtClear ? now - checkErrorsAtClear : now);
    }
    /// Every message seen on the link: requests and damaged frames.
    std::uint16_t BusMessages() const { return static_cast<std::uint16_t>(requests + CommErrors()); }

    void AddEvent(std::uint8_t event)
    {
        newest = (newest + 1) % kEventLogSize;
        events[newest] = event;
        if (eventsHeld < kEventLogSize)
            ++eventsHeld;
    }
    /// A damaged frame came in (already counted by the connection): a receive event of its own.
    void AddDamagedFrame()
    {
        AddEvent(static_cast<std::uint8_t>(kReceived | kReceivedCommError |
                                           (listenOnly.load(std::memory_order_relaxed) ? kReceivedListenOnly : 0)));
    }
    /// The i-th newest event (0: the latest); i < eventsHeld.
    std::uint8_t Event(std::size_t i) const { return events[(newest + kEventLogSize - i) % kEventLogSize]; }

    /// Diagnostics 10: every counter and the diagnostic register to 0; the event log stays.
    void ClearCounters()
    {
        requests = exceptionErrors = serverMessages = noResponses = naks = busy = eventCounter = 0;
        diagnosticRegister = 0;
        checkErrorsAtClear = checkErrors != nullptr ? checkErrors->load(std::memory_order_relaxed) : 0;
    }
    /// Diagnostics 1: out of listen-only mode, counters cleared, the log too unless kept; then
    /// the restart is the log's newest event.
    void Restart(bool keepLog)
    {
        listenOnly.store(false, std::memory_order_relaxed);
        ClearCounters();
        if (!keepLog)
            eventsHeld = 0;
        AddEvent(kRestarted);
    }
};

} // namespace pomrel
