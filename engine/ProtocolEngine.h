// pomrel64: the Modbus protocol engine. Serves registered data blocks to masters on serial
// links (RTU, ASCII, Daniel/ENRON) and as a Modbus/TCP server, on a thread of its own.
// Knows nothing of the application; the application knows only this header.
#pragma once

#include "engine/FaultRules.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace pomrel {

/// Handle of an open connection or of a registered block; -1 means none.
using Handle = std::int64_t;
inline constexpr Handle kNoHandle = -1;

/// One point of register memory. The engine reads and writes these in place.
using RegisterWord = std::atomic<std::uint16_t>;

/// Called on the engine thread when traffic is ready: (batch id, second value, word count).
/// Must return at once; returns whether the batch was taken (queued) by the application.
using TrafficCallback = bool (*)(std::uint32_t first, std::uint16_t second, std::uint16_t count);

/// The 20-byte serial settings record, little-endian, stored byte for byte in files.
struct PortSettings {
    std::uint32_t baudRate = 9600;     // offset 0
    std::uint8_t dataBits = 8;         // offset 4: 7 or 8
    std::uint8_t parity = 1;           // offset 5: 0 none, 1 odd, 2 even
    std::uint8_t stopBits = 0;         // offset 6: 0 one, 1 one and a half, 2 two
    std::uint8_t reserved7 = 0;        // offset 7
    std::uint32_t waitCts = 0;         // offset 8
    std::uint32_t waitDtr = 0;         // offset 12
    std::uint8_t rtsOnDelayMs = 0;     // offset 16
    std::uint8_t rtsOffDelayMs = 0;    // offset 17
    std::uint8_t reserved18[2] = {0, 0}; // offset 18
};
static_assert(sizeof(PortSettings) == 20, "PortSettings is a 20-byte record");

/// How the Modbus/TCP server shares itself among masters (the Modbus/TCP implementation guide's
/// connection management).
struct TcpLimits {
    /// Connections served at once. When all are taken, the connection unused longest (no whole
    /// request for the longest time) is closed to make room for the new one. The server keeps it
    /// below the descriptors the process may still open when it starts.
    std::uint32_t maxConnections = 2048;
    /// A request begun but not complete after this long closes its connection; 0: never.
    std::uint32_t requestTimeoutMs = 5000;
    bool operator==(const TcpLimits&) const = default;
};

/// Raises the process's soft limit of open files to the hard limit, so that a session cap is not
/// a descriptor shortage in disguise. Returns the soft limit in force afterwards (0: unknown).
std::uint64_t RaiseOpenFileLimit();

class EngineCore;

class ProtocolEngine {
public:
    ProtocolEngine();
    ~ProtocolEngine();
    ProtocolEngine(const ProtocolEngine&) = delete;
    ProtocolEngine& operator=(const ProtocolEngine&) = delete;

    /// Registers the traffic callback (once, at main window creation). It is called on the engine
    /// thread, holding no engine lock, with (batch id, 0, word count) at most every 20 ms while
    /// there is traffic; a false result (not queued) drops that batch.
    void EnableBufferCallback(TrafficCallback callback);
    /// Copies traffic batch `first` into `buffer`: count words, low byte data, high byte attribute
    /// (0 received frame, 1 sent frame, 2 discarded bytes). A batch is handed out once; words it
    /// does not have (dropped because the application fell behind) come back as 0.
    void ReadDebugData(std::int64_t first, std::uint16_t* buffer, std::uint16_t second, std::uint16_t count);

    /// Maps serial port `port` (1..32) to the device OpenConnection opens; by default
    /// "/dev/ttyS{port-1}". Any thread; takes effect at the next open.
    void SetPortPath(int port, std::string path);
    /// Opens serial port `port` (1..32); mode 1 RTU, 0 ASCII. -1 if it cannot be opened.
    Handle OpenConnection(void* window, int port, int mode, int port2, const PortSettings& settings);
    /// Option 1 switches the connection to the Daniel/ENRON register rules.
    void SetProtocolOptions(Handle connection, int options);
    /// Service port for the next OpenTCPConnection.
    void SetTCPServicePort(std::uint16_t port);
    /// Limits of the Modbus/TCP server; an open server takes them at once (sessions beyond a
    /// lowered cap stay until they go). Any thread.
    void SetTcpLimits(const TcpLimits& limits);
    TcpLimits GetTcpLimits() const;
    /// The sessions an open Modbus/TCP server serves at once (its limit, capped by descriptors);
    /// 0 when `connection` is not one.
    std::size_t TcpSessionCap(Handle connection) const;
    /// Starts the Modbus/TCP server on the service port. -1 if it cannot listen.
    Handle OpenTCPConnection(void* window, int message);
    void CloseConnection(Handle connection);
    /// Reads the counters of a connection; reset 1 sets both to 0 (after reading nothing).
    void SlaveStatus(Handle connection, std::uint32_t& validMessages, std::uint32_t& invalidCrcs, int reset);

    /// Registers a block; `memory` must stay valid until RemoveDataBlock returns.
    /// Start address counts from 1 (0 stands for 65536; wire address = start - 1); point type
    /// 1 coils, 2 inputs, 3 holding registers, 4 input registers; length at most 1000 points.
    /// The engine keeps its own value lock for the block (see the overload below).
    Handle DefineDataBlock(int deviceId, int pointType, int startAddress, int length, RegisterWord* memory);
    /// As above, with the application's own lock for the block's values. The engine holds
    /// `valueLock` whenever a request reads or writes more than one word of this block (several
    /// registers, or one 32-bit ENRON register), so that whoever takes the same lock around a
    /// multi-word value never sees, nor leaves, half of it. Single words are atomics and need no
    /// lock. `valueLock` must outlive the block. Never call DefineDataBlock or RemoveDataBlock
    /// while holding a value lock: the engine may hold the table and wait for that lock.
    Handle DefineDataBlock(int deviceId, int pointType, int startAddress, int length, RegisterWord* memory,
                           std::mutex* valueLock);
    /// Removes a block; returns only when no request still uses its memory.
    void RemoveDataBlock(Handle block);
    /// Switches a device id on or off (an off id gets no answer at all).
    void ActivateSlaveId(std::uint16_t deviceId, bool enable);

    /// The system's reason for the last failed open (for instance "Permission denied").
    std::string LastOpenError() const;

    /// Service port set by SetTCPServicePort (0 asks the system for a free port).
    /// After a successful OpenTCPConnection with port 0: the port actually bound.
    std::uint16_t BoundTcpPort(Handle connection) const;

    /// Installs fault rules in place of those in force (none: an empty list). Each rule must pass
    /// CheckFaultRule. `fresh`: time windows count from now and every count starts at 0; else
    /// (an edit of the list) they go on from the set in force, rule by rule id. Any thread;
    /// requests that arrive after it returns see the new rules.
    void SetFaultRules(std::vector<FaultRule> rules, bool fresh = true);
    /// The rules in force with their counters (null when there are none). Any thread.
    std::shared_ptr<const FaultSet> FaultRulesInForce() const;

    /// Traffic batches lost because the application did not take them in time.
    std::uint64_t DroppedTrafficBatches() const;

private:
    std::unique_ptr<EngineCore> core_;
};

} // namespace pomrel
