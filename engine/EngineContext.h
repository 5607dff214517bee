// What every transport of one engine shares: the engine thread's io_context, the block table
// and the traffic log.
#pragma once

#include "engine/BlockTable.h"
#include "engine/DeviceIdentity.h"
#include "engine/FaultRules.h"
#include "engine/FrameRecords.h"
#include "engine/LinkDiagnostics.h"
#include "engine/TrafficLog.h"
#include "engine/WriteFeed.h"

#include <asio/io_context.hpp>
#include <asio/ip/address.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <memory>

namespace pomrel {

/// A TCP or UDP endpoint as frame records keep it.
template <class Endpoint>
NetAddress ToNetAddress(const Endpoint& endpoint)
{
    NetAddress a;
    const asio::ip::address address = endpoint.address();
    if (address.is_v4()) {
        const auto b = address.to_v4().to_bytes();
        a.family = 4;
        std::copy(b.begin(), b.end(), a.bytes.begin());
    } else {
        a.family = 6;
        a.bytes = address.to_v6().to_bytes();
    }
    a.port = endpoint.port();
    return a;
}

class EngineContext {
public:
    EngineContext() : io(1), sealTimer_(io) {}

    /// Engine thread: records traffic and makes sure the open batch is sealed in time. `source`
    /// and `fault` (the rule that fired for an answer) go with the frame's record.
    void Log(const std::uint8_t* bytes, std::size_t size, std::uint8_t attribute, const FrameSource& source,
             const std::string* fault = nullptr)
    {
        if (frames.Enabled())
            frames.Push(MonotonicUs(), bytes, size, attribute, source, fault);
        if (!traffic.Enabled())
            return;
        traffic.Append(bytes, size, attribute, TrafficLog::Clock::now());
        if (traffic.HasOpenBatch() && !sealArmed_) {
            sealArmed_ = true;
            sealTimer_.expires_after(std::chrono::milliseconds(20));
            sealTimer_.async_wait([this](const std::error_code& ec) {
                sealArmed_ = false;
                if (ec)
                    return;
                traffic.Seal(TrafficLog::Clock::now());
                traffic.Announce();
            });
        }
        // A batch sealed because it was full: announce it once the caller has let go of its locks.
        if (traffic.HasUnannounced() && !announcePosted_) {
            announcePosted_ = true;
            asio::post(io, [this] {
                announcePosted_ = false;
                traffic.Announce();
            });
        }
    }
    /// Engine thread: a number for a new TCP/TLS connection, never given twice by this engine.
    std::uint64_t NextStreamNumber() { return ++streams_; }

    /// Engine thread, at shutdown.
    void StopTimers() { sealTimer_.cancel(); }

    /// The fault rules in force, or null. Read and replaced on the engine thread only, so a set
    /// never goes while a request uses it.
    const FaultSet* Faults() const { return faults_.get(); }
    void SetFaults(std::shared_ptr<const FaultSet> faults) { faults_ = std::move(faults); }

    asio::io_context io;
    BlockTable blocks;
    TrafficLog traffic;
    DeviceIdentities identities;  // function 43/14, per device id
    FrameRecordQueue frames;
    WriteFeed writes;             // masters' writes for the behaviour core
    AccessRecorder access;

private:
    asio::steady_timer sealTimer_;
    std::shared_ptr<const FaultSet> faults_;
    std::uint64_t streams_ = 0;
    bool sealArmed_ = false;
    bool announcePosted_ = false;
};

/// A connection as the application sees it: an open serial port or the TCP server.
class Connection {
public:
    Connection() { diagnostics.checkErrors = &invalidChecks; }
    virtual ~Connection() = default;
    /// Engine thread: closes everything; pending operations end with operation_aborted.
    virtual void Stop() = 0;

    std::atomic<std::uint32_t> validMessages{0};
    std::atomic<std::uint32_t> invalidChecks{0};
    std::atomic<bool> enron{false};
    LinkDiagnostics diagnostics;
    std::uint16_t boundPort = 0;  // TCP server only
};

} // namespace pomrel
