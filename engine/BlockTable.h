// The registered data blocks, by device id and point type, in registration order.
#pragma once

#include "engine/AccessRecorder.h"
#include "engine/ProtocolEngine.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace pomrel {

enum PointType : std::uint8_t { kCoils = 1, kInputs = 2, kHoldingRegisters = 3, kInputRegisters = 4 };

/// Largest block the application hands over; never trusted beyond this.
inline constexpr std::uint32_t kMaxBlockWords = 1000;

struct Block {
    enum class Enron : std::uint8_t { None, Long, Float };

    Handle handle = kNoHandle;
    std::uint8_t device = 0;
    std::uint8_t type = 0;
    std::uint32_t wireStart = 0;  // first wire address, 0..65535
    std::uint32_t length = 0;     // points, at most kMaxBlockWords
    Enron enron = Enron::None;    // ENRON range of the start address, register blocks only
    RegisterWord* memory = nullptr;
    std::mutex* valueLock = nullptr;
    std::shared_ptr<std::mutex> ownLock;  // used when the application gave no lock
    PointStats* stats = nullptr;           // one per point, beside the memory (ownStats)
    std::shared_ptr<PointStats[]> ownStats;

    /// Words per point: 2 when the ENRON rules apply to this block on this connection.
    std::uint32_t Width(bool enronRules) const { return (enronRules && enron != Enron::None) ? 2 : 1; }
    /// Points addressable: an ENRON point takes two words, so at most 500 of them fit.
    std::uint32_t Points(bool enronRules) const
    {
        return Width(enronRules) == 2 ? std::min(length, kMaxBlockWords / 2) : length;
    }
    bool Holds(std::uint32_t address, bool enronRules) const
    {
        return address >= wireStart && address - wireStart < Points(enronRules) && address <= 0xFFFF;
    }
};

/// The block table's lock. The engine thread takes it once for every batch of requests and
/// almost never finds it taken, so the uncontended path is one atomic instruction each way
/// instead of a call into the thread library; a thread that does find it taken sleeps in the
/// kernel until it is released. (Three states: free, taken, taken with someone waiting; only the
/// last makes unlock wake anyone.)
class TableLock {
public:
    void lock()
    {
        int state = kFree;
        if (state_.compare_exchange_strong(state, kTaken, std::memory_order_acquire))
            return;
        if (state != kContended)
            state = state_.exchange(kContended, std::memory_order_acquire);
        while (state != kFree) {
            state_.wait(kContended, std::memory_order_relaxed);
            state = state_.exchange(kContended, std::memory_order_acquire);
        }
    }
    void unlock()
    {
        if (state_.exchange(kFree, std::memory_order_release) == kContended)
            state_.notify_one();
    }

private:
    enum : int { kFree, kTaken, kContended };
    std::atomic<int> state_{kFree};
};

/// The table is read by the engine thread and edited by the application's thread. Whoever reads
/// Blocks() holds Mutex(); RemoveDataBlock takes the same mutex, which is how it waits for every
/// request still using the block's memory.
class BlockTable {
public:
    /// Start address counts from 1 (0 stands for 65536); -1 for a device, type or memory that cannot be served.
    Handle Define(int deviceId, int pointType, int startAddress, int length, RegisterWord* memory, std::mutex* valueLock);
    /// False when the handle is unknown.
    bool Remove(Handle block);
    void SetDeviceActive(std::uint16_t deviceId, bool enable);
    bool DeviceActive(std::uint8_t deviceId) const { return !inactive_[deviceId].load(std::memory_order_relaxed); }

    /// Zeroes every block's access statistics. Caller holds Mutex().
    void ResetStats();

    TableLock& Mutex() const { return mutex_; }
    /// Caller holds Mutex().
    const std::vector<Block>& Blocks() const { return blocks_; }

private:
    mutable TableLock mutex_;
    std::vector<Block> blocks_;
    std::array<std::atomic<bool>, 256> inactive_{};
    Handle next_ = 1;
};

} // namespace pomrel
