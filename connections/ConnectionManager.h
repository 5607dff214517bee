// Which serial ports and whether the Modbus/TCP server are open, and the steps that open and
// close them through the engine. Plain code; the menus and dialogs around it are thin and come
// in as callbacks.
#pragma once

#include "connections/ComSettings.h"
#include "connections/PortTable.h"
#include "engine/ProtocolEngine.h"

#include <array>
#include <cstdint>
#include <functional>
#include <string>

/// What happened to a connection; port 0 is the Modbus/TCP server.
struct ConnectionEvent {
    enum Kind { kOpened, kOpenFailed, kClosed };
    Kind kind;
    int port;
    pomrel::Handle handle;
    std::string text;   // "Port 3 (/dev/ttyUSB0)" or "Modbus/TCP server (port 502)", plus ": reason" on failure
};

class ConnectionManager {
public:
    /// Shows the Setup Connection dialog on the values; false on Cancel.
    using PortDialog = std::function<bool(ComSettings&)>;
    /// Shows the Select Service Port dialog on the port; false on Cancel.
    using ServicePortDialog = std::function<bool(std::uint16_t&)>;
    using Listener = std::function<void(const ConnectionEvent&)>;

    explicit ConnectionManager(pomrel::ProtocolEngine& engine);

    pomrel::ProtocolEngine& Engine() { return engine_; }
    PortTable& Ports() { return ports_; }
    const PortTable& Ports() const { return ports_; }

    pomrel::Handle SerialHandle(int port) const;
    void SetSerialHandle(int port, pomrel::Handle h);
    pomrel::Handle ServerHandle() const { return server_; }
    void SetServerHandle(pomrel::Handle h) { server_ = h; }
    bool IsPortOpen(int port) const { return SerialHandle(port) != pomrel::kNoHandle; }
    bool IsServerOpen() const { return server_ != pomrel::kNoHandle; }

    /// 1 when the last serial port opened used the Daniel/ENRON option.
    std::int32_t enronMode = 0;

    /// Every open, failed open and close is told here. The default listener writes failed
    /// opens to stderr, since the menus and dialogs stay silent about them.
    void SetListener(Listener listener);

    /// The dialog-free open (test configuration restore, headless runs): the port's stored
    /// settings and device go to the engine; the handle is kept (also when -1) and EnronMode
    /// follows the port's option. An open port is closed first so its handle is never lost.
    pomrel::Handle OpenSerialPort(int port);
    /// Sets the engine's service port and starts the server; the handle is kept (also -1).
    /// An open server is closed first.
    pomrel::Handle OpenServer(std::uint16_t servicePort);

    /// Connect > Port n: the dialog on the stored values; on OK the values are stored (kept
    /// even when the open then fails) and the port opened. False on Cancel.
    bool ConnectPort(int port, const PortDialog& dialog);
    void DisconnectPort(int port);
    /// Connect > Modbus/TCP Svr: on OK the new service port is kept in `servicePort` and the
    /// server opened on it. False on Cancel.
    bool ConnectServer(std::uint16_t& servicePort, const ServicePortDialog& dialog);
    void DisconnectServer();

    /// Closes the server first, then ports 1 to 32 in order; every handle ends as -1.
    void CloseAllConnections();
    /// The serial ports only; the server does not count.
    bool AnySerialOpen() const;
    bool NoConnectionOpen() const;

private:
    void Close(int port, pomrel::Handle& handle);
    void Tell(ConnectionEvent::Kind kind, int port, pomrel::Handle handle, std::string text);
    std::string Describe(int port) const;

    pomrel::ProtocolEngine& engine_;
    PortTable ports_;
    std::array<pomrel::Handle, PortTable::kPorts> serial_{};
    pomrel::Handle server_ = pomrel::kNoHandle;
    std::uint16_t lastServicePort_ = 0;
    Listener listener_;
};
