// Frame records of ProtocolEngine.
#include "engine/EngineCore.h"

namespace pomrel {

void ProtocolEngine::EnableFrameRecords(bool) {}

std::size_t ProtocolEngine::TakeFrameRecords(std::vector<FrameRecord>&, std::size_t) { return 0; }

std::uint64_t ProtocolEngine::DroppedFrameRecords() const { return 0; }

FrameClockStart ProtocolEngine::FrameClock() const { return {}; }

} // namespace pomrel
