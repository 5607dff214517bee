// Placeholder until the engine lands: a block table with no wire.
#include "engine/ProtocolEngine.h"

#include <mutex>
#include <vector>

namespace pomrel {

class EngineCore {
public:
    std::mutex mutex;
    struct Block { Handle handle; int device, type, start, length; RegisterWord* memory; };
    std::vector<Block> blocks;
    Handle next = 1;
    std::uint16_t servicePort = 502;
};

ProtocolEngine::ProtocolEngine() : core_(std::make_unique<EngineCore>()) {}
ProtocolEngine::~ProtocolEngine() = default;
void ProtocolEngine::EnableBufferCallback(TrafficCallback) {}
void ProtocolEngine::ReadDebugData(std::int64_t, std::uint16_t*, std::uint16_t, std::uint16_t) {}
Handle ProtocolEngine::OpenConnection(void*, int, int, int, const PortSettings&) { return kNoHandle; }
void ProtocolEngine::SetProtocolOptions(Handle, int) {}
void ProtocolEngine::SetTCPServicePort(std::uint16_t port) { core_->servicePort = port; }
Handle ProtocolEngine::OpenTCPConnection(void*, int) { return kNoHandle; }
void ProtocolEngine::CloseConnection(Handle) {}
void ProtocolEngine::SlaveStatus(Handle, std::uint32_t& v, std::uint32_t& i, int) { v = 0; i = 0; }
Handle ProtocolEngine::DefineDataBlock(int device, int type, int start, int length, RegisterWord* memory)
{
    std::lock_guard lock(core_->mutex);
    Handle h = core_->next++;
    core_->blocks.push_back({h, device, type, start, length, memory});
    return h;
}
void ProtocolEngine::RemoveDataBlock(Handle block)
{
    std::lock_guard lock(core_->mutex);
    std::erase_if(core_->blocks, [&](const auto& b) { return b.handle == block; });
}
void ProtocolEngine::ActivateSlaveId(std::uint16_t, bool) {}
std::string ProtocolEngine::LastOpenError() const { return {}; }
std::uint16_t ProtocolEngine::BoundTcpPort(Handle) const { return 0; }

} // namespace pomrel
