// The network servers of ProtocolEngine: Modbus/UDP, RTU over TCP, Modbus/TCP Security and
// extra Modbus/TCP endpoints.
#include "engine/EngineCore.h"
#include "engine/TcpServer.h"
#include "engine/TlsServer.h"
#include "engine/UdpServer.h"

#include <functional>

namespace pomrel {

namespace {
const char* ProtocolName(ServerProtocol protocol)
{
    switch (protocol) {
    case ServerProtocol::Tcp: return "tcp";
    case ServerProtocol::Udp: return "udp";
    case ServerProtocol::RtuOverTcp: return "rtu-over-tcp";
    case ServerProtocol::Tls: return "tls";
    }
    return "?";
}

// "udp [::1]:1502" or "tls *:802": which open failed, for a message that lists several.
std::string EndpointName(const ServerEndpoint& endpoint)
{
    std::string address = endpoint.address.empty() ? "*" : endpoint.address;
    if (address.find(':') != std::string::npos)
        address = "[" + address + "]";
    return std::string(ProtocolName(endpoint.protocol)) + " " + address + ":" + std::to_string(endpoint.port);
}
} // namespace

Handle ProtocolEngine::OpenServer(const ServerEndpoint& endpoint)
{
    TcpLimits limits;
    {
        std::lock_guard lock(core_->mutex);
        limits = core_->tcpLimits;
    }
    std::string error;
    std::shared_ptr<Connection> connection;
    std::function<void()> start;
    switch (endpoint.protocol) {
    case ServerProtocol::Tcp:
    case ServerProtocol::RtuOverTcp:
        if (auto server = TcpServer::Open(core_->context, endpoint, limits, sessionBudget_, error)) {
            start = [server] { server->Start(); };
            connection = std::move(server);
        }
        break;
    case ServerProtocol::Udp:
        if (auto server = UdpServer::Open(core_->context, endpoint, error)) {
            start = [server] { server->Start(); };
            connection = std::move(server);
        }
        break;
    case ServerProtocol::Tls:
        if (auto server = TlsServer::Open(core_->context, endpoint, limits, sessionBudget_, error)) {
            start = [server] { server->Start(); };
            connection = std::move(server);
        }
        break;
    }
    if (!connection) {
        core_->SetError(EndpointName(endpoint) + ": " + error);
        return kNoHandle;
    }
    const Handle handle = core_->Register(std::move(connection));
    asio::post(core_->context.io, std::move(start));
    return handle;
}

ServerCounters ProtocolEngine::ServerStatus(Handle connection) const
{
    ServerCounters counters;
    const std::shared_ptr<Connection> c = core_->Find(connection);
    if (!c)
        return counters;
    counters.validMessages = c->validMessages.load(std::memory_order_relaxed);
    counters.invalidChecks = c->invalidChecks.load(std::memory_order_relaxed);
    if (const auto tcp = std::dynamic_pointer_cast<TcpServer>(c))
        counters.sessions = tcp->Sessions();
    if (const auto tls = std::dynamic_pointer_cast<TlsServer>(c)) {
        counters.sessions = tls->Sessions();
        counters.handshakeFailures = tls->HandshakeFailures();
        counters.handshakeError = tls->LastHandshakeError();
        counters.roles = tls->Roles();
    }
    return counters;
}

} // namespace pomrel
