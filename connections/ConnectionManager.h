// Which serial ports and whether the Modbus/TCP server are open, and the steps that open and
// close them through the engine. Plain code; the menus and dialogs around it are thin.
#pragma once

#include "connections/PortTable.h"
#include "engine/ProtocolEngine.h"

#include <array>
#include <cstdint>

class ConnectionManager {
public:
    explicit ConnectionManager(pomrel::ProtocolEngine& engine) : engine_(engine) { serial_.fill(pomrel::kNoHandle); }

    pomrel::ProtocolEngine& Engine() { return engine_; }
    PortTable& Ports() { return ports_; }
    const PortTable& Ports() const { return ports_; }

    pomrel::Handle SerialHandle(int port) const { return serial_[static_cast<std::size_t>(port - 1)]; }
    void SetSerialHandle(int port, pomrel::Handle h) { serial_[static_cast<std::size_t>(port - 1)] = h; }
    pomrel::Handle ServerHandle() const { return server_; }
    void SetServerHandle(pomrel::Handle h) { server_ = h; }

    /// 1 when the last serial port opened used the Daniel/ENRON option.
    std::int32_t enronMode = 0;

    /// Closes the server first, then ports 1 to 32 in order; every handle ends as -1.
    void CloseAllConnections();
    bool AnySerialOpen() const;
    bool NoConnectionOpen() const;

private:
    pomrel::ProtocolEngine& engine_;
    PortTable ports_;
    std::array<pomrel::Handle, PortTable::kPorts> serial_{};
    pomrel::Handle server_ = pomrel::kNoHandle;
};
