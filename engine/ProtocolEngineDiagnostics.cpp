// Device identification and the diagnostics counters of ProtocolEngine.
#include "engine/EngineCore.h"

namespace pomrel {

void ProtocolEngine::SetDeviceIdentity(std::uint8_t, std::map<std::uint8_t, std::string>) {}

void ProtocolEngine::ClearDeviceIdentities() {}

DiagnosticCounters ProtocolEngine::Diagnostics(Handle connection) const
{
    DiagnosticCounters counters;
    if (auto c = core_->Find(connection))
        counters.listenOnly = c->diagnostics.listenOnly.load(std::memory_order_relaxed);
    return counters;
}

} // namespace pomrel
