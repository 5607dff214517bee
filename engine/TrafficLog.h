// Every byte in and out, with an attribute byte, handed to the application in batches.
//
// Frames are appended on the engine thread into the open batch. A batch is sealed when it is full
// or when its age reaches the sealing interval; sealing stores it and calls the application's
// callback (which only posts). The application fetches a sealed batch by id. Nothing here ever
// waits for the application: if it falls behind, the oldest stored batches are dropped, and when
// traffic comes faster than the sealing interval lets batches go, the open batch starts over at a
// frame boundary. Both losses are counted. No allocation after construction.
#pragma once

#include "engine/ProtocolEngine.h"

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

namespace pomrel {

enum TrafficAttribute : std::uint8_t { kReceived = 0, kSent = 1, kDiscarded = 2 };

class TrafficLog {
public:
    static constexpr std::size_t kBatchWords = 1024;
    static constexpr std::size_t kStoredBatches = 64;
    using Clock = std::chrono::steady_clock;

    explicit TrafficLog(std::chrono::milliseconds sealInterval = std::chrono::milliseconds(20));

    /// Any thread.
    void SetCallback(TrafficCallback callback) { callback_.store(callback, std::memory_order_release); }
    bool Enabled() const { return callback_.load(std::memory_order_acquire) != nullptr; }

    /// Engine thread. Returns true when this append opened a batch (the caller then schedules Seal()).
    bool Append(const std::uint8_t* bytes, std::size_t size, std::uint8_t attribute, Clock::time_point now);
    /// Engine thread: stores the open batch (if any). The application hears of it at the next
    /// Announce(): Append runs while the engine holds the block table, the callback must not.
    void Seal(Clock::time_point now);
    /// Engine thread, holding no lock: calls the callback for every batch sealed since the last call.
    void Announce();
    bool HasOpenBatch() const { return openSize_ > 0; }
    bool HasUnannounced() const { return !unannounced_.empty(); }

    /// Any thread: copies batch `id` into buffer (count words, at most kBatchWords). Words the
    /// batch does not have (dropped, or shorter) are zero. The batch is released once read.
    void Read(std::int64_t id, std::uint16_t* buffer, std::uint16_t count);

    std::uint64_t DroppedBatches() const { return dropped_.load(std::memory_order_relaxed); }
    std::uint64_t DroppedWords() const { return droppedWords_.load(std::memory_order_relaxed); }

private:
    struct Stored {
        std::uint32_t id = 0;
        std::uint16_t size = 0;
        bool used = false;
        std::array<std::uint16_t, kBatchWords> words{};
    };

    std::atomic<TrafficCallback> callback_{nullptr};
    const std::chrono::milliseconds sealInterval_;

    // Engine thread only.
    std::vector<std::uint16_t> open_;
    std::size_t openSize_ = 0;
    Clock::time_point lastSeal_{};
    std::uint32_t nextId_ = 1;
    struct Sealed {
        std::uint32_t id;
        std::uint16_t size;
    };
    std::vector<Sealed> unannounced_;  // at most kStoredBatches

    std::mutex storeMutex_;
    std::vector<Stored> store_;  // ring of kStoredBatches
    std::size_t storeNext_ = 0;

    std::atomic<std::uint64_t> dropped_{0};
    std::atomic<std::uint64_t> droppedWords_{0};
};

} // namespace pomrel
