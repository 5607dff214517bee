#include "engine/TrafficLog.h"

#include <algorithm>
#include <cstring>

namespace pomrel {

TrafficLog::TrafficLog(std::chrono::milliseconds sealInterval)
    : sealInterval_(sealInterval), open_(kBatchWords), store_(kStoredBatches)
{
    unannounced_.reserve(kStoredBatches);
}

bool TrafficLog::Append(const std::uint8_t* bytes, std::size_t size, std::uint8_t attribute, Clock::time_point now)
{
    if (!Enabled() || size == 0)
        return false;
    const bool opened = openSize_ == 0;
    while (size > 0) {
        if (openSize_ == kBatchWords) {
            if (now - lastSeal_ >= sealInterval_) {
                Seal(now);
            } else {
                // Faster than the application can usefully show: start the batch over.
                droppedWords_.fetch_add(openSize_, std::memory_order_relaxed);
                openSize_ = 0;
            }
        }
        const std::size_t take = std::min(size, kBatchWords - openSize_);
        const std::uint16_t high = static_cast<std::uint16_t>(attribute << 8);
        for (std::size_t i = 0; i < take; ++i)
            open_[openSize_ + i] = static_cast<std::uint16_t>(high | bytes[i]);
        openSize_ += take;
        bytes += take;
        size -= take;
    }
    return opened;
}

void TrafficLog::Seal(Clock::time_point now)
{
    if (openSize_ == 0)
        return;
    lastSeal_ = now;
    const std::uint32_t id = nextId_++;
    const auto size = static_cast<std::uint16_t>(openSize_);
    {
        std::lock_guard lock(storeMutex_);
        Stored& slot = store_[storeNext_];
        if (slot.used)
            dropped_.fetch_add(1, std::memory_order_relaxed);
        slot.id = id;
        slot.size = size;
        slot.used = true;
        std::memcpy(slot.words.data(), open_.data(), openSize_ * sizeof(std::uint16_t));
        storeNext_ = (storeNext_ + 1) % store_.size();
    }
    openSize_ = 0;
    if (unannounced_.size() == kStoredBatches)  // its batch has just been overwritten anyway
        unannounced_.erase(unannounced_.begin());
    unannounced_.push_back({id, size});
}

void TrafficLog::Announce()
{
    TrafficCallback callback = callback_.load(std::memory_order_acquire);
    for (const Sealed& sealed : unannounced_) {
        if (callback != nullptr && callback(sealed.id, 0, sealed.size))
            continue;
        // Not queued: nobody will read it.
        std::lock_guard lock(storeMutex_);
        for (Stored& s : store_)
            if (s.used && s.id == sealed.id)
                s.used = false;
        dropped_.fetch_add(1, std::memory_order_relaxed);
    }
    unannounced_.clear();
}

void TrafficLog::Read(std::int64_t id, std::uint16_t* buffer, std::uint16_t count)
{
    if (buffer == nullptr)
        return;
    const std::size_t n = std::min<std::size_t>(count, kBatchWords);
    std::lock_guard lock(storeMutex_);
    for (Stored& s : store_) {
        if (s.used && static_cast<std::int64_t>(s.id) == id) {
            const std::size_t have = std::min<std::size_t>(n, s.size);
            std::memcpy(buffer, s.words.data(), have * sizeof(std::uint16_t));
            std::fill(buffer + have, buffer + n, std::uint16_t{0});
            s.used = false;
            return;
        }
    }
    std::fill(buffer, buffer + n, std::uint16_t{0});
}

} // namespace pomrel
