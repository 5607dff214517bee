// Access statistics: the engine's public face for them.
#include "engine/ProtocolEngine.h"

namespace pomrel {

std::vector<PointAccess> ProtocolEngine::AccessStats(int, int, std::uint32_t, std::uint32_t) const { return {}; }
void ProtocolEngine::ResetAccessStats() {}
std::vector<UnservedRequest> ProtocolEngine::Unserved() const { return {}; }
std::vector<FunctionCount> ProtocolEngine::FunctionCounts() const { return {}; }
void ProtocolEngine::EnableAccessStats(bool) {}

} // namespace pomrel
