// The hand-over between the traffic tap's thread and the monitor window: Take appends under a
// mutex and returns at once; the window's timer takes everything pending in one swap. Bounded:
// when the window does not take (a stalled user-interface thread), the oldest pending frames are
// dropped and counted, so the tap never waits and memory never grows without end.
//
// The window gives back the frames its rows let go (Recycle); Take copies into them, reusing
// their buffers, so in a steady flood neither thread allocates per frame. Decoded values are
// left out of the copies: the rows decode them again for the few on screen.
#pragma once

#include "monitor/TrafficMonitorModel.h"
#include "monitor/TrafficTap.h"

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

namespace monitor {

class TrafficMonitorSink : public FrameSink {
public:
    /// More pending than the rows keep would only be dropped by them.
    static constexpr std::size_t kDefaultCapacity = TrafficMonitorModel::kDefaultRowLimit;
    /// Spares kept for Take: a tick's worth under a flat-out master (about 17 000 frames).
    static constexpr std::size_t kSpareCapacity = 32768;
    explicit TrafficMonitorSink(std::size_t capacity = kDefaultCapacity);

    /// The tap's thread.
    void Take(std::span<const TappedFrame> frames) override;
    /// Any thread: everything pending, oldest first; the sink is empty afterwards.
    std::vector<FramePtr> TakePending();
    /// Any thread: frames whose buffers the next Take may fill (null ones are skipped; at most
    /// kSpareCapacity are kept).
    void Recycle(std::vector<FramePtr>&& spare);
    std::size_t PendingCount() const;
    /// Frames dropped because nobody took them in time.
    std::uint64_t Dropped() const;

private:
    mutable std::mutex mutex_;
    std::vector<FramePtr> pending_;
    std::vector<FramePtr> spare_;
    std::size_t capacity_;
    std::uint64_t dropped_ = 0;
};

} // namespace monitor
