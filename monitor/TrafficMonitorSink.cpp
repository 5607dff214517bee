#include "monitor/TrafficMonitorSink.h"

#include <algorithm>

namespace monitor {

TrafficMonitorSink::TrafficMonitorSink(std::size_t capacity) : capacity_(std::max<std::size_t>(capacity, 1)) {}

void TrafficMonitorSink::Take(const std::vector<TappedFrame>& frames)
{
    // The copies are made outside the lock, so the window's swap never waits for them.
    std::size_t from = frames.size() > capacity_ ? frames.size() - capacity_ : 0;
    std::vector<TappedFrame> copy(frames.begin() + static_cast<std::ptrdiff_t>(from), frames.end());
    std::lock_guard lock(mutex_);
    dropped_ += from;
    if (pending_.size() + copy.size() > capacity_) {
        const std::size_t excess = pending_.size() + copy.size() - capacity_;
        pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(excess));
        dropped_ += excess;
    }
    if (pending_.empty())
        pending_ = std::move(copy);
    else
        pending_.insert(pending_.end(), std::make_move_iterator(copy.begin()), std::make_move_iterator(copy.end()));
}

std::vector<TappedFrame> TrafficMonitorSink::TakePending()
{
    std::vector<TappedFrame> out;
    std::lock_guard lock(mutex_);
    out.swap(pending_);
    return out;
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
