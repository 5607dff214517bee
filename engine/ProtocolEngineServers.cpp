// The network servers of ProtocolEngine: Modbus/UDP, RTU over TCP, Modbus/TCP Security and
// extra Modbus/TCP endpoints.
#include "engine/EngineCore.h"

namespace pomrel {

Handle ProtocolEngine::OpenServer(const ServerEndpoint&)
{
    core_->SetError("not available yet");
    return kNoHandle;
}

ServerCounters ProtocolEngine::ServerStatus(Handle connection) const
{
    ServerCounters counters;
    if (auto c = core_->Find(connection)) {
        counters.validMessages = c->validMessages.load(std::memory_order_relaxed);
        counters.invalidChecks = c->invalidChecks.load(std::memory_order_relaxed);
    }
    return counters;
}

} // namespace pomrel
