// Takes the engine's frame records off its queue on a thread of its own, decodes them once, and
// hands them in batches to whoever listens: the traffic monitor window, a capture file, a JSON
// Lines log. Records are on in the engine only while somebody listens.
#pragma once

#include "engine/ProtocolEngine.h"
#include "monitor/FrameDecoder.h"

#include <memory>
#include <span>
#include <vector>

namespace monitor {

struct TappedFrame {
    pomrel::FrameRecord record;
    DecodedFrame decoded;
};

/// Gets every frame from the moment it is added. Take runs on the tap's thread, one batch at a
/// time and never concurrently with itself; it must hand the frames on, not wait on anything.
/// The batch is the tap's own and is filled again after Take returns: copy what is kept.
class FrameSink {
public:
    virtual ~FrameSink() = default;
    virtual void Take(std::span<const TappedFrame> frames) = 0;
    /// False for a sink that reads only the records (and the decoded error of discarded frames):
    /// while no sink needs more, the tap does not decode.
    virtual bool NeedsDecoding() const { return true; }
};

class TrafficTap {
public:
    explicit TrafficTap(pomrel::ProtocolEngine& engine);
    ~TrafficTap();
    TrafficTap(const TrafficTap&) = delete;
    TrafficTap& operator=(const TrafficTap&) = delete;

    /// Any thread, never from a sink's Take. A sink gets the frames queued after AddSink, and
    /// every one of them up to RemoveSink; after RemoveSink returns, its Take is not running and
    /// is not called again.
    void AddSink(std::shared_ptr<FrameSink> sink);
    void RemoveSink(const std::shared_ptr<FrameSink>& sink);
    /// Any thread, never from a sink's Take: hands the sinks every frame queued until now.
    void Flush();

    /// The clocks of the records' time stamps.
    pomrel::FrameClockStart Clock() const;
    /// Records the engine dropped because the tap fell behind.
    std::uint64_t Dropped() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace monitor
