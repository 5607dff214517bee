// Frame records of ProtocolEngine.
#include "engine/EngineCore.h"

namespace pomrel {

void ProtocolEngine::EnableFrameRecords(bool on) { core_->context.frames.Enable(on); }

std::size_t ProtocolEngine::TakeFrameRecords(std::vector<FrameRecord>& out, std::size_t max)
{
    return core_->context.frames.Take(out, max);
}

std::size_t ProtocolEngine::TakeFrameRecords(std::span<FrameRecord> out)
{
    return core_->context.frames.Take(out);
}

std::uint64_t ProtocolEngine::DroppedFrameRecords() const { return core_->context.frames.Dropped(); }

FrameClockStart ProtocolEngine::FrameClock() const { return core_->context.frames.Clock(); }

} // namespace pomrel
