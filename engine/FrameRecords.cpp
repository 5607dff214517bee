#include "engine/FrameRecords.h"

#include <algorithm>
#include <chrono>
#include <cstring>

namespace pomrel {

std::int64_t MonotonicUs()
{
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

FrameClockStart ReadFrameClocks()
{
    FrameClockStart c;
    c.monotonicUs = MonotonicUs();
    c.wallUs = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::system_clock::now().time_since_epoch())
                   .count();
    return c;
}

FrameRecordQueue::FrameRecordQueue() : clock_(ReadFrameClocks()) {}

FrameRecordQueue::~FrameRecordQueue() = default;

void FrameRecordQueue::Enable(bool on)
{
    std::lock_guard lock(enableMutex_);
    if (on && !storage_) {
        // Allocated at the first use only: an engine nobody taps costs nothing.
        storage_ = std::make_unique<Slot[]>(kSlots);
        slots_.store(storage_.get(), std::memory_order_release);
    }
    enabled_.store(on, std::memory_order_relaxed);
}

void FrameRecordQueue::Push(std::int64_t monotonicUs, const std::uint8_t* bytes, std::size_t size,
                            std::uint8_t attribute, const FrameSource& source, const std::string* fault)
{
    Slot* slots = slots_.load(std::memory_order_acquire);
    if (!slots)
        return;
    const std::uint64_t index = head_.load(std::memory_order_relaxed);
    Slot& slot = slots[index % kSlots];
    std::uint32_t state = slot.state.load(std::memory_order_acquire);
    for (;;) {
        if (state == kReading) {
            // A reader is copying the oldest record out of this very slot: the new one goes.
            dropped_.fetch_add(1, std::memory_order_relaxed);
            return;
        }
        if (slot.state.compare_exchange_weak(state, kWriting, std::memory_order_acquire, std::memory_order_acquire))
            break;
    }
    if (state == kFull)
        dropped_.fetch_add(1, std::memory_order_relaxed);  // the oldest record, never taken
    slot.index = index;
    slot.monotonicUs = monotonicUs;
    slot.source = source;
    slot.attribute = attribute;
    slot.size = static_cast<std::uint32_t>(std::min<std::size_t>(size, UINT32_MAX));
    slot.kept = static_cast<std::uint16_t>(std::min(size, kKeptBytes));
    if (slot.kept)
        std::memcpy(slot.bytes, bytes, slot.kept);
    slot.faultSize = 0;
    if (fault) {
        std::size_t n = std::min(fault->size(), kKeptFaultName);
        while (n < fault->size() && n > 0 && (static_cast<unsigned char>((*fault)[n]) & 0xC0) == 0x80)
            --n;  // not in the middle of a UTF-8 character
        slot.faultSize = static_cast<std::uint8_t>(n);
        std::memcpy(slot.fault, fault->data(), slot.faultSize);
    }
    slot.state.store(kFull, std::memory_order_release);
    head_.store(index + 1, std::memory_order_release);
}

std::size_t FrameRecordQueue::Take(std::vector<FrameRecord>& out, std::size_t max)
{
    Slot* slots = slots_.load(std::memory_order_acquire);
    if (!slots || max == 0)
        return 0;
    std::lock_guard lock(readMutex_);
    const std::uint64_t head = head_.load(std::memory_order_acquire);
    if (head - next_ > kSlots)
        next_ = head - kSlots;  // the ones before were overwritten (and counted)
    std::size_t taken = 0;
    for (; next_ < head && taken < max; ++next_) {
        Slot& slot = slots[next_ % kSlots];
        std::uint32_t expected = kFull;
        if (!slot.state.compare_exchange_strong(expected, kReading, std::memory_order_acquire,
                                                std::memory_order_relaxed))
            continue;  // being overwritten by a newer record: this one is gone
        if (slot.index != next_) {
            // A newer record overwrote this one; it is taken in its turn.
            slot.state.store(kFull, std::memory_order_release);
            continue;
        }
        FrameRecord& r = out.emplace_back();
        r.monotonicUs = slot.monotonicUs;
        r.attribute = slot.attribute;
        r.source = slot.source;
        r.size = slot.size;
        r.bytes.assign(slot.bytes, slot.bytes + slot.kept);
        r.fault.assign(slot.fault, slot.faultSize);
        slot.state.store(kEmpty, std::memory_order_release);
        ++taken;
    }
    return taken;
}

} // namespace pomrel
