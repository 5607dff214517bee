#include "monitor/TrafficMonitorSink.h"

#include <algorithm>
#include <iterator>

namespace monitor {

TrafficMonitorSink::TrafficMonitorSink(std::size_t capacity) : capacity_(std::max<std::size_t>(capacity, 1)) {}

void TrafficMonitorSink::Take(std::span<const TappedFrame> frames)
{
    const std::size_t from = frames.size() > capacity_ ? frames.size() - capacity_ : 0;
    const std::size_t n = frames.size() - from;
    std::vector<FramePtr> copy;
    copy.reserve(n);
    {
        // Spare frames to copy into, taken from the back.
        std::lock_guard lock(mutex_);
        const std::size_t reuse = std::min(n, spare_.size());
        copy.insert(copy.end(), std::make_move_iterator(spare_.end() - static_cast<std::ptrdiff_t>(reuse)),
                    std::make_move_iterator(spare_.end()));
        spare_.resize(spare_.size() - reuse);
    }
    // The copies are made outside the lock, so the window's swap never waits for them.
    for (std::size_t i = 0; i < n; ++i) {
        if (i == copy.size())
            copy.push_back(std::make_unique<TappedFrame>());
        TappedFrame& slot = *copy[i];
        slot.record = frames[from + i].record;
        slot.decoded = frames[from + i].decoded;
        std::vector<std::uint16_t>().swap(slot.decoded.values);
    }
    std::lock_guard lock(mutex_);
    dropped_ += from;
    if (pending_.size() + n > capacity_) {
        const std::size_t excess = pending_.size() + n - capacity_;
        pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(excess));
        dropped_ += excess;
    }
    if (pending_.empty())
        pending_.swap(copy);
    else
        pending_.insert(pending_.end(), std::make_move_iterator(copy.begin()), std::make_move_iterator(copy.end()));
}

std::vector<FramePtr> TrafficMonitorSink::TakePending()
{
    std::vector<FramePtr> out;
    std::lock_guard lock(mutex_);
    out.swap(pending_);
    return out;
}

void TrafficMonitorSink::Recycle(std::vector<FramePtr>&& spare)
{
    spare.erase(std::remove(spare.begin(), spare.end(), nullptr), spare.end());
    std::lock_guard lock(mutex_);
    const std::size_t room = kSpareCapacity > spare_.size() ? kSpareCapacity - spare_.size() : 0;
    const std::size_t keep = std::min(room, spare.size());
    if (spare_.empty() && keep == spare.size())
        spare_.swap(spare);
    else
        spare_.insert(spare_.end(), std::make_move_iterator(spare.begin()),
                      std::make_move_iterator(spare.begin() + static_cast<std::ptrdiff_t>(keep)));
    // What did not fit is freed by the caller, outside the lock.
}

std::size_t TrafficMonitorSink::PendingCount() const
{
    std::lock_guard lock(mutex_);
    return pending_.size();
}

std::uint64_t TrafficMonitorSink::Dropped() const
{
    std::lock_guard lock(mutex_);
    return dropped_;
}

} // namespace monitor
