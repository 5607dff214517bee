// Device identification and the diagnostics counters of ProtocolEngine.
#include "engine/EngineCore.h"

namespace pomrel {

void ProtocolEngine::SetDeviceIdentity(std::uint8_t deviceId, std::map<std::uint8_t, std::string> objects)
{
    core_->context.identities.Set(deviceId, std::move(objects));
}

void ProtocolEngine::ClearDeviceIdentities() { core_->context.identities.Clear(); }

DiagnosticCounters ProtocolEngine::Diagnostics(Handle connection) const
{
    DiagnosticCounters counters;
    const auto c = core_->Find(connection);
    if (!c)
        return counters;
    // The counters change only while a request is answered, under the table's lock.
    std::lock_guard lock(core_->context.blocks.Mutex());
    const LinkDiagnostics& d = c->diagnostics;
    counters.busMessages = d.BusMessages();
    counters.busCommErrors = d.CommErrors();
    counters.exceptionErrors = d.exceptionErrors;
    counters.slaveMessages = d.serverMessages;
    counters.noResponses = d.noResponses;
    counters.naks = d.naks;
    counters.busy = d.busy;
    counters.overruns = 0;
    counters.events = d.eventCounter;
    counters.listenOnly = d.listenOnly.load(std::memory_order_relaxed);
    return counters;
}

} // namespace pomrel
