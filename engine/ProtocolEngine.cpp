#include "engine/ProtocolEngine.h"

#include "engine/EngineCore.h"
#include "engine/SerialLink.h"
#include "engine/SessionBudget.h"
#include "engine/TcpServer.h"
#include "engine/TlsServer.h"

#include <asio/post.hpp>

#include <map>
#include <vector>

namespace pomrel {

ProtocolEngine::ProtocolEngine() : core_(std::make_unique<EngineCore>()), sessionBudget_(std::make_shared<SessionBudget>()) {}
ProtocolEngine::~ProtocolEngine() = default;

void ProtocolEngine::EnableBufferCallback(TrafficCallback callback) { core_->context.traffic.SetCallback(callback); }

void ProtocolEngine::ReadDebugData(std::int64_t first, std::uint16_t* buffer, std::uint16_t, std::uint16_t count)
{
    core_->context.traffic.Read(first, buffer, count);
}

void ProtocolEngine::SetPortPath(int port, std::string path)
{
    std::lock_guard lock(core_->mutex);
    core_->portPaths[port] = std::move(path);
}

Handle ProtocolEngine::OpenConnection(void*, int port, int mode, int, const PortSettings& settings)
{
    if (port < 1 || port > 32) {
        core_->SetError(std::make_error_code(std::errc::no_such_device).message());
        return kNoHandle;
    }
    std::string path;
    {
        std::lock_guard lock(core_->mutex);
        if (core_->openPorts.count(port) != 0) {
            core_->lastError = std::make_error_code(std::errc::device_or_resource_busy).message();
            return kNoHandle;
        }
        const auto it = core_->portPaths.find(port);
        path = it != core_->portPaths.end() ? it->second : "/dev/ttyS" + std::to_string(port - 1);
    }
    std::string error;
    auto link = SerialLink::Open(core_->context, path, mode == 1, settings, error);
    if (!link) {
        core_->SetError(error);
        return kNoHandle;
    }
    link->SetPortNumber(port);
    const Handle handle = core_->Register(link);
    {
        std::lock_guard lock(core_->mutex);
        core_->openPorts[port] = handle;
    }
    asio::post(core_->context.io, [link] { link->Start(); });
    return handle;
}

void ProtocolEngine::SetProtocolOptions(Handle connection, int options)
{
    if (auto c = core_->Find(connection))
        c->enron.store((options & 1) != 0, std::memory_order_relaxed);
}

void ProtocolEngine::SetTCPServicePort(std::uint16_t port)
{
    std::lock_guard lock(core_->mutex);
    core_->servicePort = port;
}

Handle ProtocolEngine::OpenTCPConnection(void*, int)
{
    std::uint16_t port = 0;
    TcpLimits limits;
    {
        std::lock_guard lock(core_->mutex);
        port = core_->servicePort;
        limits = core_->tcpLimits;
    }
    std::string error;
    auto server = TcpServer::Open(core_->context, port, limits, sessionBudget_, error);
    if (!server) {
        core_->SetError(error);
        return kNoHandle;
    }
    const Handle handle = core_->Register(server);
    asio::post(core_->context.io, [server] { server->Start(); });
    return handle;
}

void ProtocolEngine::SetTcpLimits(const TcpLimits& limits)
{
    std::vector<std::shared_ptr<TcpServer>> servers;
    std::vector<std::shared_ptr<TlsServer>> tlsServers;
    {
        std::lock_guard lock(core_->mutex);
        core_->tcpLimits = limits;
        for (const auto& [handle, connection] : core_->connections) {
            if (auto server = std::dynamic_pointer_cast<TcpServer>(connection))
                servers.push_back(std::move(server));
            else if (auto tls = std::dynamic_pointer_cast<TlsServer>(connection))
                tlsServers.push_back(std::move(tls));
        }
    }
    core_->RunOnEngine([&] {
        for (const auto& server : servers)
            server->SetLimits(limits);
        for (const auto& server : tlsServers)
            server->SetLimits(limits);
    });
}

TcpLimits ProtocolEngine::GetTcpLimits() const
{
    std::lock_guard lock(core_->mutex);
    return core_->tcpLimits;
}

std::size_t ProtocolEngine::TcpSessionCap(Handle connection) const
{
    const auto server = std::dynamic_pointer_cast<TcpServer>(core_->Find(connection));
    return server ? server->SessionCap() : 0;
}

void ProtocolEngine::CloseConnection(Handle connection)
{
    std::shared_ptr<Connection> c;
    {
        std::lock_guard lock(core_->mutex);
        const auto it = core_->connections.find(connection);
        if (it == core_->connections.end())
            return;
        c = std::move(it->second);
        core_->connections.erase(it);
        std::erase_if(core_->openPorts, [&](const auto& entry) { return entry.second == connection; });
    }
    // When this returns the device or the listening port is free again.
    core_->RunOnEngine([&] { c->Stop(); });
}

void ProtocolEngine::SlaveStatus(Handle connection, std::uint32_t& validMessages, std::uint32_t& invalidCrcs, int reset)
{
    validMessages = 0;
    invalidCrcs = 0;
    auto c = core_->Find(connection);
    if (!c)
        return;
    if (reset == 1) {
        c->validMessages.store(0, std::memory_order_relaxed);
        c->invalidChecks.store(0, std::memory_order_relaxed);
        return;
    }
    validMessages = c->validMessages.load(std::memory_order_relaxed);
    invalidCrcs = c->invalidChecks.load(std::memory_order_relaxed);
}

Handle ProtocolEngine::DefineDataBlock(int deviceId, int pointType, int startAddress, int length, RegisterWord* memory)
{
    return core_->context.blocks.Define(deviceId, pointType, startAddress, length, memory, nullptr);
}

Handle ProtocolEngine::DefineDataBlock(int deviceId, int pointType, int startAddress, int length, RegisterWord* memory,
                                       std::mutex* valueLock)
{
    return core_->context.blocks.Define(deviceId, pointType, startAddress, length, memory, valueLock);
}

void ProtocolEngine::RemoveDataBlock(Handle block) { core_->context.blocks.Remove(block); }

void ProtocolEngine::ActivateSlaveId(std::uint16_t deviceId, bool enable)
{
    core_->context.blocks.SetDeviceActive(deviceId, enable);
}

std::string ProtocolEngine::LastOpenError() const
{
    std::lock_guard lock(core_->mutex);
    return core_->lastError;
}

std::uint16_t ProtocolEngine::BoundTcpPort(Handle connection) const
{
    if (auto c = core_->Find(connection); c && c->boundPort != 0)
        return c->boundPort;
    std::lock_guard lock(core_->mutex);
    return core_->servicePort;
}

std::uint64_t ProtocolEngine::DroppedTrafficBatches() const { return core_->context.traffic.DroppedBatches(); }

} // namespace pomrel

namespace pomrel {

void ProtocolEngine::SetFaultRules(std::vector<FaultRule> rules, bool fresh)
{
    std::shared_ptr<const FaultSet> set;
    {
        std::lock_guard lock(core_->mutex);
        const std::shared_ptr<const FaultSet> old = fresh ? nullptr : core_->faults;
        if (!rules.empty())
            set = std::make_shared<const FaultSet>(std::move(rules), old ? old->Loaded() : FaultSet::Clock::now(),
                                                   old.get());
        core_->faults = set;
    }
    // The engine thread swaps its pointer between requests, so none ever sees a set go.
    core_->RunOnEngine([&] { core_->context.SetFaults(set); });
}

std::shared_ptr<const FaultSet> ProtocolEngine::FaultRulesInForce() const
{
    std::lock_guard lock(core_->mutex);
    return core_->faults;
}

} // namespace pomrel
