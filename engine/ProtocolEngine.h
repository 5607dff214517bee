// pomrel64: the Modbus protocol engine. Serves registered data blocks to masters on serial
// links (RTU, ASCII, Daniel/ENRON) and as a Modbus/TCP server, on a thread of its own.
// Knows nothing of the application; the application knows only this header.
#pragma once

#include "engine/AccessStats.h"
#include "engine/FaultRules.h"
#include "engine/FrameRecords.h"
#include "engine/WriteFeed.h"

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <span>
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
    /// request for the longest time) is closed to make room for the new one. The stream servers
    /// of one engine together keep their sessions below the open-file limit, less a reserve for
    /// the rest of the program; when that budget is full, the connection unused longest on any
    /// of them makes room.
    std::uint32_t maxConnections = 2048;
    /// A request begun but not complete after this long closes its connection; 0: never.
    std::uint32_t requestTimeoutMs = 5000;
    bool operator==(const TcpLimits&) const = default;
};

/// Raises the process's soft limit of open files to the hard limit, so that a session cap is not
/// a descriptor shortage in disguise. Returns the soft limit in force afterwards (0: unknown).
std::uint64_t RaiseOpenFileLimit();

/// The network servers beside the Modbus/TCP server of OpenTCPConnection.
enum class ServerProtocol : std::uint8_t { Tcp, Udp, RtuOverTcp, Tls };

/// Modbus/TCP Security: the server's certificate and key (PEM), and optionally the CA that
/// client certificates must chain to (mutual TLS) and the roles that may only read.
struct TlsFiles {
    std::string cert, key, ca;
    std::vector<std::string> readOnlyRoles;
    bool operator==(const TlsFiles&) const = default;
};

/// One listening endpoint.
struct ServerEndpoint {
    ServerProtocol protocol = ServerProtocol::Tcp;
    std::string address;  // IPv4 or IPv6 literal; empty: every interface (IPv6 and IPv4)
    std::uint16_t port = 0;  // 0: any free port (BoundTcpPort tells which)
    std::map<std::uint8_t, std::uint8_t> units;  // unit id a master sends -> device id served; empty: the same
    TlsFiles tls;  // Tls only
    int number = 0;  // 0: the main server of its protocol; else the endpoint's number (shown in records)
    bool operator==(const ServerEndpoint&) const = default;
};

/// What a server has seen since it opened (or since its counters were reset).
struct ServerCounters {
    std::uint32_t validMessages = 0;
    std::uint32_t invalidChecks = 0;
    std::uint32_t sessions = 0;           // connections open now (TCP kinds)
    std::uint32_t handshakeFailures = 0;  // TLS
    std::string handshakeError;           // TLS: why the last failed handshake failed
    std::vector<std::string> roles;       // TLS: the roles of the clients connected now
};

/// The counters of the diagnostics functions (8 sub-functions 11..18, 11, 12) for one link.
struct DiagnosticCounters {
    std::uint16_t busMessages = 0, busCommErrors = 0, exceptionErrors = 0, slaveMessages = 0, noResponses = 0,
                  naks = 0, busy = 0, overruns = 0, events = 0;
    bool listenOnly = false;
};

class EngineCore;
class SessionBudget;

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
    /// The sessions an open Modbus/TCP server serves at once (its limit, capped by the budget
    /// of descriptors all stream servers share);
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

    /// Opens a network server (Modbus/UDP, RTU over TCP, Modbus/TCP Security, or another plain
    /// Modbus/TCP endpoint). -1 with LastOpenError when it cannot (address or port taken, a
    /// certificate or key that cannot be read). CloseConnection closes it, BoundTcpPort gives its
    /// port, SlaveStatus its two counters and ServerStatus all of them. Any thread.
    Handle OpenServer(const ServerEndpoint& endpoint);
    ServerCounters ServerStatus(Handle connection) const;

    /// The device identification objects (function 43/14) served for `deviceId`: object id ->
    /// text. A device without any gets a default identity. Any thread.
    void SetDeviceIdentity(std::uint8_t deviceId, std::map<std::uint8_t, std::string> objects);
    void ClearDeviceIdentities();
    /// The diagnostics counters and listen-only mode of a connection.
    DiagnosticCounters Diagnostics(Handle connection) const;

    /// Frame records (FrameRecords.h) for monitors, captures and logs: off by default, and then
    /// nothing is recorded. Any thread.
    void EnableFrameRecords(bool on);
    /// Moves up to `max` of the oldest records into `out` (appended); returns how many.
    std::size_t TakeFrameRecords(std::vector<FrameRecord>& out, std::size_t max);
    /// The oldest records into out[0], out[1]... reusing their storage; returns how many.
    std::size_t TakeFrameRecords(std::span<FrameRecord> out);
    /// Records dropped because nobody took them in time.
    std::uint64_t DroppedFrameRecords() const;
    FrameClockStart FrameClock() const;

    /// Traffic batches lost because the application did not take them in time.
    std::uint64_t DroppedTrafficBatches() const;

    /// Access statistics (AccessStats.h). Any thread.
    /// The points of unit/type served now with addresses first..last (1-based), in address order.
    std::vector<PointAccess> AccessStats(int unit, int type, std::uint32_t first, std::uint32_t last) const;
    void ResetAccessStats();
    /// In first-seen order; at most 4096 distinct requests, the rest counted in UnservedOverflow().
    std::vector<UnservedRequest> Unserved() const;
    std::uint64_t UnservedOverflow() const;
    /// Grows with every unserved request (never reset): a poller looks at Unserved() only when it moved.
    std::uint64_t UnservedEvents() const;
    /// Not cleared by ResetAccessStats: they are counters that only grow (for metrics).
    std::vector<FunctionCount> FunctionCounts() const;
    /// On by default; off, the engine keeps none of the above (for measuring what they cost).
    void EnableAccessStats(bool on);

    /// Masters' writes (WriteFeed.h) for whoever reacts to them: off by default, and then a
    /// request pays one load. Any thread.
    void EnableWriteFeed(bool on);
    /// The one consumer: moves the oldest answered writes into out[0], out[1]...; returns how many.
    std::size_t TakeWrites(std::span<WriteRecord> out);
    /// The one consumer: waits until a write is there, WakeWriteFeed is called or `timeoutNs`
    /// passes (negative: no limit).
    void WaitForWrites(std::int64_t timeoutNs);
    /// Any thread: ends a WaitForWrites.
    void WakeWriteFeed();
    /// Writes not handed over because the consumer fell behind (the feed is bounded).
    std::uint64_t DroppedWrites() const;

private:
    std::unique_ptr<EngineCore> core_;
    std::shared_ptr<SessionBudget> sessionBudget_;  // the descriptors every stream server shares
};

} // namespace pomrel
