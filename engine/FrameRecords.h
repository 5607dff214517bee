// One record per frame on every link, for monitors, captures and logs. The engine fills a
// bounded queue on its own thread without waiting for anyone; readers take records off it from
// any thread. When the queue is full the oldest records are dropped and counted.
#pragma once

#include "engine/Link.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
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

    std::int64_t WallUs(std::int64_t monotonic) const { return monotonic - monotonicUs + wallUs; }
};

/// Steady clock in µs, the clock of FrameRecord::monotonicUs.
std::int64_t MonotonicUs();
/// Both clocks, read one right after the other.
FrameClockStart ReadFrameClocks();

/// The bounded queue of frame records.
///
/// One producer (the engine thread) and any number of readers (serialised among themselves).
/// Slots are fixed, with the bytes inline, and allocated once at the first Enable: the producer
/// never allocates, locks or waits. Each slot is owned through its state: the producer claims
/// an empty or a full slot (a full one is the oldest record: dropped, counted) and publishes it
/// full; a reader claims a full slot for reading and gives it back empty. A slot a reader is
/// copying at the moment the producer comes round to it costs the new record instead (counted).
class FrameRecordQueue {
public:
    static constexpr std::size_t kSlots = 16384;      // 0.4 s of 20 000 request/answer pairs a second
    static constexpr std::size_t kKeptBytes = 520;    // the longest ASCII frame and a little
    static constexpr std::size_t kKeptFaultName = 64;

    FrameRecordQueue();
    ~FrameRecordQueue();
    FrameRecordQueue(const FrameRecordQueue&) = delete;
    FrameRecordQueue& operator=(const FrameRecordQueue&) = delete;

    /// Any thread. Records are kept only while enabled; what is queued stays to be taken.
    void Enable(bool on);
    /// Engine thread: one relaxed load when off.
    bool Enabled() const { return enabled_.load(std::memory_order_relaxed); }

    /// Engine thread only.
    void Push(std::int64_t monotonicUs, const std::uint8_t* bytes, std::size_t size, std::uint8_t attribute,
              const FrameSource& source, const std::string* fault);

    /// Any thread: moves up to `max` of the oldest records into `out` (appended); returns how many.
    std::size_t Take(std::vector<FrameRecord>& out, std::size_t max);
    /// Records dropped because nobody took them in time.
    std::uint64_t Dropped() const { return dropped_.load(std::memory_order_relaxed); }
    /// The clocks read when the queue was made; every record's stamp converts with these.
    const FrameClockStart& Clock() const { return clock_; }

private:
    enum : std::uint32_t { kEmpty = 0, kWriting = 1, kFull = 2, kReading = 3 };
    struct Slot {
        std::atomic<std::uint32_t> state{kEmpty};
        std::uint64_t index = 0;  // which record (counting from 0) the slot holds
        std::int64_t monotonicUs = 0;
        FrameSource source;
        std::uint32_t size = 0;
        std::uint16_t kept = 0;
        std::uint8_t attribute = 0;
        std::uint8_t faultSize = 0;
        char fault[kKeptFaultName];
        std::uint8_t bytes[kKeptBytes];
    };

    std::atomic<bool> enabled_{false};
    std::atomic<Slot*> slots_{nullptr};
    std::unique_ptr<Slot[]> storage_;  // owns slots_
    std::mutex enableMutex_;
    std::atomic<std::uint64_t> head_{0};  // records pushed; written by the producer only
    std::mutex readMutex_;                // serialises readers
    std::uint64_t next_ = 0;              // the next record a reader wants (under readMutex_)
    std::atomic<std::uint64_t> dropped_{0};
    const FrameClockStart clock_;
};

} // namespace pomrel
