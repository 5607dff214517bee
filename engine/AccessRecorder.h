// The engine thread's side of the access statistics (AccessStats.h): per-point counters beside
// each block's memory, a table of writers, the requests nothing served and the counts per link
// kind, unit and function. Everything is preallocated; the engine thread only stores into
// atomics, and snapshots read them relaxed from any thread.
#pragma once

#include "engine/AccessStats.h"
#include "engine/Link.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace pomrel {

/// What masters did to one point: 32 bytes. Written by the engine thread only, so an increment
/// is a load and a store, not a locked read-modify-write.
struct PointStats {
    std::atomic<std::uint32_t> reads{0};
    std::atomic<std::uint32_t> writes{0};
    std::atomic<std::uint32_t> exceptions{0};
    std::atomic<std::uint32_t> writer{0};     // index into the writer table; 0: never written
    std::atomic<std::int64_t> lastReadUs{0};
    std::atomic<std::int64_t> lastWriteUs{0};
};
static_assert(sizeof(PointStats) == 32, "a point's statistics stay within 32 bytes");

inline void Bump(std::atomic<std::uint32_t>& counter)
{
    counter.store(counter.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
}

/// Microseconds since 1970 UTC.
std::int64_t WallClockUs();

/// "tcp", "tcp:2", "serial:3": the link as the program names it everywhere (traffic monitor,
/// captures, access statistics, metrics).
std::string LinkText(const LinkId& link);
/// "127.0.0.1:50312", "[::1]:502" (RFC 5952; an IPv4-mapped address as IPv4); empty without an
/// address.
std::string NetAddressText(const NetAddress& address);

class AccessRecorder {
public:
    static constexpr std::uint32_t kMaxWriters = 4096;    // further writers share the last entry
    static constexpr std::uint32_t kMaxUnserved = 4096;   // further distinct requests only counted
    static constexpr std::uint32_t kMaxFunctions = 2048;  // link kind x unit x function

    AccessRecorder();

    bool Enabled() const { return enabled_.load(std::memory_order_relaxed); }
    void Enable(bool on) { enabled_.store(on, std::memory_order_relaxed); }

    // Engine thread.
    /// The writer table's index for this link and peer (1..kMaxWriters).
    std::uint32_t WriterId(const LinkId& link, const NetAddress* peer);
    /// A request answered (exceptionCode 0) or refused with an exception.
    void CountFunction(LinkId::Kind kind, std::uint8_t unit, std::uint8_t function, std::uint8_t exceptionCode);
    /// A request nothing served; `address` 1-based, quantity 0 for functions without points.
    void CountUnserved(const LinkId& link, std::uint8_t unit, std::uint8_t function, std::uint32_t address,
                       std::uint16_t quantity, std::int64_t nowUs);
    /// Forgets the requests nothing served (the points are reset by their owner).
    void ResetUnserved();

    // Any thread.
    std::string WriterText(std::uint32_t id) const;
    std::vector<UnservedRequest> Unserved() const;
    /// Distinct unserved requests beyond the table's room.
    std::uint64_t UnservedOverflow() const { return unservedOverflow_.load(std::memory_order_relaxed); }
    /// Grows by one with every unserved request (never reset): tells a poller whether to look.
    std::uint64_t UnservedEvents() const { return unservedEvents_.load(std::memory_order_relaxed); }
    std::vector<FunctionCount> FunctionCounts() const;

private:
    struct Writer {
        LinkId link;
        NetAddress peer;
    };
    struct UnservedEntry {
        std::atomic<std::uint64_t> key{0};
        std::atomic<std::uint64_t> count{0};
        std::atomic<std::int64_t> firstUs{0};
        std::atomic<std::int64_t> lastUs{0};
    };
    static constexpr std::size_t kExceptionSlots = 16;  // codes 1..15; slot 0 every other code
    struct Function {
        std::atomic<std::uint32_t> key{0};
        std::atomic<std::uint64_t> requests{0};
        std::array<std::atomic<std::uint64_t>, kExceptionSlots> exceptions{};
    };

    std::atomic<bool> enabled_{true};

    // Writers: entries are written once, before the count that publishes them.
    std::unique_ptr<Writer[]> writers_;
    std::atomic<std::uint32_t> writerCount_{0};
    std::unique_ptr<std::uint16_t[]> writerIndex_;  // engine thread: hash slot -> entry + 1
    std::uint32_t lastWriter_ = 0;

    std::unique_ptr<UnservedEntry[]> unserved_;
    std::atomic<std::uint32_t> unservedCount_{0};
    std::unique_ptr<std::uint16_t[]> unservedIndex_;
    std::atomic<std::uint64_t> unservedOverflow_{0};
    std::atomic<std::uint64_t> unservedEvents_{0};

    std::unique_ptr<Function[]> functions_;
    std::atomic<std::uint32_t> functionCount_{0};
    std::unique_ptr<std::uint16_t[]> functionIndex_;
    std::uint32_t lastFunction_ = 0;  // entry + 1
};

/// What one request marks on the points it reached: handed to the request handler when the
/// statistics are on.
struct AccessMarks {
    AccessRecorder* recorder = nullptr;
    std::int64_t nowUs = 0;
    const LinkId* link = nullptr;
    const NetAddress* peer = nullptr;
    std::uint32_t writer = 0;  // found at the first write

    void Read(PointStats* p, std::uint32_t n) const
    {
        for (std::uint32_t i = 0; i < n; ++i) {
            Bump(p[i].reads);
            p[i].lastReadUs.store(nowUs, std::memory_order_relaxed);
        }
    }
    void Write(PointStats* p, std::uint32_t n)
    {
        if (writer == 0)
            writer = recorder->WriterId(*link, peer);
        for (std::uint32_t i = 0; i < n; ++i) {
            Bump(p[i].writes);
            p[i].lastWriteUs.store(nowUs, std::memory_order_relaxed);
            p[i].writer.store(writer, std::memory_order_relaxed);
        }
    }
};

} // namespace pomrel
