// Masters' writes handed over: the engine's public face for the write feed.
#include "engine/EngineCore.h"

namespace pomrel {

void ProtocolEngine::EnableWriteFeed(bool on) { core_->context.writes.Enable(on); }
std::size_t ProtocolEngine::TakeWrites(std::span<WriteRecord> out) { return core_->context.writes.Take(out); }
void ProtocolEngine::WaitForWrites(std::int64_t timeoutNs) { core_->context.writes.Wait(timeoutNs); }
void ProtocolEngine::WakeWriteFeed() { core_->context.writes.Wake(); }
std::uint64_t ProtocolEngine::DroppedWrites() const { return core_->context.writes.Dropped(); }

} // namespace pomrel
