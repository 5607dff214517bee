// Masters' writes handed over to whoever reacts to them (the behaviour core), one fixed-size
// record per answered write request, through a bounded single-producer/single-consumer ring.
// The engine thread is the one producer: it never waits, never allocates, and counts a record
// the ring has no room for. Off (the default) a request pays one relaxed load.
#pragma once

#include "engine/Link.h"

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string>

namespace pomrel {

class BlockTable;
struct Addressing;
struct PduOptions;

/// One answered write: the points a master wrote and what it wrote to them.
struct WriteRecord {
    static constexpr std::size_t kMaxWords = 123;   // 1968 coils packed, or 123 registers
    LinkId link;
    NetAddress peer;                  // none on serial links
    std::int64_t answeredNs = 0;      // steady clock, when the answer was made
    std::uint8_t unit = 0;
    std::uint8_t type = 0;            // 1 coils, 3 holding registers
    std::uint8_t function = 0;
    bool enron = false;               // 32-bit ENRON registers: two words each, high word first
    std::uint32_t address = 0;        // the first point, 1..65536
    std::uint16_t count = 0;          // points written
    std::array<std::uint16_t, kMaxWords> data{};   // words; coils 16 a word, the first in bit 0

    /// Values the record holds: one per coil, one per word (two per ENRON register).
    std::size_t ValueCount() const { return type == 1 ? count : static_cast<std::size_t>(count) * (enron ? 2 : 1); }
    std::uint16_t Value(std::size_t i) const
    {
        return type == 1 ? static_cast<std::uint16_t>((data[i / 16] >> (i % 16)) & 1u) : data[i];
    }
};

class WriteFeed {
public:
    static constexpr std::size_t kSlots = 4096;

    WriteFeed() = default;
    WriteFeed(const WriteFeed&) = delete;
    WriteFeed& operator=(const WriteFeed&) = delete;

    /// Any thread. The first Enable makes the ring (never on the engine thread's account).
    void Enable(bool on);
    bool Enabled() const { return enabled_.load(std::memory_order_acquire); }

    /// Engine thread, holding the block table's lock: records a write request answered with
    /// `response` (`responseSize` bytes; an exception or no answer records nothing).
    void Offer(const BlockTable& blocks, const LinkId& link, const NetAddress* peer, const Addressing& addressing,
               const PduOptions& options, const std::uint8_t* pdu, std::size_t size, const std::uint8_t* response,
               std::size_t responseSize);

    /// The one consumer: moves the oldest records into `out`; returns how many.
    std::size_t Take(std::span<WriteRecord> out);
    /// The one consumer: waits until a record is there, Wake is called, or `timeoutNs` passes
    /// (negative: no limit).
    void Wait(std::int64_t timeoutNs);
    /// Any thread: ends the consumer's Wait.
    void Wake();
    std::uint64_t Dropped() const { return dropped_.load(std::memory_order_relaxed); }

private:
    std::atomic<bool> enabled_{false};
    std::atomic<WriteRecord*> slots_{nullptr};
    std::mutex making_;                                // the first Enable
    std::unique_ptr<WriteRecord[]> storage_;
    std::atomic<std::uint64_t> dropped_{0};
    alignas(64) std::atomic<std::uint64_t> head_{0};   // written by the producer
    alignas(64) std::atomic<std::uint64_t> tail_{0};   // written by the consumer
    alignas(64) std::atomic<std::uint32_t> signal_{0}; // futex word: rises at each push and wake
    std::atomic<std::uint32_t> sleeping_{0};
};

} // namespace pomrel
