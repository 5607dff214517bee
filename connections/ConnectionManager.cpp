#include "connections/ConnectionManager.h"

#include <cstdio>

namespace {

void WriteFailureToStderr(const ConnectionEvent& e)
{
    if (e.kind == ConnectionEvent::kOpenFailed) {
        std::fprintf(stderr, "%s\n", e.text.c_str());
        std::fflush(stderr);
    }
}

// The engine may already name the device at the front of its reason; say it once.
std::string Reason(const std::string& error, const std::string& path)
{
    if (!path.empty() && error.rfind(path + ": ", 0) == 0)
        return error.substr(path.size() + 2);
    return error.empty() ? "cannot open" : error;
}

} // namespace

ConnectionManager::ConnectionManager(pomrel::ProtocolEngine& engine) : engine_(engine), listener_(WriteFailureToStderr)
{
    serial_.fill(pomrel::kNoHandle);
}

pomrel::Handle ConnectionManager::SerialHandle(int port) const
{
    if (port < 1 || port > PortTable::kPorts)
        return pomrel::kNoHandle;
    return serial_[static_cast<std::size_t>(port - 1)];
}

void ConnectionManager::SetSerialHandle(int port, pomrel::Handle h)
{
    if (port >= 1 && port <= PortTable::kPorts)
        serial_[static_cast<std::size_t>(port - 1)] = h;
}

void ConnectionManager::SetListener(Listener listener)
{
    listener_ = listener ? std::move(listener) : Listener(WriteFailureToStderr);
}

void ConnectionManager::Tell(ConnectionEvent::Kind kind, int port, pomrel::Handle handle, std::string text)
{
    if (listener_)
        listener_(ConnectionEvent{kind, port, handle, std::move(text)});
}

std::string ConnectionManager::Describe(int port) const
{
    if (port == 0)
        return "Modbus/TCP server (port " + std::to_string(lastServicePort_) + ")";
    return "Port " + std::to_string(port) + " (" + ports_.PortPath(port) + ")";
}

pomrel::Handle ConnectionManager::OpenSerialPort(int port)
{
    std::uint8_t protocol = kProtocolRtu;
    pomrel::PortSettings settings;
    if (port < 1 || port > PortTable::kPorts || !ports_.GetPortSettings(port, protocol, settings))
        return pomrel::kNoHandle;
    auto& handle = serial_[static_cast<std::size_t>(port - 1)];
    Close(port, handle);

    const std::string path = ports_.PortPath(port);
    engine_.SetPortPath(port, path);
    handle = engine_.OpenConnection(nullptr, port, protocol & kProtocolModeMask, port, settings);
    if (protocol & kProtocolEnron) {
        if (handle != pomrel::kNoHandle)
            engine_.SetProtocolOptions(handle, 1);
        enronMode = 1;
    } else {
        enronMode = 0;
    }
    if (handle != pomrel::kNoHandle)
        Tell(ConnectionEvent::kOpened, port, handle, Describe(port));
    else
        Tell(ConnectionEvent::kOpenFailed, port, handle, Describe(port) + ": " + Reason(engine_.LastOpenError(), path));
    return handle;
}

pomrel::Handle ConnectionManager::OpenServer(std::uint16_t servicePort)
{
    Close(0, server_);
    lastServicePort_ = servicePort;
    engine_.SetTCPServicePort(servicePort);
    server_ = engine_.OpenTCPConnection(nullptr, 1026);
    if (server_ != pomrel::kNoHandle) {
        // Port 0 asks the system for a free port: tell the one actually bound.
        lastServicePort_ = engine_.BoundTcpPort(server_);
        Tell(ConnectionEvent::kOpened, 0, server_, Describe(0));
    } else {
        Tell(ConnectionEvent::kOpenFailed, 0, server_, Describe(0) + ": " + Reason(engine_.LastOpenError(), {}));
    }
    return server_;
}

bool ConnectionManager::ConnectPort(int port, const PortDialog& dialog)
{
    if (port < 1 || port > PortTable::kPorts)
        return false;
    ComSettings values = ComSettingsFor(ports_, port, AnySerialOpen(), enronMode);
    if (!dialog || !dialog(values))
        return false;
    values.port = port;
    StoreComSettings(ports_, values);
    OpenSerialPort(port);
    return true;
}

void ConnectionManager::DisconnectPort(int port)
{
    if (port >= 1 && port <= PortTable::kPorts)
        Close(port, serial_[static_cast<std::size_t>(port - 1)]);
}

bool ConnectionManager::ConnectServer(std::uint16_t& servicePort, const ServicePortDialog& dialog)
{
    std::uint16_t chosen = servicePort;
    if (!dialog || !dialog(chosen))
        return false;
    servicePort = chosen;
    OpenServer(chosen);
    return true;
}

void ConnectionManager::DisconnectServer()
{
    Close(0, server_);
}

void ConnectionManager::Close(int port, pomrel::Handle& handle)
{
    if (handle == pomrel::kNoHandle)
        return;
    const pomrel::Handle closing = handle;
    engine_.CloseConnection(closing);
    handle = pomrel::kNoHandle;
    Tell(ConnectionEvent::kClosed, port, closing, Describe(port));
}

void ConnectionManager::CloseAllConnections()
{
    Close(0, server_);
    for (int port = 1; port <= PortTable::kPorts; ++port)
        Close(port, serial_[static_cast<std::size_t>(port - 1)]);
}

bool ConnectionManager::AnySerialOpen() const
{
    for (auto h : serial_)
        if (h != pomrel::kNoHandle)
            return true;
    return false;
}

bool ConnectionManager::NoConnectionOpen() const
{
    return server_ == pomrel::kNoHandle && !AnySerialOpen();
}
