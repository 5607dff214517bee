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
#include <span>
#include <string>
#include <vector>

namespace pomrel {

/// An answer a fault rule kept from the master: recorded as a sent record without bytes, so
/// that every request's fate shows.
enum class Withheld : std::uint8_t { None, NoReply, Closed };

/// A frame as a reader gets it.
struct FrameRecord {
    std::int64_t monotonicUs = 0;  // steady clock, µs; see FrameClockStart for the wall clock
    std::uint8_t attribute = 0;    // kReceived, kSent or kDiscarded (TrafficLog.h)
    Withheld withheld = Withheld::None;  // kSent without bytes: what happened instead of an answer
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
/// Slots are fixed and allocated once at the first Enable: the producer never allocates, locks,
/// waits or reads what a reader wrote. It writes each record into the next slot round the ring,
/// over whatever was there (the oldest record: dropped, counted), and marks the slot with a
/// sequence number, odd while it writes. A reader copies a slot and checks the sequence before
/// and after: a record overwritten before or while it was copied is dropped and counted. The
/// reader only reads the slots, so the engine's cache keeps them.
///
/// A slot is two cache lines with room for a short frame; a longer frame, a fault rule's name
/// and a TLS client's role go to the slot's spill area beside, whose pages are touched only when
/// used. The ring the engine writes round and round stays small enough to sit beside its own
/// data in cache.
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
              const FrameSource& source, const std::string* fault, Withheld withheld = Withheld::None);
    /// Engine thread: the answer `fault` withheld from the request just recorded, stamped now.
    void PushWithheld(const FrameSource& source, const std::string* fault, Withheld withheld);

    /// Any thread: moves up to `max` of the oldest records into `out` (appended); returns how many.
    std::size_t Take(std::vector<FrameRecord>& out, std::size_t max);
    /// Any thread: the oldest records into out[0], out[1]... reusing the storage they hold (a
    /// reader taking batch after batch allocates nothing); returns how many.
    std::size_t Take(std::span<FrameRecord> out);
    /// Records dropped because nobody took them in time.
    std::uint64_t Dropped() const;
    /// The clocks read when the queue was made; every record's stamp converts with these.
    const FrameClockStart& Clock() const { return clock_; }

private:
    static constexpr std::size_t kInlineBytes = 40;
    // A record's fixed part, copied in and out of a slot a word at a time.
    struct Header {
        std::int64_t monotonicUs = 0;
        std::uint64_t stream = 0;
        std::uint32_t size = 0;
        std::int32_t linkPort = 0, linkEndpoint = 0;
        std::uint16_t kept = 0, peerPort = 0, localPort = 0;
        std::uint8_t attribute = 0, faultSize = 0, roleSize = 0, peerFamily = 0, localFamily = 0;
        Withheld withheld = Withheld::None;
        LinkId::Kind linkKind = LinkId::Kind::Tcp;
        bool ascii = false;
        std::uint8_t peer[16] = {};
        std::uint8_t local[16] = {};
    };
    static constexpr std::size_t kHeaderWords = (sizeof(Header) + 7) / 8;
    // Every word of a slot and of the spill area is read and written as an atomic (relaxed; the
    // sequence orders them): a reader may copy a slot the producer is writing over, and must see
    // that from the sequence, not tear.
    struct alignas(64) Slot {
        std::uint64_t sequence = 0;  // 2 * index + 2 once it holds record `index`; odd while written
        std::uint64_t header[kHeaderWords] = {};
        std::uint64_t bytes[(kInlineBytes + 7) / 8] = {};  // the frame when it is this short
    };
    static_assert(sizeof(Slot) == 128, "a slot is two cache lines");
    static constexpr std::size_t kSpillBytesAt = 0;
    static constexpr std::size_t kSpillFaultAt = (kKeptBytes + 7) / 8;
    static constexpr std::size_t kSpillRoleAt = kSpillFaultAt + (kKeptFaultName + 7) / 8;
    static constexpr std::size_t kSpillWords = kSpillRoleAt + (sizeof(FrameSource::role) + 7) / 8;

    std::atomic<bool> enabled_{false};
    std::atomic<Slot*> slots_{nullptr};
    std::unique_ptr<Slot[]> storage_;          // owns slots_
    std::unique_ptr<std::uint64_t[]> spill_;   // kSpillWords for each slot
    std::mutex enableMutex_;
    std::atomic<std::uint64_t> head_{0};       // records pushed; written by the producer only
    std::mutex readMutex_;                     // serialises readers
    std::atomic<std::uint64_t> next_{0};       // the next record a reader wants (written under readMutex_)
    std::atomic<std::uint64_t> dropped_{0};    // records a reader found overwritten
    const FrameClockStart clock_;
};

} // namespace pomrel
